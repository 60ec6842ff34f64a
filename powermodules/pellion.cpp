#include "pellion.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "clock.h"
#include "contactor.h"
#include "crc.h"
#include "files.h"
#include "instance_lock.h"
#include "paths.h"
#include "priority.h"
#include "regmap_power.h"
#include "shm.h"
#include "smr_protocol.h"
#include "syslog.h"

namespace pellion {

using platform::CanFrame;
using namespace regmap;
using namespace smr;

namespace {

const char* const kSecondaryEventStatus[32] = {
    "OuputHWOVP", "FixedOVP", "VoHighShutDown", "VoHighShutDownLatch", "VoHighAlarm", "OuputCurrentLimited",
    "OuputOCP", "OuputOPP", "NoOutput", "OutputCurrentOutOfControl", "TambOTP", "TambUTP", "VaoHigh",
    "TsecCOTP", "TsecCUTP", "OutputShort", "PSKillOff", "IMBUSOff", "SecSCIFail", "FanFail", "TsecAOTP",
    "TsecAUTP", "TsecBOTP", "TsecBUTP", "ExtremeFail", "D2D_On_Cmd", "latched", "D2DEn3S", "InputUnBal",
    "RemoteOnIn5sFlag", "Reserve", "Reserve"};
const char* const kPrimaryFastStatus[16] = {
    "AC_UVP", "AC_OVP", "AC_FAST_UVP", "AC_TOO_LOW", "PFC_OVP", "PFC_UVP", "PFC_TOOTOO_LOW", "AC_DROP",
    "PS_KILL_OFF", "PFC_HW_OVP", "PFC_HW_OCP", "POWER_UP_STAGE", "RELAY_ON_OK", "STARTUP_STAGE", "SCI_FAIL",
    "PFC_OK"};
const char* const kPrimarySlowStatus[16] = {
    "Relay_Ready_1", "PFC_OTP", "PFC_UTP", "reserved", "reserved", "LLC_OK", "reserved", "reserved",
    "reserved", "VIN_DC_MODE", "reserved", "NO_MAIN_POWER", "reserved", "reserved", "reserved", "reserved"};

// The name of the lowest set bit, or "OK".
const char* LowestBitName(std::uint32_t value, const char* const* names, int count) {
    for (int n = 0; n < count; ++n)
        if (value & (1u << n)) return names[n];
    return "OK";
}

constexpr std::int64_t kWindowMs = 100;
constexpr std::size_t kHeldFrames = 64;       // frames kept from a wait for the loop
constexpr std::int64_t kCrcWaitMs = 3500;
constexpr std::int64_t kSettleMs = 5000;       // modules asking together are all on the bus
constexpr std::int64_t kSegmentWaitMs = 200;   // twenty reads for a segment's acknowledgement
constexpr std::int64_t kFanRiseMs = 10000;     // for the modules to reach 40 V for the fan command
constexpr std::int64_t kBootWaitMs = 20000;
constexpr std::int64_t kBootPollPauseMs = 100;

}  // namespace

Pellion::Pellion(RegisterMap map, platform::CanBus& bus) : map_(map), bus_(bus) {}

std::int64_t Pellion::NowMs() const { return platform::GetClock().MonotonicMs(); }

void Pellion::SetAlarm(Bits bit, bool on) { SetBitsAtomic(map_, bit, on); }

bool Pellion::Operational(int index) const {
    return index >= 0 && index < kTableSize && SmrAddrMsn[index].state == 4 && SmrAddrMsn[index].address != 0;
}

int Pellion::EntryOfAddress(unsigned address) const {
    for (int i = 0; i < kTableSize; ++i)
        if (Operational(i) && SmrAddrMsn[i].address == address) return i;
    return -1;
}

std::uint32_t Pellion::Addressed(std::uint32_t base, int index) const {
    const std::uint32_t a = (index >= 0 && index < kTableSize) ? SmrAddrMsn[index].address : 0;
    return base | PresentModule | a;
}

bool Pellion::Send(const CanFrame& f) {
    if (bus_.Write(f)) return true;
    BusFault();
    return false;
}

// A frame that did not leave, or a bus that hung up: the modules hear nothing
// the loop sends, which the CHAdeMO session must know as a module fault.
void Pellion::BusFault() {
    if (busFault_) {
        // Held for as long as it lasts, also when a session cleared it.
        SetAlarm(ALARM_SMR_COMM, true);
        return;
    }
    busFault_ = true;
    busFaultAlarm_ = !Alarm(ALARM_SMR_COMM);
    SetAlarm(ALARM_SMR_COMM, true);
    common::RecordSysLogf("[Pellion] can0 lost: frames to the modules do not leave");
}

// A module of the table answered again on a bus that is back.
void Pellion::BusBack() {
    if (!busFault_ || bus_.Lost()) return;
    busFault_ = false;
    if (busFaultAlarm_) SetAlarm(ALARM_SMR_COMM, false);
    busFaultAlarm_ = false;
    common::RecordSysLogf("[Pellion] can0 back: the modules answer");
    // What was sent while the bus was gone may never have arrived, and the
    // sessions it fed have stopped on the fault: the modules are told off
    // (or forced off) again, and the next set-point switches them on.
    const int code = PCMOnOff == kOn ? kOff : PCMOnOff;
    SwitchPCM(-1, code);
    SwitchPCM(-1, code);
}

// The fan command needs the modules' output up: below 40 V they are brought
// to 50 V / 1 A first, once per request, and only while every output relay
// is open and no session holds the mailbox, so that neither an outlet nor a
// session's zero set-point ever gets the 50 V. Modules that do not come up
// end the request with a line instead of a mailbox armed for ever.
void Pellion::FanCommand() {
    if (static_cast<std::int16_t>(map_.get(SHRMEM_RECTIFIER_OUTPUT_VOLT)) > 399) {
        SetFanRPM(-1);
        fanPostedAt_ = -1;
        return;
    }
    if (fanPostedAt_ < 0) {
        for (U8 relay : {SHRMEM_RECTIFIER1_RELAY, SHRMEM_RECTIFIER2_RELAY, U8{2784}})
            if (map_.get(relay) & 0x83) return;
        if (chademoWasAlive_ || map_.get(SHRMEM_SET_PENDING) != 0) return;
        map_.set(SHRMEM_SET_V1, 500);
        map_.set(SHRMEM_SET_I1, 10);
        map_.set(SHRMEM_SET_PENDING, 255);
        fanPostedAt_ = NowMs();
        return;
    }
    if (NowMs() - fanPostedAt_ <= kFanRiseMs) return;
    common::RecordSysLogf("[Pellion] Fan command 0x%02x: the modules did not reach 40 V; given up",
                          map_.get(SHRMEM_FAN_SPEED_CMD));
    SetBitsAtomic(map_, Bits{SHRMEM_FAN_SPEED_CMD.offset, 0x80}, false);
    map_.set(SHRMEM_SET_V1, 0);
    map_.set(SHRMEM_SET_I1, 0);
    map_.set(SHRMEM_SET_PENDING, 255);
    fanPostedAt_ = -1;
}

// The CHAdeMO session holds the outlet's energy only while it lives: when its
// process is gone with the outlet's relay closed, the modules are switched off,
// the mailbox it left is emptied and the relay is asked open.
void Pellion::WatchChademo() {
    const bool alive = chademoAlive ? chademoAlive() : platform::InstanceRunning("Corvane");
    const bool died = chademoWasAlive_ && !alive;
    chademoWasAlive_ = alive;
    const std::uint8_t relay = map_.get(SHRMEM_RECTIFIER2_RELAY);
    if (!died || (relay & 0x03) == 0) return;
    map_.set(SHRMEM_SET_V1, 0);
    map_.set(SHRMEM_SET_I1, 0);
    map_.set(SHRMEM_SET_PENDING, 0);
    SwitchPCM(-1, kOff);
    SwitchPCM(-1, kOff);
    map_.set(SHRMEM_RECTIFIER2_RELAY, 0x80);
    common::RecordSysLogf("[Pellion] Corvane ended with the CHAdeMO relay closed (0x%x): modules off, relay opened",
                          relay);
}

bool Pellion::Recv(CanFrame& f) {
    f = CanFrame{};
    return bus_.Read(f);
}

// Switching off never waits for the loop: within any wait of a pass (an
// object access, a status read, the pause between its tries) a mailbox that
// asks for 0 V, or any with the emergency stop pressed, is served at once. A
// set-point that would switch the modules on waits for the loop's own step.
void Pellion::ServeStop() {
    if (!operational || updating_ || map_.get(SHRMEM_SET_PENDING) == 0) return;
    const bool emergency = (map_.get(SHRMEM_STOP_BUTTON) & 0x08) != 0;
    if (map_.get(SHRMEM_SET_V1) != 0 && !emergency) return;
    if (ExchangeByte(map_, SHRMEM_SET_PENDING, 0) == 0) return;
    const int code = emergency ? kForcedOff : kOff;
    SwitchPCM(-1, code);
    SwitchPCM(-1, code);
}

void Pellion::Pause(std::int64_t ms) {
    const std::int64_t t0 = NowMs();
    while (NowMs() - t0 < ms) {
        ServeStop();
        platform::GetClock().SleepMs(std::min<std::int64_t>(10, ms - (NowMs() - t0)));
    }
}

bool Pellion::Window(std::int64_t ms, const std::function<bool(std::uint32_t, const CanFrame&)>& take) {
    const std::int64_t t0 = NowMs();
    while (NowMs() - t0 <= ms) {
        ServeStop();
        CanFrame f;
        if (!Recv(f)) continue;
        const std::uint32_t id = FrameId(f);
        if (id == 0) continue;
        if (take(id, f)) return true;
        if (held_.size() < kHeldFrames) held_.push_back(f);
    }
    return false;
}

bool Pellion::WaitFor(std::uint32_t id, std::int64_t ms, CanFrame* got) {
    return Window(ms, [&](std::uint32_t rid, const CanFrame& f) {
        if (rid != id) return false;
        if (got) *got = f;
        return true;
    });
}

void Pellion::ResetTable() {
    map_.set(SHRMEM_RECTIFIER_QTY, 0);
    std::fill(std::begin(hardwareFault_), std::end(hardwareFault_), false);
    for (auto& e : SmrAddrMsn) e = SmrEntry{};
}

// ---- Start-up and the polling loop -------------------------------------------

void Pellion::Startup() {
    map_.set(SHRMEM_GET_V1, 0);
    map_.set(SHRMEM_GET_I1, 0);
    map_.set(SHRMEM_SET_I1, 0);
    map_.set(SHRMEM_SET_V1, 0);
    map_.set(SHRMEM_SET_PENDING, 0);
    map_.set(SHRMEM_SMR_VOLT_OVERRIDE, 0);
    map_.set(SHRMEM_SMR_INPUT_SEEN, 0);
    for (U16Le f : {SHRMEM_SMR_VOUT1, SHRMEM_SMR_VOUT2, SHRMEM_SMR_IOUT1, SHRMEM_SMR_IOUT2}) map_.set(f, 0);
    std::memset(map_.bytes(SHRMEM_SMR_VALUES_21549), 0, SHRMEM_SMR_VALUES_21549.size);
    ResetTable();
    Send(MakeFrame(kAnnounce));

    startS_ = lastHeartbeat_ = lastAck_ = lastTemp_ = lastInput_ = lastRefresh_ = lastFan_ = NowS();
    startMs_ = lastAvailMs_ = NowMs();
    map_.set(SHRMEM_CHADEMO_HOLD, 0);
    for (int i = 0; i < 2; ++i) TotalOutputCurrent[i] = 0, TotalAvaliableCurrent[i] = 0, TotalAvaliablePower[i] = 0;
    map_.set(SHRMEM_SMR_AVAIL_CURRENT, static_cast<std::int16_t>(map_.get(mainb::SHRMEM_MAX_OUTPUT_CURRENT)));
    map_.set(SHRMEM_SMR_AVAIL_POWER, 0);
    map_.set(SHRMEM_AVAILABLE_POWER, Sat16(map_.get(SHRMEM_MAX_OUTPUT_POWER) * 1000u));
}

void Pellion::LoopPass() {
    const std::int64_t now = NowS();

    WatchChademo();
    if (bus_.Lost()) BusFault();
    // An on/off command that did not leave is sent again until it does.
    if (pendingOnOff_ >= 0 && !bus_.Lost()) SwitchPCM(-1, pendingOnOff_);

    AssignmentStep();

    // Module detection.
    if (!operational) {
        if (Operational(0) || Operational(1)) {
            operational = true;
            lastHeartbeat_ = lastAck_ = NowS();
        } else if (now - startS_ > 14 && ((map_.get(SHRMEM_AC_CONTACTOR) & 1) || (map_.get(SHRMEM_AC_CONTACTOR2) & 1)) &&
                   !Alarm(ALARM_SMR_COMM)) {
            SetAlarm(ALARM_SMR_COMM, true);
            common::RecordSysLogf("[Pellion][%d] No SMR in operation; AC contactor1:%d, AC contactor2:%d", 7330,
                                  map_.get(SHRMEM_AC_CONTACTOR), map_.get(SHRMEM_AC_CONTACTOR2));
        }
    }

    // Acknowledge supervision.
    if (operational && lastHeartbeat_ - lastAck_ > 2 * NodeLifeTime && common::SwitchSS(map_, 2) == 1) {
        if (!Alarm(ALARM_SMR_COMM)) {
            static const char* const kText[2] = {
                "[Pellion][%d]main:#1 - No ping acknowledge,SHRMEM_RECTIFIER1_RELAY=%d,SHRMEM_RECTIFIER2_RELAY=%d",
                "[Pellion][%d]main:#2 - No ping acknowledge,SHRMEM_RECTIFIER1_RELAY=%d,SHRMEM_RECTIFIER2_RELAY=%d"};
            for (int m = 0; m < 2; ++m) {
                if (!ackFlag_[m] && !reportedFlag_[m]) {
                    reportedFlag_[m] = true;
                    common::RecordSysLogf(kText[m], m == 0 ? 7354 : 7367, map_.get(SHRMEM_RECTIFIER1_RELAY),
                                          map_.get(SHRMEM_RECTIFIER2_RELAY));
                }
            }
            if (reportedFlag_[0] && reportedFlag_[1]) SetAlarm(ALARM_SMR_COMM, true);
        }
        lastAck_ = lastHeartbeat_;
        ackFlag_[0] = ackFlag_[1] = false;
    }

    // Heartbeat.
    if (operational && now - lastHeartbeat_ > 4) {
        const std::uint16_t crc = map_.get(SHRMEM_PARAM_CRC);
        for (std::uint32_t a : {1u, 2u})
            Send(MakeFrame(kHeartbeat | a, {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)}));
        lastHeartbeat_ = NowS();
    }

