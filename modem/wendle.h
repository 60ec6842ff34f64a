// Wendle, the cellular modem manager: its state in one place, so a test can
// make it fresh, and the operations of the program.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "modem_io.h"
#include "regmap.h"
#include "syslog.h"

namespace modem {

inline constexpr std::uint8_t kNoModel = 255;
inline constexpr std::int8_t kRxTestInvalidRead = 127;
// The dial script is ended when it has not returned after this long.
inline constexpr int kDialLimitMs = 120000;

// Where the program meets the board apart from the module's ttys; the
// station's versions are the defaults, tests replace them.
struct Board {
    // The IPv4 address of ppp0 as dotted text, or nothing.
    std::function<std::optional<std::string>()> ppp0Address;
    // Non-zero while the OCPP 1.6J websocket is connected (FennickApp).
    std::function<bool()> websocketConnected;
};

// The automatic APN selection's states.
enum ApnState : std::uint8_t {
    CheckModemModel = 0, ClearAPN, CheckSIMstate, CheckOperator, CheckProvCfg, CheckAPN,
    ConfigDialNum, StartPPPIF, ResetPowAutoAPN, CheckModemExist, AutoAPNdone, AutoAPNfail,
};

struct Wendle {
    ModemIo* io = nullptr;
    regmap::RegisterMap map;
    Board board;

    std::uint8_t ModuleModel = kNoModel;  // family 0..3

    // Last logged signal values.
    int lastRssi = 99;
    int lastRsrq = 255;
    int lastRsrp = 255;

    // Band lock.
    bool LockBandEnable = false;
    bool LockBandDone = false;

    // Link start: families 1 and 2 alternate the SETAPN line, starting with 1.
    bool setApnNext = true;
    common::RepeatLog dialLog;  // dial scripts ended at their limit

    // Automatic APN selection.
    std::uint8_t apnState = CheckModemModel;
    std::uint8_t apnMemState = 255;
    std::int64_t apnTm = 0;     // seconds, monotonic
    bool provCfgCheck = false;
    int apnResets = 0;          // power resets made by the selection

    // Main loop.
    int ttyFd = 0;
    std::uint8_t IdentityMask = 0;
    std::int64_t absentSince = 0;  // seconds, monotonic; 0 = present
    std::int64_t lastPollTime = 0;
    std::int64_t pppUpTime = 0;
    std::uint8_t resetTries = 0;
    std::int64_t wsDownSince = 0;
    bool backendErrorLogged = false;
    bool autoApnDone = false;
    std::string lastPppAddress;
};

// Seconds on the monotonic clock (never 0 while the program runs).
std::int64_t NowSeconds();

}  // namespace modem

namespace modem {

// Detection, AT port and power reset.
bool CheckWendle(Wendle& w);
bool identifyModem(Wendle& w, int& fd);
int checkGemaltoOpMode(Wendle& w, int fd);
bool resetModemByCmd(Wendle& w, int fd);
bool InitFdtty(Wendle& w, int& fd);
void board_init(Wendle& w);
void resetWendle(Wendle& w);
// The AT and PPP nodes of the current family ("" with no family).
std::string AtPort(std::uint8_t model);
std::string PppPort(std::uint8_t model);

// PPP link.
void StopPpp();
void wirlessConnect(Wendle& w);
bool PingTest();
// The address the link test pings ("/root/ppp/ping_host", else a public one).
std::string PingTarget();

// 4G band lock.
bool SetBand_4G(Wendle& w, int fd, int band);
bool GetSMONI(Wendle& w, int fd, std::uint8_t& band);
void SetAllBand(Wendle& w, int fd);
void SetBandLock(Wendle& w, int fd);
std::string BandLockCommand(int band);

// Main loop: start values, then test-mode dispatch and normal mode for ever.
void StartValues(Wendle& w);
[[noreturn]] void RunWendle(Wendle& w);
// Normal mode until the test command byte is set.
void NormalMode(Wendle& w);

}  // namespace modem
