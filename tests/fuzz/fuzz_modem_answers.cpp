// Any bytes as the module's answer to every query Wendle makes: each parser
// gives a result or refuses, never reads or writes outside its room.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "at_transport.h"
#include "auto_apn.h"
#include "queries.h"
#include "rf_test.h"
#include "wendle.h"

namespace {

// Hands the input to every read, in pieces whose sizes the input's first byte picks.
class BytesIo final : public modem::ModemIo {
public:
    BytesIo(const std::uint8_t* d, std::size_t n) : data(d, d + n) {}
    bool Readable(const std::string&) override { return true; }
    int Open(const std::string&) override { return 3; }
    void Close(int) override {}
    ssize_t Write(int, const std::uint8_t*, std::size_t n) override {
        pos = 0;
        return static_cast<ssize_t>(n);
    }
    ssize_t Read(int, std::uint8_t* buf, std::size_t len, int) override {
        if (pos >= data.size()) return 0;
        std::size_t step = 1 + (data[0] % 64) * 40;
        std::size_t n = std::min({len, step, data.size() - pos});
        std::copy(data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos + n), buf);
        pos += n;
        return static_cast<ssize_t>(n);
    }
    std::vector<std::uint8_t> data;
    std::size_t pos = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::vector<std::uint8_t> image(262144);
    setenv("STATION_ROOT", "/tmp/fuzz-modem-root-none", 1);
    BytesIo io(data, size);
    modem::Wendle w;
    w.io = &io;
    w.map = regmap::RegisterMap(image.data(), image.size());
    for (std::uint8_t family : {0, 1, 2, 3}) {
        w.ModuleModel = family;
        modem::GetModelName(w, 3);
        modem::GetVersion(w, 3);
        modem::GetIMEI(w, 3);
        modem::GetIMSI(w, 3);
        modem::GetICCID(w, 3);
        modem::GetRSXX(w, 3);
        modem::GetSystemInfo(w, 3);
        modem::GetOperator(w, 3);
    }
    std::uint8_t band = 0;
    modem::GetSMONI(w, 3, band);
    int value = 0;
    modem::GetProvCfg(w, 3, "MEopMode/Prov/Cfg", value);
    modem::SetProvCfg(w, 3, "MEopMode/Prov/Cfg", 2);
    modem::checkCurAPN(w, 3, "internet", "\"Verizon\"");
    modem::runModemRxTestBandCmd(w, 3, 24300);
    std::string a;
    modem::RecvData(io, 3, a, modem::AnswerPart::FirstLineFactory);
    return 0;
}