    // Set-point mailbox: taken in one step, so a set-point armed while this
    // one is applied stays armed for the next pass.
    if (operational && map_.get(SHRMEM_SET_PENDING) != 0 && ExchangeByte(map_, SHRMEM_SET_PENDING, 0) != 0) {
        const bool emergency = (map_.get(SHRMEM_STOP_BUTTON) & 0x08) != 0;
        if (map_.get(SHRMEM_SET_V1) == 0 || emergency) {
            const int code = emergency ? kForcedOff : kOff;
            SwitchPCM(-1, code);
            SwitchPCM(-1, code);
        } else {
            SetOutputVoltByPercentage(-1);
            if (PCMOnOff != kOn) {
                SwitchPCM(-1, kOn);
                SwitchPCM(-1, kOn);
            }
        }
    }

    // Output readings.
    if (operational &&
        (static_cast<std::int16_t>(map_.get(SHRMEM_RECTIFIER_OUTPUT_VOLT)) > 109 || now - lastHeartbeat_ > 4)) {
        ReadRequest(0, kOutputVolt);
        ReadRequest(1, kOutputVolt);
        ReadRequest(0, kOutputAmp);
        ReadRequest(1, kOutputAmp);
    }

    // No module at all.
    if (SmrAddrMsn[0].state == 0 && SmrAddrMsn[0].address == 0 && SmrAddrMsn[1].state == 0 &&
        SmrAddrMsn[1].address == 0 && NowMs() - startMs_ > 180000 && common::SwitchSS(map_, 2) == 1) {
        if (!Alarm(ALARM_SMR_COMM))
            common::RecordSysLogf("[Pellion][%d] No SMR in operation; AC contactor1:%d, AC contactor2:%d", 7533,
                                  map_.get(SHRMEM_AC_CONTACTOR), map_.get(SHRMEM_AC_CONTACTOR2));
        SetAlarm(ALARM_SMR_COMM, true);
    }

