#include "rf_test.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "at_transport.h"
#include "clock.h"
#include "regmap_fields.h"
#include "syslog.h"

namespace modem {

using namespace regmap::mainb;

namespace {

struct Row {
    std::uint8_t band;
    std::uint32_t channel;
};
const Row k4gPls8[] = {{1, 18300},  {2, 18900},  {3, 19575},  {4, 20175},  {5, 20525},  {7, 21100}, {8, 21625},
                       {12, 23095}, {13, 23230}, {17, 23790}, {18, 23925}, {19, 24075}, {20, 24300},
                       {26, 26865}, {28, 27435}, {38, 38000}, {39, 38450}, {40, 39150}, {41, 40620}};
const Row k4gPls83[] = {{1, 18300},  {2, 18900},  {3, 19575},  {4, 20175},  {5, 20525},  {7, 21100},
                        {8, 21625},  {12, 23095}, {13, 23230}, {14, 23330}, {17, 23790}, {18, 23925},
                        {19, 24075}, {20, 24300}, {25, 26365}, {26, 26865}, {28, 27435}, {38, 38000},
                        {39, 38450}, {40, 39150}, {41, 40740}, {66, 132322}, {71, 133297}};
const Row k3gPls8[] = {{1, 9750}, {2, 9400}, {3, 1113}, {4, 1413}, {5, 4183}, {6, 4175}, {8, 2788}};
const Row k3gPls83[] = {{1, 9750}, {2, 9400}, {3, 1113}, {4, 1413}, {5, 4183},
                        {6, 4175}, {8, 2788}, {9, 8837}, {19, 338}};
static_assert(std::size(k4gPls8) == 19 && std::size(k4gPls83) == 23 && std::size(k3gPls8) == 7 &&
              std::size(k3gPls83) == 9);

const char* const cpMTestTypeStr[] = {"Test4G", "Test3G"};

bool IsPls83(const Wendle& w) { return Holds(w.map.get(SHRMEM_3G_MODEL), "PLS83"); }

}  // namespace

std::int8_t RxPowerByte(double dbm) {
    if (!std::isfinite(dbm)) return kRxTestInvalidRead;
    double v = std::trunc(dbm - 0.5);
    // 127 means "no measurement": a reading is kept below it.
    if (v < -128) v = -128;
    if (v > 126) v = 126;
    return static_cast<std::int8_t>(v);
}

int modemTestReset(Wendle& w) {
    common::RecordSysLog("[Wendle] Modem Test Reset Process start");
    if (!CheckWendle(w)) {
        common::RecordSysLog("[Wendle] Modem test No modem is detected");
        return -1;
    }
    if (w.ModuleModel != 3) {
        common::RecordSysLogf("[Wendle] Reset test command is not supported for the modem model: %d", w.ModuleModel);
        return -1;
    }
    int fd = 0;
    if (!InitFdtty(w, fd)) {
        common::RecordSysLog("[Wendle] Modem test initial tty fail");
        return -1;
    }
    return resetModemByCmd(w, fd) ? 0 : -1;
}

long getModemTestBandUarfcn(Wendle& w, int type, int band) {
    const bool p83 = IsPls83(w);
    std::span<const Row> table;
    if (type == 0) table = p83 ? std::span<const Row>(k4gPls83) : std::span<const Row>(k4gPls8);
    else if (type == 1) table = p83 ? std::span<const Row>(k3gPls83) : std::span<const Row>(k3gPls8);
    else {
        common::RecordSysLogf("[Wendle] Modem test type command wrong, type=%d", type);
        return -1;
    }
    for (const Row& r : table) {
        if (r.band == band) return r.channel;
    }
    common::RecordSysLogf("[Wendle] Modem test band number is wrong, band number=%d", band);
    return -1;
}

bool setModemFactoryMode(Wendle& w, int fd) {
    std::string a;
    switch (Ask(*w.io, fd, "AT+CFUN?", a)) {
        case Exchange::SendFailed: common::RecordSysLog("[Wendle] Modem check factory mode fail (Send cmd fail)"); return false;
        case Exchange::RecvFailed: common::RecordSysLog("[Wendle] Modem check factory mode fail (Recv cmd fail)"); return false;
        case Exchange::Ok: break;
    }
    if (Holds(a, "+CFUN: 5")) {
        common::RecordSysLog("[Wendle] Modem alreay in factory mode");
        return true;
    }
    common::RecordSysLog("[Wendle] Modem not in factory mode");
    switch (Ask(*w.io, fd, "AT+CFUN=5", a, AnswerPart::FirstLineFactory)) {
        case Exchange::SendFailed: common::RecordSysLog("[Wendle] Modem set factory mode fail (Send cmd fail)"); return false;
        case Exchange::RecvFailed: common::RecordSysLog("[Wendle] Modem set factory mode fail (Recv response fail)"); return false;
        case Exchange::Ok: break;
    }
    if (std::size_t at = a.find("+CME ERROR:"); at != std::string::npos) {
        common::RecordSysLog("[Wendle] Modem set factory mode fail (ERROR:" + a.substr(at + 11, 127) + ")");
        return false;
    }
    common::RecordSysLog("[Wendle] Modem set factory mode OK");
    return true;
}

int runModemTxTestBandCmd(Wendle& w, int fd, long channel, int level) {
    const std::string off = "\"MEopMode/CT\",\"0\"";
    const std::string offCmd = "AT^SCFG=" + off;
    common::RecordSysLog("[Wendle] Modem test send Tx Power off command: " + offCmd);
    std::string a;
    switch (Ask(*w.io, fd, offCmd, a)) {
        case Exchange::SendFailed: common::RecordSysLog("[Wendle] Modem test send Tx Power off command fail"); break;
        case Exchange::Ok:
            if (Holds(a, "^SCFG: " + off)) {
                common::RecordSysLog("[Wendle] Modem test send Tx Power off command OK");
                break;
            }
            [[fallthrough]];
        case Exchange::RecvFailed:
            common::RecordSysLog("[Wendle] Modem test Tx Power off command receive fail, Response:" + a);
    }
    const std::string on = "\"MEopMode/CT\",\"1\"";
    const std::string onCmd = "AT^SCFG=" + on + ",\"\",\"" + std::to_string(level) + "\",\"" + std::to_string(channel) + "\"";
    common::RecordSysLog("[Wendle] Modem test send Tx Power command: " + onCmd);
    switch (Ask(*w.io, fd, onCmd, a)) {
        case Exchange::SendFailed: common::RecordSysLog("[Wendle] Modem test send Tx Power command fail"); return -1;
        case Exchange::Ok:
            if (Holds(a, "^SCFG: " + on)) {
                common::RecordSysLog("[Wendle] Modem test send Tx Power command OK");
                return 0;
            }
            [[fallthrough]];
        case Exchange::RecvFailed:
            common::RecordSysLog("[Wendle] Modem test Tx Power command receive fail, Response:" + a);
            return -1;
    }
    return -1;
}

namespace {

// Opens the AT port of a PLS8-family module in factory mode for the "Tx" or
// "Rx" test: the descriptor, or -1 with the reason logged.
int StartFactoryTest(Wendle& w, const char* kind) {
    if (w.ModuleModel != 3) {
        common::RecordSysLogf("[Wendle] %s Test command is not supported for the modem model: %d", kind,
                              w.ModuleModel);
        return -1;
    }
    int fd = 0;
    if (!InitFdtty(w, fd)) {
        common::RecordSysLog("[Wendle] Modem test initial tty fail");
        return -1;
    }
    common::RecordSysLogf("[Wendle] Modem Test %s Power Process start", kind);
    if (!setModemFactoryMode(w, fd)) {
        w.io->Close(fd);
        common::RecordSysLog("[Wendle] Modem test set modem to factory mode fail");
        return -1;
    }
    return fd;
}

}  // namespace

int modemTestTxPow(Wendle& w) {
    const int fd = StartFactoryTest(w, "Tx");
    if (fd < 0) return -1;
    int type = 255, band = 255, level = -1;
    while (w.map.get(SHRMEM_3G_RF_TEST_CMD) == 2) {
        const int t = w.map.get(SHRMEM_3G_RF_TEST_BAND_TYPE);
        const int b = w.map.get(SHRMEM_3G_RF_TEST_BAND);
        const int l = static_cast<std::int8_t>(w.map.get(SHRMEM_3G_RF_TEST_TX_LEVEL));
        if (t == type && b == band && l == level) {
            // The controller may change the order at any moment; look again soon.
            platform::GetClock().SleepMs(100);
            continue;
        }
        type = t;
        band = b;
        level = l;
        if (!CheckWendle(w)) {
            common::RecordSysLog("[Wendle] Modem test No modem is detected");
            w.io->Close(fd);
            return 0;
        }
        const long channel = getModemTestBandUarfcn(w, t, b);
        if (channel < 0) continue;
        common::RecordSysLogf("[Wendle] Modem Test Tx band command: Type=%s, bandNum=%d", cpMTestTypeStr[t], b);
        bool valid;
        if (IsPls83(w)) {
            common::RecordSysLogf("[Wendle] Modem Test Tx Power level %ddbm", l);
            valid = l >= -106 && l <= 32;
            if (!valid) common::RecordSysLog("[Wendle] Modem test Tx power command out of range (-106~32dbm)");
        } else {
            common::RecordSysLogf("[Wendle] Modem Test Tx Power level %d", l);
            valid = l >= 1 && l <= 127;
            if (!valid) common::RecordSysLog("[Wendle] Modem test Tx power command out of range (1~127)");
        }
        const bool ok = valid && runModemTxTestBandCmd(w, fd, channel, l) == 0;
        w.map.set(SHRMEM_3G_RF_TX_RESULT, ok ? 1 : 0);
    }
    w.io->Close(fd);
    return 0;
}

void runModemRxTestBandCmd(Wendle& w, int fd, long channel) {
    const std::string cmd = "AT^SCFG=\"MEopMode/CR\",2,\"" + std::to_string(channel) + "\",,\"1\",\"0\"";
    common::RecordSysLog("[Wendle] Modem test send Rx Power command: " + cmd);
    std::string a;
    switch (Ask(*w.io, fd, cmd, a)) {
        case Exchange::SendFailed: common::RecordSysLog("[Wendle] Modem test send Rx Power command fail"); return;
        case Exchange::RecvFailed:
            common::RecordSysLog("[Wendle] Modem test Rx Power command receive fail, Response:" + a);
            return;
        case Exchange::Ok: break;
    }
    const std::string marker = "^SCFG: \"MEopMode/CR\"";
    std::size_t at = a.find(marker);
    if (at == std::string::npos) {
        common::RecordSysLog("[Wendle] Modem test Rx Power command receive fail, Response:" + a);
        return;
    }
    std::puts(a.c_str());
    double dbm = 0;
    const std::string value = marker + ",\"";
    if (a.compare(at, value.size(), value) == 0) {
        const char* start = a.c_str() + at + value.size();
        char* end = nullptr;
        double v = std::strtod(start, &end);
        if (end != start) dbm = v;
    }
    const std::int8_t power = RxPowerByte(dbm);
    w.map.set(SHRMEM_3G_RF_RX_POWER, static_cast<std::uint8_t>(power));
    common::RecordSysLogf("[Wendle] Modem test send Rx Power command OK, RX power=%ddbm", power);
}

int modemTestRxPow(Wendle& w) {
    const int fd = StartFactoryTest(w, "Rx");
    if (fd < 0) return -1;
    while (w.map.get(SHRMEM_3G_RF_TEST_CMD) == 3) {
        const int t = w.map.get(SHRMEM_3G_RF_TEST_BAND_TYPE);
        const int b = w.map.get(SHRMEM_3G_RF_TEST_BAND);
        if (!CheckWendle(w)) {
            common::RecordSysLog("[Wendle] Modem test No modem is detected");
            w.io->Close(fd);
            return 0;
        }
        const long channel = getModemTestBandUarfcn(w, t, b);
        if (channel >= 0) {
            common::RecordSysLogf("[Wendle] Modem Test Rx band command: Type=%s, bandNum=%d", cpMTestTypeStr[t], b);
            runModemRxTestBandCmd(w, fd, channel);
        }
        Sleep(5);
    }
    w.io->Close(fd);
    return 0;
}

}  // namespace modem
