// Pellion: the power-module manager of the main board. It addresses the
// rectifier modules on can0, keeps their parameter block current, applies the
// output set-point mailbox, reads their measurements and status into the
// register map, and updates their firmware when asked.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "can.h"
#include "regmap.h"

namespace pellion {

struct SmrEntry {
    std::uint8_t state = 0;    // 0 empty, 1 found, 2 addressed, 3 downloaded, 4 operational
    std::uint8_t address = 0;  // 1-4
    std::uint8_t serial[8] = {};
};

inline constexpr int kTableSize = 4;
inline constexpr int kMaxStatusReads = 5;      // status-object reads after a serious fault
inline constexpr int kMaxDownloads = 3;        // parameter downloads per entry and run
inline constexpr std::size_t kMaxImage = 1048576;

class Pellion {
public:
    Pellion(regmap::RegisterMap map, platform::CanBus& bus);

    // Start-up after the socket is open: clears the measured values and the
    // mailbox, announces to the modules and sets the loop timers.
    void Startup();
    // One pass of the polling loop.
    void LoopPass();

    // Address assignment and go-operational, as steps of the loop: a module
    // asking for an address starts a run; each pass moves it on. Each returns
    // -1 while under way, else its result (modules addressed, or 1 when all
    // are operational; 0 on failure).
    void StartAssignment();
    int SmrIdAssign();
    int SmrGoOpState();
    bool Assigning() const { return run_.step != AssignStep::Idle; }

    // Commands and requests; index -1 is a broadcast where the command allows it.
    void SwitchPCM(int index, int code);
    void ReleasePCM(int index);
    void EnergyON(int index);
    void ModuleConnection(int index);
    void ResetPCM(int index);
    void CalculateAvaliableCurrent(int index);
    void SetOutputVoltByPercentage(int index);
    // The set-point frame for the given voltage (0.1 V) and current (0.1 A).
    void SendSetPoint(int index, std::uint32_t setV, std::uint32_t setI);
    void SetOutputVolt(int index);
    void SetFanRPM(int index);
    void SetMaxFanRPM(int index, unsigned value, std::uint16_t word);
    void GetAvaliableCurrent(int index);
    void GetInputI(int index);
    int GetOutputPower(int index);
    void ReadRequest(int index, unsigned command);

    // Object access.
    int GetGroup21(int index);
    int GetFanSpeed(int index);
    int GetVersion(int index);
    int GetGroup1(int index);
    int GetGroup2(int index);
    int GetGroup3(int index);
    int GetSmrBootLoaderAckFlag(int index);

    // Firmware updates of every addressed module.
    int PCMPrimaryFirmwareUP();
    int PCMSecondaryFirmwareUP();

    // Frame handlers of the loop's receive step.
    void Dispatch(const platform::CanFrame& frame);

    // State, visible to tests.
    SmrEntry SmrAddrMsn[kTableSize];
    std::uint32_t PresentModule = 0;
    int PCMOnOff = 1;
    int NodeLifeTime = 30;
    std::uint16_t TotalOutputCurrent[2] = {};
    std::uint32_t TotalAvaliableCurrent[2] = {};
    std::uint32_t TotalAvaliablePower[2] = {};
    std::uint8_t smrOKflag = 0;
    bool operational = false;
    // Whether a CHAdeMO session process lives; by default its instance lock.
    std::function<bool()> chademoAlive;

private:
    bool Operational(int index) const;
    // The table index of an operational module at `address`, or -1.
    int EntryOfAddress(unsigned address) const;
    std::uint32_t Addressed(std::uint32_t base, int index) const;
    // False when the frame did not leave: the bus is at fault.
    bool Send(const platform::CanFrame& f);
    void BusFault();
    void BusBack();
    void WatchChademo();
    void ServeStop();
    void Pause(std::int64_t ms);
    void FanCommand();
    bool Recv(platform::CanFrame& f);
    // Reads frames for up to `ms`; stops early when `take` returns true.
    // Frames it does not take are held for the loop's receive step.
    bool Window(std::int64_t ms, const std::function<bool(std::uint32_t, const platform::CanFrame&)>& take);
    bool WaitFor(std::uint32_t id, std::int64_t ms, platform::CanFrame* got = nullptr);
    std::int64_t NowMs() const;
    std::int64_t NowS() const { return NowMs() / 1000; }
    void SetAlarm(regmap::Bits bit, bool on);
    bool Alarm(regmap::Bits bit) const { return map_.get(bit); }