    // Firmware update.
    if (Operational(0) && map_.get(SHRMEM_RECTIFIER_FW_UPDATE) != 0) {
        SwitchPCM(-1, kForcedOff);
        // The modules are held forced off for the whole update.
        updating_ = true;
        if (map_.get(SHRMEM_RECTIFIER_FW_UPDATE) == 1) PCMPrimaryFirmwareUP(); else PCMSecondaryFirmwareUP();
        updating_ = false;
        map_.set(SHRMEM_RECTIFIER_FW_UPDATE, 0);
    }

    // Temperatures.
    if (operational && now - lastTemp_ > 60) {
        for (int m = 0; m < 2; ++m)
            for (unsigned c = 0; c < 3; ++c) ReadRequest(m, kTemp1 + c);
        lastTemp_ = NowS();
    }

    // Input voltages.
    if (operational && map_.get(SHRMEM_SMR_INPUT_POLL) == 1 && now - lastInput_ > 1) {
        for (int m = 0; m < 2; ++m)
            for (unsigned c = 0; c < 3; ++c) ReadRequest(m, kInputVolt1 + c);
        lastInput_ = NowS();
    }

    // Set-point refresh, once a second while the modules are on or off.
    if (operational && now != lastRefresh_) {
        if (PCMOnOff > 0) SetOutputVoltByPercentage(-1);
        lastRefresh_ = NowS();
    }

    // Available current.
    if (operational && std::llabs(NowMs() - lastAvailMs_) > 99) {
        GetAvaliableCurrent(-1);
        lastAvailMs_ = NowMs();
    }

    if (operational && (map_.get(SHRMEM_FAN_SPEED_CMD) & 0x80)) FanCommand();

    // Receive: six frames at most, so that the timed steps keep their periods.
    for (int count = 0; count < 6;) {
        CanFrame f;
        if (!held_.empty()) {
            f = held_.front();
            held_.pop_front();
        } else if (!Recv(f)) {
            if (operational && Alarm(ALARM_SYSTEM_FILTER) && now - lastFan_ > 5) {
                GetFanSpeed(0);
                GetFanSpeed(1);
                lastFan_ = NowS();
            }
            break;
        }
        ++count;
        if (run_.step != AssignStep::Idle && AssignmentFrame(f)) continue;
        Dispatch(f);
    }
}

void Pellion::Dispatch(const CanFrame& f) {
    const std::uint32_t id = FrameId(f);
    if (id == 0) return;
    switch (Class(id)) {
    case kClassControl:
        if (!IsModuleKind(Kind(id))) return;
        if ((id & (1u << 17)) && !(id & (1u << 20))) {
            DecodeReply(f);
        } else if (!(id & (1u << 17)) && !(id & (1u << 20)) && Type(id) == 1 && Command(id) == 0x55) {
            DecodeStatusReport(f);
        }
        return;
    case kClassAssign:
        if (Command(id) == 0x10 && Type(id) == 0) StartAssignment();
        return;
    case kClassHeartbeat:
        if (IsModuleKind(Kind(id)) && ((id >> 18) & 7) == 0 && Command(id) == 0x41 && Type(id) == 0) Acknowledge(f);
        return;
    default:
        return;
    }
}

// The end of a run that addressed every module found and made each one
// operational: the new table replaces the old one.
void Pellion::AssignmentDone() {
    for (int i = 0; i < kTableSize; ++i) SmrAddrMsn[i] = run_.table[i];
    std::fill(std::begin(hardwareFault_), std::end(hardwareFault_), false);
    map_.set(SHRMEM_RECTIFIER_QTY, static_cast<std::uint8_t>(run_.qty));
    run_ = AssignmentRun{};
    if (!Operational(0)) return;
    // Modules that have just been addressed have not been switched on: the
    // next set-point must switch them on again.
    PCMOnOff = kOff;
    map_.set(SHRMEM_PCM_ONOFF, kOff);
    SetAlarm(ALARM_SMR_COMM, false);
    ModuleConnection(-1);
    GetVersion(0);
    GetVersion(1);
    for (int m = 0; m < 2; ++m)
        for (unsigned c = 0; c < 3; ++c) ReadRequest(m, kTemp1 + c);
    // The default set-point of a fresh bank, 500.0 V and 60.0 A, goes to
    // the modules while they are off; the mailbox keeps what its writers put
    // there: a set-point armed meanwhile is applied as it was written.
    map_.set(SHRMEM_SET_POWER, static_cast<std::uint16_t>(map_.get(SHRMEM_MAX_OUTPUT_POWER) * 5));
    SendSetPoint(-1, 5000, 600);
    GetAvaliableCurrent(-1);
    EnergyON(-1);
}

// A run that addressed fewer modules than answered, or could not make one
// operational: every module is asked to start again.
void Pellion::AssignmentFailed() {
    run_ = AssignmentRun{};
    ResetTable();
    Send(MakeFrame(kAnnounce));
}

void Pellion::OpenWindow(AssignStep step, std::uint32_t request) {
    if (request) Send(MakeFrame(request));
    run_.step = step;
    run_.until = NowMs() + kWindowMs;
}

void Pellion::PutWord(int word, std::uint16_t w) {
    run_.serial[word * 2] = static_cast<std::uint8_t>(w);
    run_.serial[word * 2 + 1] = static_cast<std::uint8_t>(w >> 8);
}

// ---- Address assignment --------------------------------------------------------
//
// The assignment runs as steps of the polling loop: each window of the
// exchange is a deadline that the loop's passes check, and the frames it
// waits for are taken from the loop's receive step. Meanwhile the loop goes
// on applying the mailbox and the stop inputs, and the modules keep the
// table they had until the new one is complete.

void Pellion::StartAssignment() {
    if (run_.step != AssignStep::Idle) return;
    run_ = AssignmentRun{};
    run_.step = AssignStep::Settle;
    run_.until = NowMs() + kSettleMs;
}

int Pellion::SmrIdAssign() {
    const std::int64_t now = NowMs();
    if (now <= run_.until) return -1;
    switch (run_.step) {
    case AssignStep::Settle:
        run_.lowest = 0xFFFF;
        OpenWindow(AssignStep::Word0, kSerialWord0);
        return -1;
    case AssignStep::Word0:
        PutWord(0, run_.lowest);
        if (run_.found == 0) return 0;
        // The table holds four modules; more are not addressed.
        run_.found = std::min(run_.found, kTableSize);
        for (int i = 0; i < run_.found; ++i) run_.table[i].state = 1;
        OpenWindow(AssignStep::Word1, kSerialWord0 + 0x100);
        return -1;
    case AssignStep::Word1: OpenWindow(AssignStep::Word2, kSerialWord0 + 0x200); return -1;
    case AssignStep::Word2: OpenWindow(AssignStep::Word3, kSerialWord0 + 0x300); return -1;
    default: break;
    }
    // A window that ended without its frame ends the exchange.
    if (run_.assigned < run_.found) return 0;
    run_.qty = run_.found;
    std::printf("[Pellion] ID assign FIN, Current SMR Quatity:%d\n", run_.qty);
    std::fflush(stdout);
    return run_.assigned;
}

