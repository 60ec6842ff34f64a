// A SendLocalList of n entries through Quillon's server as the central
// system sends it: request bytes read, envelope decoded, the list file
// rewritten, the main process's acknowledgement and the reply. The time per
// entry stays flat as n grows.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "clock.h"
#include "command.h"
#include "commands.h"
#include "quillon.h"
#include "server.h"
#include "stepped_clock.h"

namespace {

std::string SendLocalList(int entries) {
    std::string body =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:a=\"http://www.w3.org/2005/08/addressing\" xmlns:cp=\"urn://Ocpp/Cp/2012/06/\"><s:Header>"
        "<cp:chargeBoxIdentity>CB-0001</cp:chargeBoxIdentity><a:MessageID>urn:uuid:1</a:MessageID>"
        "<a:Action>/SendLocalList</a:Action></s:Header><s:Body><cp:sendLocalListRequest><cp:updateType>Full"
        "</cp:updateType><cp:listVersion>7</cp:listVersion>";
    for (int i = 0; i < entries; ++i) {
        body += "<cp:localAuthorisationList><cp:idTag>TAG" + std::to_string(1000000 + i) +
                "</cp:idTag><cp:idTagInfo><cp:status>Accepted</cp:status><cp:expiryDate>2030-01-01T00:00:00Z"
                "</cp:expiryDate><cp:parentIdTag>PARENT</cp:parentIdTag></cp:idTagInfo></cp:localAuthorisationList>";
    }
    body += "</cp:sendLocalListRequest></s:Body></s:Envelope>";
    return "POST /ChargeBox/OCPP15 HTTP/1.1\r\nHost: cp\r\nContent-Type: application/soap+xml; charset=utf-8; "
           "action=\"/SendLocalList\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

void BM_SendLocalList(benchmark::State& state) {
    static const bool rooted = [] {
        char tmpl[] = "/tmp/quillon-list-bench-XXXXXX";
        const std::string root = mkdtemp(tmpl);
        setenv("STATION_ROOT", root.c_str(), 1);
        return ::mkdir((root + "/Storage").c_str(), 0755) == 0;
    }();
    (void)rooted;
    SteppedClock clock;
    platform::ScopedClock scopedClock(clock);
    platform::RecordingRunner runner;
    platform::ScopedRunner scopedRunner(runner);
    std::vector<std::uint8_t> mem(regmap::kMapSize);
    ocpps::Quillon q;
    q.map = regmap::RegisterMap(mem.data(), mem.size());
    clock.onSleep = [&q] { ocpps::ServeCommands(q); };
    const std::string request = SendLocalList(static_cast<int>(state.range(0)));
    ocpps::ChargePointServer server(q.map, 60000);
    for (auto _ : state) {
        const std::string reply = server.Serve(request);
        if (reply.find("<ns1:status>Accepted</ns1:status>") == std::string::npos) {
            std::fprintf(stderr, "%s\n", reply.substr(0, 600).c_str());
            state.SkipWithError("the list was not accepted");
            break;
        }
    }
    state.SetComplexityN(state.range(0));
    state.counters["request_MB"] = static_cast<double>(request.size()) / 1e6;
}
BENCHMARK(BM_SendLocalList)->Arg(5000)->Arg(20000)->Arg(60000)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace

BENCHMARK_MAIN();