    void ResetTable();
    enum class AssignStep { Idle, Settle, Word0, Word1, Word2, Word3, Answer, NextWord0, GoOpNext, Crc, Accept, Segment };
    struct AssignmentRun {
        AssignStep step = AssignStep::Idle;
        std::int64_t until = 0;          // end of the present window, ms
        int found = 0, assigned = 0, qty = 0;
        std::uint8_t serial[8] = {};
        std::uint16_t lowest = 0xFFFF;
        SmrEntry table[kTableSize];      // the table being built
        int entry = 0, downloads = 0, segment = 0;
        std::int64_t crcFrom = 0;
    };
    void AssignmentStep();
    bool AssignmentFrame(const platform::CanFrame& f);
    void OpenWindow(AssignStep step, std::uint32_t request);
    void PutWord(int word, std::uint16_t w);
    void CrcCheck();
    int NextGoOpEntry();
    void SendSegment();
    void SegmentDone();
    bool GoOpFrame(const platform::CanFrame& f);
    void AssignmentDone();
    void AssignmentFailed();
    void Acknowledge(const platform::CanFrame& f);
    void DecodeReply(const platform::CanFrame& f);
    void DecodeStatusReport(const platform::CanFrame& f);
    void StoreOutputVoltage(unsigned address, std::uint16_t raw);
    void StoreOutputCurrent(unsigned address, std::uint16_t raw);
    int ObjectOpen(int index);
    bool ObjectRead(int index, std::uint8_t group, std::uint8_t object, std::int64_t waitMs, std::uint8_t* value);
    int ObjectClose(int index);
    // Reads the objects of one group, each waited for up to 60 s; `use` sees
    // every answered value.
    int ReadGroup(int index, std::uint8_t group, std::initializer_list<std::uint8_t> objects,
                  const std::function<void(std::uint8_t, const std::uint8_t*)>& use);
    void PreUpdateFrames(int index);
    bool PrimaryUpdateModule(int index, const std::uint8_t* image, std::size_t size);
    const char* SecondaryUpdateModule(int index, const std::uint8_t* payload, std::uint32_t length);
    bool StepUntil(int index, std::uint8_t step, int state);

    regmap::RegisterMap map_;
    platform::CanBus& bus_;
    std::int64_t startS_ = 0, lastHeartbeat_ = 0, lastAck_ = 0, lastTemp_ = 0, lastInput_ = 0, lastRefresh_ = 0,
                 lastFan_ = 0;
    std::int64_t startMs_ = 0, lastAvailMs_ = 0;
    bool ackFlag_[2] = {}, reportedFlag_[2] = {};
    bool hardwareFault_[kTableSize] = {};  // per module: what keeps 313.0x01 raised
    int pendingOnOff_ = -1;       // an on/off code the modules have not been sent yet
    bool busFault_ = false, busFaultAlarm_ = false;
    bool chademoWasAlive_ = false;
    std::int64_t fanPostedAt_ = -1;   // when the fan command's set-point was posted
    AssignmentRun run_;
    // Frames that came during a wait for another (an address request, a
    // status report, an acknowledge), oldest first, for the loop to handle.
    std::deque<platform::CanFrame> held_;
    bool updating_ = false;   // a firmware update holds the modules forced off
};

// The program: attach the map, raise the priority, open can0, start, loop.
int PellionMain();

}  // namespace pellion