bool Pellion::AssignmentFrame(const CanFrame& f) {
    const std::uint32_t id = FrameId(f);
    auto isWord = [&](unsigned word) { return (id & 0xFFFF0000u) == (kSerialReport | word << 16); };
    switch (run_.step) {
    case AssignStep::Word0:
        if (!isWord(0)) return false;
        ++run_.found;
        run_.lowest = std::min<std::uint16_t>(run_.lowest, id & 0xFFFF);
        return true;
    case AssignStep::Word1:
    case AssignStep::Word2: {
        const unsigned word = run_.step == AssignStep::Word1 ? 1 : 2;
        if (!isWord(word)) return false;
        PutWord(static_cast<int>(word), id & 0xFFFF);
        return true;
    }
    case AssignStep::Word3:
        if (!isWord(3)) return false;
        PutWord(3, id & 0xFFFF);
        OpenWindow(AssignStep::Answer, kAssignRequest);
        return true;
    case AssignStep::Answer: {
        const std::uint32_t base = id & 0xFFFFFF00u;
        if (base != (kAssignAnswer | KindBits(10)) && base != (kAssignAnswer | KindBits(11))) return false;
        if (run_.assigned >= kTableSize) {
            run_.until = 0;   // the run ends at the next pass
            return true;
        }
        PresentModule = id & kKindMask;
        const auto address = static_cast<std::uint8_t>(run_.assigned + 1);
        Send(MakeFrame(kTakeAddress | PresentModule | address));
        SmrEntry& e = run_.table[run_.assigned];
        e.state = 2;
        e.address = address;
        const std::uint8_t* n = run_.serial;
        if (map_.get(U8{SHRMEM_SMR1_FW_VERSION.offset}) == 0 || map_.get(U8{SHRMEM_SMR2_FW_VERSION.offset}) == 0)
            common::RecordSysLogf("[Pellion]SmrIdAssign:#%d-MSN:%02x%02x%02x%02x%02x%02x%02x%02x", address, n[0], n[1],
                                  n[2], n[3], n[4], n[5], n[6], n[7]);
        std::memset(run_.serial, 0, sizeof run_.serial);
        run_.lowest = 0xFFFF;
        ++run_.assigned;
        OpenWindow(AssignStep::NextWord0, kSerialWord0);
        return true;
    }
    case AssignStep::NextWord0:
        if (!isWord(0)) return false;
        PutWord(0, id & 0xFFFF);
        OpenWindow(AssignStep::Word1, kSerialWord0 + 0x100);
        return true;
    case AssignStep::Crc:
    case AssignStep::Accept:
    case AssignStep::Segment: return GoOpFrame(f);
    default: return false;
    }
}

void Pellion::CrcCheck() {
    const SmrEntry& e = run_.table[run_.entry];
    const std::uint16_t crc = map_.get(SHRMEM_PARAM_CRC);
    Send(MakeFrame(kCrcCheck | PresentModule | e.address,
                   {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)}));
    run_.step = AssignStep::Crc;
    run_.crcFrom = NowMs();
    run_.until = run_.crcFrom + kCrcWaitMs;
}

// The next entry waiting for its parameter check, or the end of the run.
int Pellion::NextGoOpEntry() {
    while (run_.entry < run_.qty && run_.table[run_.entry].state != 2) ++run_.entry;
    if (run_.entry < run_.qty) {
        run_.downloads = 0;
        CrcCheck();
        return -1;
    }
    for (int j = 0; j < run_.qty; ++j)
        if (run_.table[j].state != 4) return 0;
    return 1;
}

void Pellion::SendSegment() {
    const std::uint8_t* p = map_.bytes(SHRMEM_MODULE_PARAMS);
    const std::uint8_t a = run_.table[run_.entry].address;
    const int k = run_.segment;
    if (k == 0) Send(MakeFrame(kDownloadFirst | PresentModule | a, p, 8));
    else if (k < 5) Send(MakeFrame(kDownloadMiddle | PresentModule | a, p + 8 * k, 8));
    else Send(MakeFrame(kDownloadLast | PresentModule | a, p + 40, 6));
    run_.step = AssignStep::Segment;
    run_.until = NowMs() + kSegmentWaitMs;
}

// After each segment: the next one on its acknowledgement or after the wait
// (a missing acknowledgement does not stop the download), then a new check.
void Pellion::SegmentDone() {
    if (++run_.segment < 6) return SendSegment();
    run_.table[run_.entry].state = 3;
    CrcCheck();
}

bool Pellion::GoOpFrame(const CanFrame& f) {
    const std::uint32_t id = FrameId(f);
    SmrEntry& e = run_.table[run_.entry];
    const std::uint32_t k = PresentModule | e.address;
    if (run_.step == AssignStep::Crc && id == (kCrcAnswer | k)) {
        const std::uint16_t crc = map_.get(SHRMEM_PARAM_CRC);
        if (f.len >= 2 && Be16(f.data) == crc) {
            Send(MakeFrame(kGoOperational | k));
            e.state = 4;
            ++run_.entry;
            run_.step = AssignStep::GoOpNext;
            run_.until = 0;
        } else if (++run_.downloads > kMaxDownloads) {
            // A module that keeps its old block after every download is
            // given up instead of being downloaded for ever.
            ++run_.entry;
            run_.step = AssignStep::GoOpNext;
            run_.until = 0;
        } else {
            Send(MakeFrame(kDownloadStart | k));
            run_.step = AssignStep::Accept;
            run_.until = NowMs() + kCrcWaitMs;
        }
        return true;
    }
    if (run_.step == AssignStep::Accept && id == (kDownloadAccepted | k)) {
        run_.segment = 0;
        SendSegment();
        return true;
    }
    if (run_.step == AssignStep::Segment && id == (kDownloadAck | k)) {
        SegmentDone();
        return true;
    }
    return false;
}

int Pellion::SmrGoOpState() {
    switch (run_.step) {
    case AssignStep::GoOpNext: return NextGoOpEntry();
    case AssignStep::Segment:
        if (NowMs() > run_.until) SegmentDone();
        return -1;
    case AssignStep::Crc:
    case AssignStep::Accept:
        // No answer within the check's time: this entry stays where it is.
        if (NowMs() - run_.crcFrom > kCrcWaitMs && NowMs() > run_.until) {
            ++run_.entry;
            return NextGoOpEntry();
        }
        return -1;
    default: return -1;
    }
}

// One step of the assignment sequence per pass of the loop.
void Pellion::AssignmentStep() {
    if (run_.step == AssignStep::Idle) return;
    if (run_.step < AssignStep::GoOpNext) {
        const int r = SmrIdAssign();
        if (r < 0) return;
        if (r == 0) {
            // Nobody answered the serial-number request: whatever asked for
            // an address was no module of this bank, and the table stands.
            if (run_.found == 0 && run_.step == AssignStep::Word0) {
                common::RecordSysLogf("[Pellion] Address request without a module answering: ignored");
                run_ = AssignmentRun{};
                return;
            }
            return AssignmentFailed();
        }
        run_.entry = 0;
        run_.step = AssignStep::GoOpNext;
    }
    const int r = SmrGoOpState();
    if (r < 0) return;
    if (r == 0) return AssignmentFailed();
    AssignmentDone();
}

void Pellion::Acknowledge(const CanFrame& f) {
    const unsigned a = Address(FrameId(f));
    // Only modules of the table are supervised.
    if (EntryOfAddress(a) < 0) return;
    BusBack();
    if (a == 1) ackFlag_[0] = true;
    if (a == 2) ackFlag_[1] = true;
    if ((reportedFlag_[0] || ackFlag_[0]) && (reportedFlag_[1] || ackFlag_[1])) {
        ackFlag_[0] = ackFlag_[1] = false;
        lastAck_ = NowS();
    }
    // A module that answers again is supervised again.
    if (a == 1 || a == 2) reportedFlag_[a - 1] = false;
    // The hardware alarm is one bit for all modules: a healthy answer of one
    // module clears it only when no other module's defect holds it.
    if (f.len >= 2 && f.data[1] == 0) {
        hardwareFault_[EntryOfAddress(a)] = false;
        if (std::none_of(std::begin(hardwareFault_), std::end(hardwareFault_), [](bool b) { return b; }))
            SetAlarm(ALARM_SMR_HARDWARE, false);
    }
}

// ---- Commands, requests and replies --------------------------------------------

void Pellion::SwitchPCM(int index, int code) {
    if (index >= 0 && !Operational(index)) return;
    // The state says what the modules were sent, never what failed to leave.
    if (!Send(MakeFrame(Addressed(kSwitch, index), {static_cast<std::uint8_t>(code)}))) {
        if (index < 0) pendingOnOff_ = code;
        return;
    }
    if (index < 0) pendingOnOff_ = -1;
    PCMOnOff = code;
    map_.set(SHRMEM_PCM_ONOFF, static_cast<std::uint8_t>(code));
}

void Pellion::ReleasePCM(int index) {
    if (index >= 0 && !Operational(index)) return;
    Send(MakeFrame(Addressed(kRelease, index)));
}

void Pellion::ResetPCM(int index) {
    // A reset goes to one module, never to the whole bank.
    if (!Operational(index)) return;
    Send(MakeFrame(Addressed(kReset, index)));
}

