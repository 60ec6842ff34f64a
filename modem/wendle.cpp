#include "wendle.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "at_transport.h"
#include "auto_apn.h"
#include "clock.h"
#include "command.h"
#include "files.h"
#include "gpio.h"
#include "paths.h"
#include "queries.h"
#include "regmap_fields.h"
#include "rf_test.h"
#include "syslog.h"

namespace modem {

using namespace regmap;
using namespace regmap::mainb;

namespace {

// Station models of this prefix carry no cellular module: no power resets.
constexpr std::string_view kNoModemModelPrefix = "DSYE";

// Bits of the charger state during which the module is never power-cycled:
// charging, unavailable, preparing, finishing.
constexpr std::uint8_t kBusyCharger = 0x39;

// The family of a model text, or kNoModel.
std::uint8_t Classify(std::string_view model) {
    if (Holds(model, "SARA-U201")) return 1;
    if (Holds(model, "TOBY-L210") || Holds(model, "TOBY-R202")) return 2;
    for (const char* m : {"PLS8-X", "PLS8-E", "PLS8-J", "PLS83"}) {
        if (Holds(model, m)) return 3;
    }
    return kNoModel;
}

void SetModel(Wendle& w, std::uint8_t model) {
    if (w.ModuleModel != model) common::RecordSysLogf("[Wendle]Modem model from %d to %d", w.ModuleModel, model);
    w.ModuleModel = model;
}

bool BusyOrNoModem(const Wendle& w) {
    return (w.map.get(SHRMEM_CHARGER_STATE) & kBusyCharger) != 0 ||
           Holds(w.map.get(SHRMEM_MODEL_NAME), kNoModemModelPrefix);
}

}  // namespace

std::int64_t NowSeconds() { return platform::GetClock().MonotonicMs() / 1000 + 1; }

std::string AtPort(std::uint8_t model) {
    switch (model) {
        case 0: return "/dev/ttyUSB2";
        case 1:
        case 2: return "/dev/ttyACM2";
        case 3: return "/dev/ttyACM1";
        default: return "";
    }
}

std::string PppPort(std::uint8_t model) {
    switch (model) {
        case 0: return "/dev/ttyUSB0";
        case 1:
        case 2:
        case 3: return "/dev/ttyACM0";
        default: return "";
    }
}

bool CheckWendle(Wendle& w) {
    if (w.io->Readable("/dev/ttyUSB0") && w.io->Readable("/dev/ttyUSB2")) {
        SetModel(w, 0);
        return true;
    }
    if (!w.io->Readable("/dev/ttyACM2")) return false;
    if (std::uint8_t m = Classify(w.map.get(SHRMEM_3G_MODEL)); m != kNoModel) {
        SetModel(w, m);
        return true;
    }
    int fd = -1;
    if (!identifyModem(w, fd)) return false;
    const std::string model = w.map.get(SHRMEM_3G_MODEL);
    const std::uint8_t m = Classify(model);
    if (m == kNoModel) {
        w.io->Close(fd);
        return false;
    }
    SetModel(w, m);
    if (m == 3 && !Holds(model, "PLS83")) {
        if (checkGemaltoOpMode(w, fd) != 0) {
            resetModemByCmd(w, fd);
            return true;
        }
    }
    w.io->Close(fd);
    return true;
}

bool identifyModem(Wendle& w, int& fd) {
    fd = w.io->Open("/dev/ttyACM1");
    if (fd <= 0) return false;
    if (GetModelName(w, fd)) return true;
    w.io->Close(fd);
    fd = -1;
    return false;
}

int checkGemaltoOpMode(Wendle& w, int fd) {
    std::string a;
    // The answer must hold the whole mode text: "2" or "SET" alone is no
    // answer of a module in mode 2.
    if (Ask(*w.io, fd, "AT^SSRVSET=\"actSrvSet\"", a) == Exchange::Ok && Holds(a, "^SSRVSET: 2")) {
        common::RecordSysLog("[Wendle] Gemalto modem operation mode correct");
        return 0;
    }
    common::RecordSysLog("[Wendle] Gemalto modem operation mode wrong");
    Sleep(1);
    switch (Ask(*w.io, fd, "AT^SSRVSET=\"actSrvSet\",2", a)) {
        case Exchange::Ok:
            common::RecordSysLog("[Wendle] Set Gemalto modem operation mode to 2 OK");
            Sleep(1);
            common::RecordSysLog("[Wendle] Gemalto modem operation mode set OK");
            return 2;
        case Exchange::RecvFailed: common::RecordSysLog("[Wendle] Set Gemalto modem operation mode receive failed"); break;
        case Exchange::SendFailed: common::RecordSysLog("[Wendle] Set Gemalto modem operation mode send failed"); break;
    }
    common::RecordSysLog("[Wendle] Gemalto modem operation mode set failed");
    return 1;
}

bool resetModemByCmd(Wendle& w, int fd) {
    common::RecordSysLog("[Wendle] Reset Gemalto modem by command start");
    std::string a;
    bool ok = false;
    switch (Ask(*w.io, fd, "AT+CFUN=1,1", a)) {
        case Exchange::SendFailed: common::RecordSysLog("[Wendle] Reset modem fail (Send cmd fail)"); break;
        case Exchange::RecvFailed: common::RecordSysLog("[Wendle] Reset modem fail (Recv response fail)"); break;
        case Exchange::Ok:
            if (Holds(a, "+CME ERROR:")) {
                common::RecordSysLog("[Wendle] Reset modem fail (ERROR:" + CmeText(a) + ")");
            } else {
                ok = true;
            }
    }
    w.io->Close(fd);
    if (!ok) {
        common::RecordSysLog("[Wendle] Reset Gemalto modem fail");
        return false;
    }
    Sleep(35);
    common::RecordSysLog("[Wendle] Reset Gemalto modem done");
    return true;
}

bool InitFdtty(Wendle& w, int& fd) {
    const std::string port = AtPort(w.ModuleModel);
    fd = port.empty() ? -1 : w.io->Open(port);
    return fd > 0;
}

void board_init(Wendle& w) {
    auto& io = *w.io;
    const std::int64_t start = NowSeconds();
    while (!io.Readable("/dev/ttyACM0") && !io.Readable("/dev/ttyUSB0")) {
        Sleep(10);
        if (NowSeconds() - start > 300) {
            std::puts("[Wendle] Timeout. Charger can't access 3G modem interface");
            break;
        }
    }
    auto allAcm = [&] {
        return io.Readable("/dev/ttyACM0") && io.Readable("/dev/ttyACM1") && io.Readable("/dev/ttyACM2");
    };
    if (allAcm()) {
        std::puts("[Wendle] ACM port test OK!");
        Sleep(10);
        return;
    }
    if (io.Readable("/dev/ttyUSB0")) {
        std::puts("[Wendle] Bypass process (MU709/609)");
        return;
    }
    if (!io.Readable("/dev/ttyACM0")) return;
    int fd = io.Open("/dev/ttyACM0");
    if (fd <= 0) return;
    std::string model;
    const bool read = ReadModelText(w, fd, model);
    model.resize(std::min<std::size_t>(model.size(), 19));
    // Only a TOBY-L210 shows its first port alone until it is switched to
    // the three-port USB profile; the name must hold the whole model text.
    if (!read || !Holds(model, "TOBY-L210") || io.Readable("/dev/ttyACM1")) {
        io.Close(fd);
        return;
    }
    auto writeLine = [&](std::string_view line) {
        SendCmd(io, fd, line);
    };
    writeLine("AT+UUSBCONF=2");
    Sleep(2);
    writeLine("AT+CFUN=16");
    io.Close(fd);
    Sleep(15);
    std::puts(allAcm() ? "[Wendle] TOBY-L210 board init compelete" : "[Wendle] TOBY-L210 board init fail");
}

void resetWendle(Wendle& w) {
    common::RecordSysLog("[Wendle] Reset modem by power pin");
    StopPpp();
    auto& gpio = platform::GetGpio();
    gpio.Export(74);
    gpio.SetDirection(74, "in");
    std::optional<char> type = gpio.ReadChar(74);
    gpio.Export(69);
    gpio.SetDirection(69, "out");
    if (type && *type != '0') {
        gpio.SetDirection(74, "out");
        gpio.Write(74, 1);
        gpio.Write(69, 1);
        Sleep(1);
        gpio.Write(74, 0);
        Sleep(1);
        gpio.Write(69, 0);
    } else {
        Sleep(10);
        gpio.Write(69, 1);
    }
    w.LockBandDone = false;
    Sleep(30);
}

// ---- PPP link ------------------------------------------------------------------

void StopPpp() {
    // pppd is ended by the pid it wrote, never by its name: another program
    // of that name is none of ours. A pid file left from before a reboot or
    // a crash may name any process by now, so the pid must still be pppd.
    const std::string pid = platform::ReadTextFile(platform::SystemPath("/var/run/ppp0.pid"), 32);
    char* end = nullptr;
    long n = std::strtol(pid.c_str(), &end, 10);
    if (end == pid.c_str() || n <= 1 || n >= 4194304) return;
    std::string comm = platform::ReadTextFile("/proc/" + std::to_string(n) + "/comm", 64);
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (comm != "pppd") {
        common::RecordSysLogf("[Wendle] /var/run/ppp0.pid names process %ld, which is not pppd: left alone", n);
        return;
    }
    platform::TerminateProcess(static_cast<int>(n));
}

void wirlessConnect(Wendle& w) {
    if (w.ModuleModel > 3) return;
    StopPpp();
    bool setApn = true;
    if (w.ModuleModel == 3) {
        setApn = false;
    } else if (w.ModuleModel != 0) {
        setApn = w.setApnNext;
        w.setApnNext = !w.setApnNext;
    }
    platform::ReplaceFile(platform::SystemPath("/root/ppp/set_apn_temp"), setApn ? "SETAPN=1\n" : "SETAPN=0\n");
    const std::string port = PppPort(w.ModuleModel);
    platform::Command c;
    c.text = "/root/ppp/Dunmore " + port;
    c.argv = {"/root/ppp/Dunmore", port};
    c.limitMs = kDialLimitMs;
    if (platform::Runner().Run(c) == platform::kCommandTimedOut) {
        w.dialLog.Record("[Wendle] Dial script did not end within 120 s: ended");
    }
}

std::string PingTarget() {
    std::string t = platform::ReadTextFile(platform::SystemPath("/root/ppp/ping_host"), 64);
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ' || t.back() == '\r')) t.pop_back();
    std::uint32_t ip = 0;
    return regmap::ParseIpv4(t, ip) ? t : "8.8.8.8";
}

bool PingTest() {
    platform::Command c;
    const std::string target = PingTarget();
    c.text = "/bin/ping -c 10 " + target;
    c.argv = {"/bin/ping", "-c", "10", target};
    c.discardOutput = true;
    return platform::Runner().Run(c) == 0;
}

// ---- 4G band lock ----------------------------------------------------------------

std::string BandLockCommand(int band) {
    if (band == 255) return "AT^SCFG=\"radio/band/4g\",\"0a0e18df\",\"2000001a0\"";
    std::uint64_t first = 0, second = 0;
    if (band >= 1 && band <= 32) first = std::uint64_t{1} << (band - 1);
    else if (band >= 33 && band <= 96) second = std::uint64_t{1} << (band - 33);
    // Both masks are 64 bits wide: bands above 64 sit beyond a 32-bit long.
    char cmd[96];
    std::snprintf(cmd, sizeof cmd, "AT^SCFG=\"radio/band/4g\",\"%" PRIx64 "\",\"%" PRIx64 "\"", first, second);
    return cmd;
}

bool SetBand_4G(Wendle& w, int fd, int band) {
    const std::string cmd = BandLockCommand(band);
    common::RecordSysLog(cmd);
    std::string a;
    switch (Ask(*w.io, fd, cmd, a)) {
        case Exchange::SendFailed: common::RecordSysLog("[Wendle] AT^SCFG Send Error)"); return false;
        case Exchange::RecvFailed: common::RecordSysLog("[Wendle] AT^SCFG Rec Error)"); return false;
        case Exchange::Ok: break;
    }
    if (!Holds(a, "^SCFG")) return false;
    if (band == 255) common::RecordSysLog("[Wendle] All band setting");
    else common::RecordSysLogf("[Wendle] Lock band : %d", band);
    return true;
}

bool GetSMONI(Wendle& w, int fd, std::uint8_t& band) {
    std::string a;
    if (Ask(*w.io, fd, "AT^SMONI", a) != Exchange::Ok) return false;
    std::size_t at = a.find("^SMONI:");
    if (at == std::string::npos) return false;
    common::RecordSysLog("[Wendle] AT^SMONI = " + a.substr(at + 7));
    std::size_t g = a.find("4G");
    if (g == std::string::npos) return false;
    int commas = 0, digits = 0, value = 0;
    for (std::size_t i = g + 2; i < a.size(); ++i) {
        char c = a[i];
        if (c == ',') {
            if (++commas == 3) break;
        } else if (commas == 2 && c >= '0' && c <= '9' && digits < 3) {
            value = value * 10 + (c - '0');
            ++digits;
        }
    }
    band = static_cast<std::uint8_t>(value);
    return true;
}

namespace {
bool BandLockModel(const Wendle& w) {
    const std::string m = w.map.get(SHRMEM_3G_MODEL);
    return m == "PLS8-X" || m == "PLS8-E" || m == "PLS8-J" || m == "PLS83-W";
}
}  // namespace

void SetAllBand(Wendle& w, int fd) {
    if (w.map.get(SHRMEM_3G_BAND_LOCK) == 0 || !BandLockModel(w) || w.LockBandDone || w.LockBandEnable) return;
    w.ModuleModel = 3;
    Sleep(1);
    SetBand_4G(w, fd, 255);
    w.LockBandEnable = true;
}

void SetBandLock(Wendle& w, int fd) {
    if (w.map.get(SHRMEM_3G_BAND_LOCK) == 0 || !w.LockBandEnable || w.ModuleModel != 3) return;
    std::uint8_t band = 0;
    if (!GetSMONI(w, fd, band) || w.LockBandDone || band == 0) return;
    if (SetBand_4G(w, fd, band)) {
        w.LockBandDone = true;
        w.LockBandEnable = false;
        common::RecordSysLog("[Wendle] Lock band is successful");
    }
}

// ---- Main loop -------------------------------------------------------------------

void StartValues(Wendle& w) {
    w.map.set(SHRMEM_3G_RF_RX_POWER, static_cast<std::uint8_t>(kRxTestInvalidRead));
    w.map.set(SHRMEM_3G_RF_TX_RESULT, 0);
}

namespace {

void NormalModeEntry(Wendle& w) {
    board_init(w);
    w.map.setShared(ALARM_3G_DISCONNECTED, false);
    platform::ReplaceFile(platform::SystemPath("/root/ppp/set_apn_temp"), "SETAPN=1\n");
    w.map.set(SHRMEM_3G_MODEM_RSSI, 99);
    w.map.set(SHRMEM_3G_MODEM_RSRQ, 255);
    w.map.set(SHRMEM_3G_MODEM_RSRP, 255);
    w.map.clear(SHRMEM_3G_OPERATOR);
    w.map.set(SHRMEM_3G_OPERATOR, "No Connect");
    w.map.clear(SHRMEM_3G_ACCESS_TECH);
}

void LinkStart(Wendle& w) {
    SetBandLock(w, w.ttyFd);
    Sleep(2);
    wirlessConnect(w);
    std::optional<std::string> addr = w.board.ppp0Address ? w.board.ppp0Address() : std::nullopt;
    if (addr && !addr->empty()) {
        const std::string gw = w.map.ipv4Text(SHRMEM_ETH0_GATEWAY);
        platform::RunCommand("route del default gw " + gw + " eth0", {"route", "del", "default", "gw", gw, "eth0"});
    }
}

using Query = bool (*)(Wendle&, int);
struct IdentityRead {
    std::uint8_t bit;
    Query query;
    regmap::Text field;
};
const IdentityRead kIdentity[] = {
    {0x01, GetModelName, SHRMEM_3G_MODEL}, {0x02, GetVersion, SHRMEM_3G_REVISION},
    {0x04, GetIMEI, SHRMEM_3G_IMEI},       {0x08, GetIMSI, SHRMEM_3G_MODEM_IMSI},
    {0x10, GetICCID, SHRMEM_3G_ICCID},
};

void ConnectionStart(Wendle& w) {
    w.IdentityMask = 0;
    w.lastPppAddress.clear();
    for (const auto& r : kIdentity) {
        w.map.clear(r.field);
        if (r.query(w, w.ttyFd)) w.IdentityMask |= r.bit;
    }
    w.lastPollTime = w.pppUpTime = NowSeconds();
    w.resetTries = 0;
}

bool BadNetworkOrSim(const Wendle& w) {
    const std::string status = w.map.get(SHRMEM_3G_SERVICE_STATUS);
    const std::string sim = w.map.get(SHRMEM_3G_SIM_STATE);
    for (const char* s : {"Restricted services", "No services", "Service denied", "Search new service",
                          "Restricted regional services"}) {
        if (status == s) return true;
    }
    for (const char* s : {"Invalid SIM card", "Invalid SIM card in CS", "Invalid SIM card in PS",
                          "Invalid SIM card in CS and PS", "Unknown SIM state", "No SIM card is found"}) {
        if (sim == s) return true;
    }
    return false;
}

// With OCPP 1.5 the websocket flag stays 0 for good: the OCPP 1.5 agent's
// "central system answers" bit tells whether the backend is reached.
bool BackendReached(const Wendle& w) {
    if (w.map.get(SHRMEM_OCPP_MODE) < 2) return (w.map.get(SHRMEM_OCPP15_CS_REQUEST2) & 0x80) != 0;
    return w.board.websocketConnected && w.board.websocketConnected();
}

void BackendRecovery(Wendle& w) {
    if (w.map.get(SHRMEM_SYSTEM_READY) != 1 || BackendReached(w)) {
        w.wsDownSince = 0;
        return;
    }
    const std::int64_t now = NowSeconds();
    if (w.wsDownSince == 0) w.wsDownSince = now;
    if (std::llabs(now - w.wsDownSince) < 301) return;
    if (!BadNetworkOrSim(w)) {
        w.backendErrorLogged = false;
        if (!PingTest()) wirlessConnect(w);
    } else if (!w.backendErrorLogged) {
        common::RecordSysLog("[Wendle] Can not recover backend error");
        w.backendErrorLogged = true;
    }
    w.wsDownSince = 0;
}

void PowerResetInLoop(Wendle& w) {
    w.io->Close(w.ttyFd);
    w.ttyFd = 0;
    resetWendle(w);
    if (InitFdtty(w, w.ttyFd)) {
        w.IdentityMask = 0;
    } else {
        std::puts("[Wendle] Open TTY fail after modem reset");
    }
}

// One pass of the connected inner loop; false when the loop ends.
bool InnerPass(Wendle& w) {
    if (w.map.get(SHRMEM_3G_RF_TEST_CMD) != 0) return false;
    if (NowSeconds() - w.lastPollTime <= 5) {
        Sleep(1);
        return true;
    }
    if (!CheckWendle(w)) return false;
    for (const auto& r : kIdentity) {
        if (w.IdentityMask & r.bit) continue;
        if (r.query(w, w.ttyFd)) {
            w.IdentityMask |= r.bit;
            if (r.bit == 0x08) LinkStart(w);
        }
        if (r.bit == 0x01) SetAllBand(w, w.ttyFd);
    }
    GetRSXX(w, w.ttyFd);
    GetSystemInfo(w, w.ttyFd);
    GetOperator(w, w.ttyFd);
    BackendRecovery(w);

    const bool up = GetPPP0Info(w, SHRMEM_3G_IP);
    if (up && w.map.get(ALARM_3G_DISCONNECTED)) {
        common::RecordSysLogf("[Wendle][%d] 3G internet connnected", 4529);
        w.map.setShared(ALARM_3G_DISCONNECTED, false);
    } else if (!up && !w.map.get(ALARM_3G_DISCONNECTED)) {
        common::RecordSysLogf("[Wendle][%d] 3G internet disconnected", 4507);
        w.map.setShared(ALARM_3G_DISCONNECTED, true);
    }

    const std::int64_t now = NowSeconds();
    if (GetPPP0Info(w, SHRMEM_3G_IP)) {
        w.resetTries = 0;
        w.pppUpTime = now;
    } else {
        w.map.clear(SHRMEM_3G_IP);
        if ((w.map.get(SHRMEM_CHARGER_STATE) & kBusyCharger) == 0 && std::llabs(now - w.pppUpTime) > 90) {
            w.pppUpTime = now;
            if (w.IdentityMask & 0x18) {
                w.resetTries = 0;
                PowerResetInLoop(w);
            } else if (w.resetTries < 5) {
                ++w.resetTries;
                PowerResetInLoop(w);
            }
        }
    }

    const std::string addr = w.map.get(SHRMEM_3G_IP);
    if (!addr.empty() && addr != w.lastPppAddress) {
        common::RecordSysLog("[Wendle]3G IP address from " + w.lastPppAddress + " to " + addr);
        w.lastPppAddress = addr;
    }
    w.lastPollTime = NowSeconds();
    Sleep(1);
    return true;
}

}  // namespace

void NormalMode(Wendle& w) {
    NormalModeEntry(w);
    while (w.map.get(SHRMEM_3G_RF_TEST_CMD) == 0) {
        if (!CheckWendle(w)) {
            const std::int64_t now = NowSeconds();
            if (w.absentSince == 0) w.absentSince = now;
            if (now - w.absentSince >= 210 && !w.map.get(ALARM_3G_MODULE_FAIL)) {
                common::RecordSysLogf("[Wendle][%d] 3G module not exist", 4633);
                w.map.setShared(ALARM_3G_MODULE_FAIL, true);
            }
            if (!BusyOrNoModem(w) && (now - w.absentSince) % 90 < 4) resetWendle(w);
            if (!w.map.get(ALARM_3G_DISCONNECTED)) {
                w.map.setShared(ALARM_3G_DISCONNECTED, true);
                w.map.clear(SHRMEM_3G_IP);
            }
            Sleep(2);
            continue;
        }
        w.absentSince = 0;
        if (w.map.get(ALARM_3G_MODULE_FAIL)) {
            common::RecordSysLogf("[Wendle][%d] 3G module exist", 4325);
            w.map.setShared(ALARM_3G_MODULE_FAIL, false);
        }
        if (!InitFdtty(w, w.ttyFd)) continue;
        ConnectionStart(w);
        if (!w.autoApnDone && w.ModuleModel == 3) {
            while (!autoAPN(w, w.ttyFd)) platform::GetClock().SleepMs(100);
            w.autoApnDone = true;
        }
        if (w.IdentityMask & 0x08) LinkStart(w);
        while (InnerPass(w)) {
        }
        w.io->Close(w.ttyFd);
        w.ttyFd = 0;
    }
}

void RunWendle(Wendle& w) {
    auto waitWhile = [&](auto pred) {
        while (pred(w.map.get(SHRMEM_3G_RF_TEST_CMD))) Sleep(1);
    };
    for (;;) {
        const std::uint8_t cmd = w.map.get(SHRMEM_3G_RF_TEST_CMD);
        switch (cmd) {
            case 0: NormalMode(w); break;
            case 255:
                common::RecordSysLog("[Wendle] Exit modem test mode and reset the modem");
                modemTestReset(w);
                w.map.set(SHRMEM_3G_RF_TEST_CMD, 0);
                NormalMode(w);
                break;
            case 1:
                w.map.set(SHRMEM_3G_RF_RX_POWER, static_cast<std::uint8_t>(kRxTestInvalidRead));
                w.map.set(SHRMEM_3G_RF_TX_RESULT, 0);
                modemTestReset(w);
                waitWhile([](std::uint8_t c) { return c == 1; });
                break;
            case 2:
                modemTestTxPow(w);
                waitWhile([](std::uint8_t c) { return c == 2; });
                break;
            case 3:
                w.map.set(SHRMEM_3G_RF_RX_POWER, static_cast<std::uint8_t>(kRxTestInvalidRead));
                modemTestRxPow(w);
                waitWhile([](std::uint8_t c) { return c == 3; });
                break;
            default:
                common::RecordSysLog("[Wendle] Wrong modem test command");
                waitWhile([](std::uint8_t c) { return !(c == 1 || c == 2 || c == 3 || c == 255); });
        }
    }
}

}  // namespace modem
