// Every answer of the OCPP 1.5 central system, as any bytes: the HTTP
// answer, the SOAP envelope and the body each request parses, copied into
// the register map.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "fake_transport.h"
#include "requests.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::TestClock clock;
    static platform::ScopedClock scopedClock(clock);
    static std::vector<std::uint8_t> mem(regmap::kMapSize);
    static const bool init = [] {
        setenv("STATION_ROOT", "/nonexistent-station-root", 1);
        return true;
    }();
    (void)init;
    static regmap::RegisterMap map(mem.data(), mem.size());
    static ocpps::Requests requests(map, {"http://cs.example/ocpp15", "http://127.0.0.1:8080/ChargeBox/OCPP15"});
    static FakeTransport transport;
    static const bool installed = (transport.Install(requests.proxy().soap), true);
    (void)installed;

    if (size == 0) return 0;
    // The first byte chooses: the bytes as they stand, or behind a plain HTTP
    // header so they reach the XML parser.
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    transport.answer = (data[0] & 1) ? body
                                     : "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\nContent-Length: " +
                                           std::to_string(body.size()) + "\r\n\r\n" + body;
    mem[3243] = data[0] % 6;  // status of the record, now and then outside the list
    mem[3604] = data[0] % 3;  // diagnostics and firmware status, likewise
    mem[3605] = data[0] % 5;
    std::time_t now = 0;
    ocpps::BootAnswer boot;
    static std::int32_t lastEnergyWh = 0;
    switch ((data[0] >> 1) % 9) {
    case 0: requests.cmdAuthorize(); break;
    case 1: requests.cmdStartTransaction(); break;
    case 2: requests.cmdStopTransaction(); break;
    case 3: requests.cmdHeartbeat(&now); break;
    case 4: requests.cmdStatusNtf(); break;
    case 5: requests.cmdMeterValues(ocpps::ReadMeter(map, &lastEnergyWh)); break;
    case 6: requests.cmdDiagnosticsStatusNtf(); break;
    case 7: requests.cmdFirmwareStatusNtf(); break;
    default: requests.cmdBootNtf(&boot); break;
    }
    return 0;
}