void Pellion::CalculateAvaliableCurrent(int index) { Send(MakeFrame(Addressed(kAvailablePrepare, index), {1})); }

void Pellion::EnergyON(int index) { Send(MakeFrame(Addressed(kEnergyOn, index), {0})); }
void Pellion::ModuleConnection(int index) { Send(MakeFrame(Addressed(kModuleConnection, index), {1})); }

void Pellion::ReadRequest(int index, unsigned command) {
    if (!Operational(index)) return;
    Send(MakeFrame(Addressed(kRead | command << 8, index)));
}

void Pellion::SetOutputVoltByPercentage(int index) {
    SendSetPoint(index, map_.get(SHRMEM_SET_V1), map_.get(SHRMEM_SET_I1));
}

void Pellion::SendSetPoint(int index, std::uint32_t setV, std::uint32_t setI) {
    const std::uint32_t override = map_.get(SHRMEM_SMR_VOLT_OVERRIDE);
    const std::uint16_t voltage = EncodeVoltage(override ? override * 10 : setV);
    const std::uint32_t volts = override ? override : setV / 10;
    std::uint32_t share = 0;
    if (volts != 0) {
        std::uint64_t e = std::uint64_t{TotalAvaliableCurrent[0]} + TotalAvaliableCurrent[1];
        if (e == 0) e = 8200;
        std::uint64_t g = e / 100;
        g = std::min<std::uint64_t>(g, map_.get(mainb::SHRMEM_MAX_OUTPUT_CURRENT));
        g = std::min<std::uint64_t>(g, map_.get(SHRMEM_SMR_CURRENT_CAP));
        map_.set(SHRMEM_SMR_CURRENT_LIMIT, static_cast<std::uint8_t>(g));
        const std::uint64_t l = std::min<std::uint64_t>(setI / 10, g);
        share = static_cast<std::uint32_t>(l * 1000000 / e);
    }
    const std::uint16_t power = EncodeCurrent(map_.get(SHRMEM_MAX_OUTPUT_POWER) * 5u);
    std::uint64_t limit;
    if (const std::uint32_t p = map_.get(SHRMEM_CHADEMO_PRESENT_VOLTAGE)) limit = (std::uint64_t{p} + 5) * 10;
    else if (const std::uint32_t t = map_.get(SHRMEM_CHADEMO_TARGET_VOLTAGE)) limit = std::uint64_t{t} * 10;
    else if (const std::uint32_t v = map_.get(SHRMEM_GET_V1)) limit = v;
    else limit = setV;
    const std::uint16_t vlimit = EncodeVoltage(static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, 0xFFFFFFFF)));
    const std::uint16_t s16 = Sat16(share);
    Send(MakeFrame(Addressed(kSetPoint, index),
                   {static_cast<std::uint8_t>(voltage >> 8), static_cast<std::uint8_t>(voltage),
                    static_cast<std::uint8_t>(s16 >> 8), static_cast<std::uint8_t>(s16),
                    static_cast<std::uint8_t>(power >> 8), static_cast<std::uint8_t>(power),
                    static_cast<std::uint8_t>(vlimit >> 8), static_cast<std::uint8_t>(vlimit)}));
}

void Pellion::SetOutputVolt(int index) {
    const std::uint16_t voltage = EncodeVoltage(map_.get(SHRMEM_SET_V1));
    std::uint32_t current = map_.get(SHRMEM_SET_I1);
    const std::uint32_t qty = map_.get(SHRMEM_RECTIFIER_QTY);
    if (qty > 1) current /= qty;
    const std::uint16_t share = EncodeCurrent(std::min<std::uint32_t>(current, 417));
    const std::uint16_t power = EncodeCurrent(map_.get(SHRMEM_SET_POWER));
    Send(MakeFrame(Addressed(kSetOutputVolt, index),
                   {static_cast<std::uint8_t>(voltage >> 8), static_cast<std::uint8_t>(voltage),
                    static_cast<std::uint8_t>(share >> 8), static_cast<std::uint8_t>(share),
                    static_cast<std::uint8_t>(power >> 8), static_cast<std::uint8_t>(power), 0, 0}));
}

void Pellion::SetMaxFanRPM(int index, unsigned value, std::uint16_t word) {
    std::uint32_t v;
    if (const std::uint32_t t = map_.get(SHRMEM_CHADEMO_TARGET_VOLTAGE)) v = t * 10;
    else if (const std::uint32_t c = map_.get(SHRMEM_CCS_EV_TARGET_VOLTAGE)) v = c * 10;
    else v = map_.get(SHRMEM_SET_V1);
    const std::uint16_t voltage = EncodeVoltage(v);
    Send(MakeFrame(Addressed(kMaxFanSpeed, index),
                   {0, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(word >> 8),
                    static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(voltage >> 8),
                    static_cast<std::uint8_t>(voltage), 0, 0}));
}

void Pellion::GetInputI(int index) {
    const int qty = map_.get(SHRMEM_RECTIFIER_QTY);
    if (index < 0 || index >= qty) {
        for (int i = 0; i < kTableSize; ++i) ReadRequest(i, kInputVolt1 + 2);
    } else {
        ReadRequest(index, kInputVolt1 + 2);
    }
}

int Pellion::GetOutputPower(int index) {
    if (!Operational(index)) return 0;
    ReadRequest(index, kInputVolt1);
    CanFrame got;
    if (!WaitFor(Addressed(kReply | kInputVolt1 << 8, index), 2000, &got) || got.len < 2) return 0;
    // Mantissa x (10^exponent / 1000) x 100.
    map_.set(SHRMEM_GET_P1, Sat16(DecodeAvailableCurrent(Be16(got.data))));
    return 1;
}

void Pellion::SetFanRPM(int index) {
    const std::uint8_t value = map_.get(SHRMEM_FAN_SPEED_VALUE), cmd = map_.get(SHRMEM_FAN_SPEED_CMD);
    if (value != 0 || cmd != 0x80)
        Send(MakeFrame(Addressed(kFanSpeed, index), {static_cast<std::uint8_t>(0x80 | (cmd & 0x7F)), value}));
    else
        Send(MakeFrame(Addressed(kFanSpeed, index), {0, 0}));
    SetBitsAtomic(map_, Bits{SHRMEM_FAN_SPEED_CMD.offset, 0x80}, false);
}

void Pellion::GetAvaliableCurrent(int index) {
    Send(MakeFrame(Addressed(kAvailablePrepare, index), {1}));
    platform::GetClock().SleepMs(5);
    const int qty = map_.get(SHRMEM_RECTIFIER_QTY);
    if (index < 0 || index >= qty) {
        for (int i = 0; i < kTableSize; ++i) ReadRequest(i, kAvailable);
    } else {
        ReadRequest(index, kAvailable);
    }
}

void Pellion::StoreOutputVoltage(unsigned address, std::uint16_t raw) {
    const std::uint16_t v = Sat16(DecodeVoltage(raw));
    map_.set(SHRMEM_RECTIFIER_OUTPUT_VOLT, v);
    map_.set(address == 1 ? SHRMEM_SMR_VOUT1 : SHRMEM_SMR_VOUT2, v);
}

void Pellion::StoreOutputCurrent(unsigned address, std::uint16_t raw) {
    const std::uint16_t i = Sat16(DecodeCurrent(raw));
    map_.set(address == 1 ? SHRMEM_SMR_IOUT1 : SHRMEM_SMR_IOUT2, i);
    TotalOutputCurrent[address - 1] = i;
    const std::uint32_t sum = std::uint32_t{TotalOutputCurrent[0]} + TotalOutputCurrent[1];
    map_.set(SHRMEM_GET_I1, Sat16(sum));
    map_.set(SHRMEM_CCS_EVSE_PRESENT_CURRENT, static_cast<std::uint8_t>(std::min<std::uint32_t>((sum + 5) / 10, 255)));
}

