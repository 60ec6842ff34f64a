// One CHAdeMO session of Corvane: start-up, plug-in, the wait for the
// vehicle's three frames, the protocol-0.9 or 1.x start-up handshake
// (permission, insulation test, vehicle contactor, first current request),
// the charging loop and the end steps, down to the final end that leaves the
// bus down, the connector unlocked, the relays open and no child running.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "can.h"
#include "command.h"
#include "regmap.h"
#include "session_log.h"
#include "signals.h"
#include "steps.h"

namespace chademo {

inline constexpr std::int64_t kFrameWaitMs = 6200;       // plug-in to all three vehicle frames
inline constexpr std::int64_t kFramesStopWaitMs = 20000;  // vehicle still sending after the end
inline constexpr std::int64_t kSilenceDrainMs = 5000, kSilenceWindowMs = 6000;
inline constexpr std::int64_t kPermissionWaitMs09 = 13000, kPermissionWaitMs1x = 8000;
inline constexpr std::int64_t kDischargeWaitMs = 40000;
inline constexpr std::int64_t kContactorWaitMs09 = 13000, kCurrentRequestWaitMs09 = 11000;
inline constexpr std::int64_t kContactorWaitMs1x = 4000, kCurrentRequestWaitMs1x = 4000;
// The output current falling after the charge: no answer within this long
// is taken as fallen, so a stuck meter cannot hold the session for ever.
inline constexpr std::int64_t kCurrentFallWaitMs = 10000;
// A vehicle keeping its permission after the ramp-down.
inline constexpr std::int64_t kPermissionReleaseWaitMs = 20000;
inline constexpr std::int64_t kWaitPauseMs = 1;
// Present output voltage (0.1 V) at or below which the connector may be unlocked.
inline constexpr int kUnlockVoltage = 100;

// Runs "/sbin/ip link set can1 <args>".
void SetCan1(platform::CommandRunner& runner, const std::string& args);

enum class Path { None, V09, V1x };

struct SessionPorts {
    regmap::RegisterMap map;
    SessionLog& log;
    VehicleSignals& signals;
    platform::CanBus& bus;              // read only after the CAN I/O process has ended
    platform::CommandRunner& runner;
    std::function<pid_t()> startCanIo;  // the CAN I/O process; -1 when it cannot start
    // The frame-computation and charging-time processes; -1 when they cannot start.
    std::function<pid_t()> startFrames = nullptr;
    std::function<pid_t()> startTime = nullptr;
};

class Session {
public:
    explicit Session(SessionPorts p) : p_(std::move(p)), s_{p_.map, p_.log, p_.signals} {}

    // The whole session, up to the final end. The path the vehicle chose, or
    // None when it ended before the choice.
    Path Run();

    void Startup();
    // False when the CAN I/O process could not be started.
    bool StartCanIo();
    void PlugIn();
    // The vehicle-frame wait and what follows it: the path, or None after an end.
    Path AwaitVehicleFrames();
    void RunV09();
    void RunV1x();
    void FinalEnd();

private:
    bool StartStopCondition();
    void StopOnFrames(unsigned number);
    void KillChildren();
    void PlugOut();
    bool NoCanFrames();
    void DrainCan();
    bool StartComputations();
    bool Stop09();
    void Stop09End();
    bool HoldStop1x();
    bool VehicleStop();
    bool VehicleStopIsNoPermission();
    bool StationStop();
    void VoltageSetPoint(const char* path, unsigned lowNumber, unsigned highNumber);
    // Waits while the output current is above 5.9 A, bounded.
    void AwaitCurrentFall();
    // The end steps, each continuing with the next of its chain.
    void RampDown09();
    void End09();
    void ContactorOpenEnd();
    void SignalOffEnd();
    void VoltageDecayEnd();
    void VehicleReleaseEnd();
    void Unlock();

    SessionPorts p_;
    StepPorts s_;
    pid_t canIoPid_ = 0, framesPid_ = 0, timePid_ = 0;
    std::int64_t sessionStamp_ = 0;
    bool earlyPermission_ = false;
};

// `CH_SUB_10`: after a failed 0.9 insulation test, 2 while energising (the
// ramp-down first), else d1 off and 1.
int CH_SUB_10(StepPorts& s);
// `V2_CH_SUB_10` and `V2_CH_SUB_11`: the first end step after a failed 1.x
// insulation test: 1 final, 2 vehicle release, 3 voltage decay, 4 or 65
// contactor open, 5 signal off.
int V2_CH_SUB_10(StepPorts& s);
int V2_CH_SUB_11(StepPorts& s);

}  // namespace chademo