void Pellion::DecodeReply(const CanFrame& f) {
    const std::uint32_t id = FrameId(f);
    const unsigned a = Address(id);
    const int entry = EntryOfAddress(a);
    // Replies come only from the first two modules of the table, and only
    // in the form of the module kind that was addressed.
    if (entry < 0 || entry > 1 || (id & kKindMask) != PresentModule || f.len < 2) return;
    BusBack();
    const unsigned cmd = Command(id);
    const std::uint16_t raw = Be16(f.data);
    switch (cmd) {
    case 0x03: case 0x04: case 0x05: {
        const unsigned slot = static_cast<unsigned>(entry) * 3 + (cmd - 0x03);
        map_.set(SmrInputVolt(slot), Sat16(DecodeInputVoltage(raw)));
        SetBitsAtomic(map_, Bits{SHRMEM_SMR_INPUT_SEEN.offset, static_cast<std::uint8_t>(1u << slot)}, true);
        return;
    }
    case kAvailable: {
        if (f.len < 4) return;
        TotalAvaliablePower[a - 1] = DecodeAvailablePower(Be16(f.data + 2));
        TotalAvaliableCurrent[a - 1] = DecodeAvailableCurrent(raw);
        const std::uint64_t current = std::uint64_t{TotalAvaliableCurrent[0]} + TotalAvaliableCurrent[1];
        const std::uint64_t power = std::uint64_t{TotalAvaliablePower[0]} + TotalAvaliablePower[1];
        map_.set(SHRMEM_SMR_AVAIL_CURRENT,
                 static_cast<std::int16_t>(current / 100 ? std::min<std::uint64_t>(current / 100, 0x7FFF)
                                                         : map_.get(mainb::SHRMEM_MAX_OUTPUT_CURRENT)));
        map_.set(SHRMEM_SMR_AVAIL_POWER, Sat16(power));
        const std::uint64_t station = map_.get(SHRMEM_MAX_OUTPUT_POWER) * 1000ull;
        map_.set(SHRMEM_AVAILABLE_POWER, Sat16(power == 0 || power >= station ? station : power));
        return;
    }
    case 0x0C: map_.bytes(SHRMEM_SMR_TEMP1)[0] = f.data[0], map_.bytes(SHRMEM_SMR_TEMP1)[1] = f.data[1]; return;
    case 0x0D: map_.bytes(SHRMEM_SMR_TEMP2)[0] = f.data[0], map_.bytes(SHRMEM_SMR_TEMP2)[1] = f.data[1]; return;
    case 0x0E: map_.bytes(SHRMEM_SMR_TEMP3)[0] = f.data[0], map_.bytes(SHRMEM_SMR_TEMP3)[1] = f.data[1]; return;
    case kOutputAmp: StoreOutputCurrent(a, raw); return;
    case kOutputVolt: StoreOutputVoltage(a, raw); return;
    default: return;
    }
}

// ---- Status reports -------------------------------------------------------------

void Pellion::DecodeStatusReport(const CanFrame& f) {
    const std::uint32_t id = FrameId(f);
    const unsigned a = Address(id);
    const int entry = EntryOfAddress(a);
    if (entry < 0 || f.len < 8) return;
    if (a <= 2) {
        StoreOutputVoltage(a, Be16(f.data));
        StoreOutputCurrent(a, Be16(f.data + 2));
    }
    const unsigned category = f.data[6] & 0x0F, cause = f.data[7];
    const std::uint8_t contactor = map_.get(SHRMEM_AC_CONTACTOR);
    auto raise = [&](Bits bit, int number, const char* text) {
        if (bit.offset == ALARM_SMR_HARDWARE.offset && bit.mask == ALARM_SMR_HARDWARE.mask) hardwareFault_[entry] = true;
        if (Alarm(bit)) return;
        SetAlarm(bit, true);
        common::RecordSysLogf("[Pellion][%d]main:#%d - %s", number, a, text);
    };
    bool statusRead = false;
    switch (category) {
    case 0:
        if (SmrAddrMsn[0].address == a) smrOKflag |= 1;
        if (SmrAddrMsn[1].address == a) smrOKflag |= 2;
        if ((smrOKflag & 3) == 3) {
            SetAlarm(ALARM_SMR_TEMPORARY_315, false);
            SetAlarm(ALARM_SMR_OUTPUT_UVP, false);
            SetAlarm(ALARM_SMR_INPUT_OVP, false);
            smrOKflag = 0;
        }
        break;
    case 2:
        if (cause == 0) {
            if (Alarm(ALARM_GFD)) SetAlarm(ALARM_SMR_INPUT_UVP, false);
            else if (contactor != 0) raise(ALARM_SMR_INPUT_UVP, 8433, "SMR input voltage too low");
        } else if (cause >= 1 && cause <= 3) {
            static const char* const kText[3] = {"SMR input voltage too high", "One line outside range",
                                                 "Two lines outside range"};
            static const int kNumber[3] = {8464, 8495, 8526};
            if (contactor != 0) raise(ALARM_SMR_INPUT_OVP, kNumber[cause - 1], kText[cause - 1]);
        } else if (cause == 4) {
            SetAlarm(ALARM_SMR_INPUT_OVP, false);
            SetAlarm(ALARM_SMR_INPUT_UVP, false);
        }
        break;
    case 3:
        if (cause == 0) raise(ALARM_SMR_AMBIENT_OTP, 8579, "Temporary OTP");
        if (cause == 1) raise(ALARM_SMR_OUTPUT_OVP, 8610, "Temporary OVP");
        if (cause == 2) raise(ALARM_SMR_FAN, 8640, "SMR fan NG");
        break;
    case 4:
        if (cause == 0) raise(ALARM_SMR_AMBIENT_OTP, 8687, "SMR latched by OTP ");
        if (cause == 1) raise(ALARM_SMR_OUTPUT_OVP, 8718, "SMR latched by OVP ");
        if (cause == 2) raise(ALARM_SMR_FAN, 8749, "SMR latched by fan NG ");
        if (cause == 3) raise(ALARM_SMR_HARDWARE, 8780, "SMR latched by hardware defect");
        break;
    case 5:
        if (cause == 0) raise(ALARM_SMR_AMBIENT_OTP, 8818, "SMR latched by OTP");
        if (cause == 1) {
            raise(ALARM_SMR_OUTPUT_OVP, 8848, "SMR latched by OVP");
            ReleasePCM(entry);
        }
        if (cause == 2) raise(ALARM_SMR_FAN, 8878, "SMR latched by fan NG");
        if (cause == 3 || cause == 4 || cause == 5 || cause == 8) {
            static const char* const kText[] = {"SMR latched by hardware defect", "SMR latched by PFC defect",
                                                "SMR latched by DCDC defect"};
            if (cause == 8) raise(ALARM_SMR_HARDWARE, 9001, "SMR latched by unknow");
            else raise(ALARM_SMR_HARDWARE, cause == 3 ? 8906 : cause == 4 ? 8937 : 8968, kText[cause - 3]);
            statusRead = true;
        }
        break;
    case 6: {
        static const char* const kText[] = {"SMR latched by Converter", "SMR latched by PFC defect",
                                            "SMR latched by DCDC defect", "SMR latched by output Fuse blown",
                                            "SMR latched by input Fuse blown", "SMR latched by output power too high"};
        static const int kNumber[] = {9040, 9071, 9103, 9135, 9167, 9199};
        if (cause >= 3 && cause <= 8) {
            raise(ALARM_SMR_HARDWARE, kNumber[cause - 3], kText[cause - 3]);
            statusRead = true;
        }
        hardwareFault_[entry] = true;
        SetAlarm(ALARM_SMR_HARDWARE, true);
        map_.set(SHRMEM_GET_V1, 0);
        map_.set(SHRMEM_GET_I1, 0);
        break;
    }
    default:
        break;
    }
    if (statusRead) {
        // A module that never completes the object access is given up after
        // a few tries: the loop must keep supervising the other module.
        for (int tries = 0; tries < kMaxStatusReads && GetGroup21(entry) == 0; ++tries)
            Pause(1000);
    }
}

// ---- Object access ----------------------------------------------------------------

int Pellion::ObjectOpen(int index) {
    Send(MakeFrame(Addressed(kObjectOpen, index)));
    const std::uint32_t ok = Addressed(kObjectAccepted, index), no = Addressed(kObjectRefused, index);
    int result = -1;
    Window(kWindowMs, [&](std::uint32_t id, const CanFrame&) {
        if (id == ok) result = 1;
        else if (id == no) result = 0;
        return result >= 0;
    });
    return result;
}

int Pellion::ObjectClose(int index) {
    Send(MakeFrame(Addressed(kObjectClose, index)));
    const std::uint32_t ok = Addressed(kObjectAccepted, index), no = Addressed(kObjectRefused, index);
    return Window(kWindowMs, [&](std::uint32_t id, const CanFrame&) { return id == ok || id == no; }) ? 1 : 0;
}

bool Pellion::ObjectRead(int index, std::uint8_t group, std::uint8_t object, std::int64_t waitMs, std::uint8_t* value) {
    Send(MakeFrame(Addressed(kObjectRead, index), {group, object}));
    CanFrame got;
    if (!WaitFor(Addressed(kObjectValue, index), waitMs, &got)) return false;
    std::memset(value, 0, 8);
    std::memcpy(value, got.data, got.len);
    return true;
}

int Pellion::GetGroup21(int index) {
    if (index < 0) return -1;
    if (!Operational(index)) return 0;
    if (ObjectOpen(index) != 1) return 0;
    const unsigned a = SmrAddrMsn[index].address;
    struct Object { std::uint8_t number; const char* text; const char* const* names; int count; };
    static const Object kObjects[] = {
        {70, "[Pellion]GetGroup21:%d - SecondaryEventStatus_t(21.70)=0x%x,0x%x,0x%x,0x%x - %s ", kSecondaryEventStatus, 32},
        {100, "[Pellion]GetGroup21:#%d - PrimaryFastStatus_t(21.100)=0x%x,0x%x - %s ", kPrimaryFastStatus, 16},
        {106, "[Pellion]GetGroup21:#%d - PrimarySlowStatus_t(21.106)=0x%x,0x%x - %s", kPrimarySlowStatus, 16},
        {115, "[Pellion]GetGroup21:#%d - PrimaryFastStatus_t(21.115)=0x%x,0x%x - %s", kPrimaryFastStatus, 16},
        {121, "[Pellion]GetGroup21:#%d - PrimarySlowStatus_t(21.121)=0x%x,0x%x - %s", kPrimarySlowStatus, 16},
        {130, "[Pellion]GetGroup21:#%d - PrimaryFastStatus_t(21.130)=0x%x,0x%x - %s", kPrimaryFastStatus, 16},
        {136, "[Pellion]GetGroup21:#%d - PrimarySlowStatus_t(21.136)=0x%x,0x%x - %s", kPrimarySlowStatus, 16},
    };
    bool last = false;
    for (const Object& o : kObjects) {
        std::uint8_t v[8];
        last = ObjectRead(index, 21, o.number, kWindowMs, v);
        if (!last) {
            common::RecordSysLogf("[Pellion]GetGroup21:#%d - Get 21.%d Timeout", a, o.number);
        } else if (o.count == 32) {
            common::RecordSysLogf(o.text, a, v[0], v[1], v[2], v[3], LowestBitName(Be32(v), o.names, 32));
        } else {
            common::RecordSysLogf(o.text, a, v[0], v[1], LowestBitName(Be16(v), o.names, 16));
        }
    }
    return (ObjectClose(index) == 1 || last) ? 1 : 0;
}

int Pellion::GetFanSpeed(int index) {
    if (index < 0) return -1;
    if (!Operational(index) || ObjectOpen(index) != 1) return 0;
    std::uint8_t v[8];
    if (ObjectRead(index, 21, 73, kWindowMs, v)) map_.set(index == 0 ? SHRMEM_FAN_SPEED1 : SHRMEM_FAN_SPEED2, Be16(v));
    ObjectRead(index, 21, 74, kWindowMs, v);
    return ObjectClose(index);
}

int Pellion::GetVersion(int index) {
    if (!Operational(index)) return 0;
    if (ObjectOpen(index) < 0) return 0;
    std::uint8_t v[8];
    const bool read = ObjectRead(index, 0, 23, 60000, v);
    if (read) {
        std::uint8_t* slot = map_.bytes(index == 0 ? SHRMEM_SMR1_FW_VERSION : SHRMEM_SMR2_FW_VERSION);
        const bool changed = std::memcmp(slot, v, 8) != 0;
        std::memcpy(slot, v, 8);
        if (changed) {
            // The version is the module's text: only printable characters reach the log.
            std::string text;
            for (std::uint8_t c : v) {
                if (c == 0) break;
                text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
            }
            common::RecordSysLogf("[Pellion]GetVersion:#%d - version=%s", SmrAddrMsn[index].address, text.c_str());
        }
    } else {
        std::memset(map_.bytes(SHRMEM_SMR_VERSION_STATUS), 0, SHRMEM_SMR_VERSION_STATUS.size);
    }
    return (ObjectClose(index) == 1 || read) ? 1 : 0;
}

int Pellion::ReadGroup(int index, std::uint8_t group, std::initializer_list<std::uint8_t> objects,
                       const std::function<void(std::uint8_t, const std::uint8_t*)>& use) {
    if (!Operational(index)) return 0;
    if (ObjectOpen(index) < 0) return 0;
    bool last = false;
    for (std::uint8_t o : objects) {
        std::uint8_t v[8];
        last = ObjectRead(index, group, o, 60000, v);
        if (last) use(o, v);
    }
    return (ObjectClose(index) == 1 || last) ? 1 : 0;
}

int Pellion::GetGroup1(int index) {
    return ReadGroup(index, 1, {0, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21},
                     [&](std::uint8_t o, const std::uint8_t* v) {
                         // A module that gives no life time keeps the station's.
                         if (o == 7 && Be16(v) / 100 > 0) NodeLifeTime = Be16(v) / 100;
                         if (o == 10) map_.set(SHRMEM_SMR_GROUP1_VOLT, Sat16(DecodeVoltage(Be16(v))));
                         if (o == 11) map_.set(SHRMEM_SET_I1, Sat16(DecodeCurrent(Be16(v))));
                         if (o == 12) map_.set(SHRMEM_SET_POWER, Sat16(DecodeCurrent(Be16(v))));
                     });
}

int Pellion::GetGroup2(int index) {
    return ReadGroup(index, 2, {0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                     [](std::uint8_t, const std::uint8_t*) {});
}

int Pellion::GetGroup3(int index) {
    return ReadGroup(index, 3, {0, 1, 2, 10}, [](std::uint8_t, const std::uint8_t*) {});
}

int Pellion::GetSmrBootLoaderAckFlag(int index) {
    if (index < 0) return -1;
    if (!Operational(index)) return 0;
    if (ObjectOpen(index) != 1) return -1;
    std::uint8_t v[8];
    const int state = ObjectRead(index, 21, 61, 1000, v) ? v[0] : -1;
    ObjectClose(index);
    return state;
}

// ---- Firmware update ----------------------------------------------------------------

namespace {

// Reads an image whole; empty when it is missing, unreadable or too large.
std::vector<std::uint8_t> ReadImage(const char* systemPath) {
    std::vector<std::uint8_t> buf(kMaxImage + 1);
    const ssize_t n = platform::ReadFileBytes(platform::SystemPath(systemPath), buf.data(), buf.size());
    if (n <= 0 || static_cast<std::size_t>(n) > kMaxImage) return {};
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

}  // namespace

void Pellion::PreUpdateFrames(int index) {
    const int qty = std::min<int>(map_.get(SHRMEM_RECTIFIER_QTY), kTableSize);
    const std::uint16_t crc = map_.get(SHRMEM_PARAM_CRC);
    for (int j = index + 1; j < qty; ++j) {
        Send(MakeFrame(kPreUpdate + static_cast<std::uint32_t>(j),
                       {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)}));
        CanFrame f;
        Recv(f);
    }
}

bool Pellion::StepUntil(int index, std::uint8_t step, int state) {
    const std::int64_t t0 = NowMs();
    while (NowMs() - t0 <= kBootWaitMs) {
        Send(MakeFrame(Addressed(kBootStep, index), {step}));
        if (GetSmrBootLoaderAckFlag(index) == state) return true;
        platform::GetClock().SleepMs(kBootPollPauseMs);
    }
    return false;
}

bool Pellion::PrimaryUpdateModule(int index, const std::uint8_t* image, std::size_t size) {
    auto& clock = platform::GetClock();
    auto bootloader = [&](std::uint8_t enter) {
        for (int tries = 0; tries < 3; ++tries) {
            Send(MakeFrame(Addressed(kBootloader, index), {enter}));
            Send(MakeFrame(Addressed(kBootloaderCompanion, index)));
            if (WaitFor(Addressed(kBootloaderAnswer, index), 2000)) return true;
        }
        return false;
    };
    if (!bootloader(1)) return false;
    bool ok = true;
    for (int i = 0; i < 3; ++i) {
        Send(MakeFrame(Addressed(kBootStep, index), {0}));
        clock.SleepMs(100);
    }
    ok = StepUntil(index, 1, 8) && StepUntil(index, 3, 10);
    for (std::size_t offset = 0; ok && offset < size; offset += 256) {
        const std::size_t n = std::min<std::size_t>(size - offset, 256);
        for (std::size_t sent = 0; sent < n; sent += 8) {
            Send(MakeFrame(Addressed(kPrimaryData, index), image + offset + sent,
                           static_cast<unsigned>(std::min<std::size_t>(n - sent, 8))));
            clock.SleepMs(20);
        }
        const std::uint32_t address = 0x1800 + static_cast<std::uint32_t>(offset / 2);
        std::uint8_t header[8] = {static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
                                  static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address),
                                  static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
        std::vector<std::uint8_t> covered(image + offset, image + offset + n);
        covered.insert(covered.end(), header, header + 6);
        const std::uint16_t crc = common::Crc16Arc(covered.data(), covered.size());
        header[6] = static_cast<std::uint8_t>(crc >> 8);
        header[7] = static_cast<std::uint8_t>(crc);
        Send(MakeFrame(Addressed(kPrimaryHeader, index), header, 8));
        const std::int64_t t0 = NowMs();
        bool accepted = false;
        while (!accepted && NowMs() - t0 <= kBootWaitMs) {
            accepted = GetSmrBootLoaderAckFlag(index) == 11;
            if (!accepted) clock.SleepMs(kBootPollPauseMs);
        }
        ok = accepted;
    }
    if (ok) ok = StepUntil(index, 6, 12);
    for (int i = 0; i < 3; ++i) {
        Send(MakeFrame(Addressed(kBootStep, index), {0}));
        clock.SleepMs(100);
    }
    return bootloader(0) && ok;
}

int Pellion::PCMPrimaryFirmwareUP() {
    const std::vector<std::uint8_t> image = ReadImage("/mnt/SMR_PRIMARY_FW");
    if (image.empty()) return 0;
    const int qty = std::min<int>(map_.get(SHRMEM_RECTIFIER_QTY), kTableSize);
    for (int i = 0; i < qty; ++i) {
        const unsigned a = SmrAddrMsn[i].address;
        PreUpdateFrames(i);
        if (PrimaryUpdateModule(i, image.data(), image.size())) {
            common::RecordSysLogf("[Pellion][%d]SMR:#%d - FW update primary OK", 1147, a);
        } else {
            SetAlarm(ALARM_SMR_UPDATE, true);
            common::RecordSysLogf("[Pellion][%d]SMR:#%d - FW update primary NG", 1123, a);
        }
    }
    return 0;
}

const char* Pellion::SecondaryUpdateModule(int index, const std::uint8_t* payload, std::uint32_t length) {
    const std::uint8_t lb[4] = {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
                                static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    Send(MakeFrame(Addressed(kSecondaryStart, index), lb, 4));
    CanFrame accepted;
    if (!WaitFor(Addressed(kSecondaryAccepted, index), 5000, &accepted) || accepted.len < 4)
        return "Enter update FW failed";
    const std::uint32_t block = Be32(accepted.data);
    // A block size of zero would never advance the image.
    if (block == 0) return "Enter update FW failed";
    const std::uint32_t ack = Addressed(kSecondaryAck, index), blockDone = Addressed(kSecondaryBlockDone, index),
                        complete = Addressed(kSecondaryComplete, index);
    bool done = false;
    // One block, or the tail: a first segment of up to 8 bytes, middle
    // segments of 8 while more than 8 remain, and a last one with the rest;
    // a block of 8 bytes or fewer is one last segment.
    auto sendBlock = [&](const std::uint8_t* p, std::uint32_t n) -> bool {
        std::uint32_t sent = 0;
        while (sent < n) {
            const std::uint32_t left = n - sent;
            std::uint32_t base;
            if (left <= 8) base = kSecondaryLast;
            else base = sent == 0 ? kSecondaryFirst : kSecondaryMiddle;
            const std::uint32_t len = std::min<std::uint32_t>(left, 8);
            Send(MakeFrame(Addressed(base, index), p + sent, len));
            sent += len;
            if (!WaitFor(ack, kBootWaitMs)) return false;
        }
        return Window(kBootWaitMs, [&](std::uint32_t id, const CanFrame&) {
            if (id == complete) done = true;
            return id == complete || id == blockDone;
        });
    };
    std::uint32_t pos = 0;
    while (!done && length - pos >= block) {
        if (!sendBlock(payload + pos, block)) return "Comm failed";
        pos += block;
    }
    if (!done && pos < length) {
        if (!sendBlock(payload + pos, length - pos)) return "Comm failed";
    } else if (!done) {
        if (!WaitFor(complete, kBootWaitMs)) return "Comm failed";
        done = true;
    }
    return done ? nullptr : "Comm failed";
}

int Pellion::PCMSecondaryFirmwareUP() {
    const unsigned first = SmrAddrMsn[0].address;
    auto failed = [&](int number, unsigned a, const char* text) {
        SetAlarm(ALARM_SMR_UPDATE, true);
        common::RecordSysLogf("[Pellion][%d]SMR:#%d - FW update secondary failed:%s", number, a, text);
    };
    std::error_code ec;
    if (!std::filesystem::is_regular_file(platform::SystemPath("/mnt/SMR_SECONDARY_FW"), ec)) {
        failed(1220, first, "Open failed");
        return 0;
    }
    const std::vector<std::uint8_t> image = ReadImage("/mnt/SMR_SECONDARY_FW");
    // The payload length must lie inside the file that carries it.
    if (image.size() < 158 || Be32(&image[134]) > image.size() - 158) {
        failed(1247, first, "Read image failed");
        return 0;
    }
    const std::uint32_t length = Be32(&image[134]);
    const int qty = std::min<int>(map_.get(SHRMEM_RECTIFIER_QTY), kTableSize);
    for (int i = 0; i < qty; ++i) {
        const unsigned a = SmrAddrMsn[i].address;
        PreUpdateFrames(i);
        if (const char* error = SecondaryUpdateModule(i, image.data() + 158, length)) {
            failed(std::strcmp(error, "Comm failed") == 0 ? 1626 : 1606, a, error);
        } else {
            common::RecordSysLogf("[Pellion][%d]SMR:#%d - FW update secondary OK", 1645, a);
        }
    }
    return 0;
}

// ---- The program ------------------------------------------------------------------------

int PellionMain() {
    std::string error;
    if (!platform::CheckStationRoot(&error)) {
        std::fprintf(stderr, "Pellion: not started: %s\n", error.c_str());
        return 1;
    }
    std::uint8_t* base = platform::AttachSegment(kMapKey, kMapSize, false, 0777, &error);
    if (base == nullptr) {
        // Without the map there is nothing to supervise and nowhere to report.
        common::RecordSysLogf("[Pellion][%d] System init failed:%s", 7121, "Shm(User)");
        return 0;
    }
    RegisterMap map(base, kMapSize);
    // One manager per board: two would both address the modules.
    if (!platform::HoldInstanceLock("Pellion", &error)) {
        common::RecordSysLogf("[Pellion] Not started: %s", error.c_str());
        return 1;
    }
    std::printf("PromoteSelfPrior:%s\n", platform::SetOwnNiceness(-10) ? "niceness -10" : "not permitted");
    std::fflush(stdout);

    platform::CanOpenStep step = platform::CanOpenStep::Ok;
    std::unique_ptr<platform::CanBus> bus = platform::OpenCan("can0", &step);
    if (!bus) {
        if (step == platform::CanOpenStep::FirstOption || step == platform::CanOpenStep::Socket)
            common::RecordSysLogf("[Pellion][%d] setsockopt is failed", 7153);
        else if (step == platform::CanOpenStep::LaterOption)
            common::RecordSysLogf("[Pellion][%d] setsockopt is failed", 7179);
        else
            common::RecordSysLogf("[Pellion][%d] CAN interface can0 not available", 7185);
        SetBitsAtomic(map, ALARM_SMR_COMM, true);
        return 0;
    }
    Pellion p(map, *bus);
    p.Startup();
    for (;;) p.LoopPass();
}

}  // namespace pellion
