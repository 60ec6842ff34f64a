// One CHAdeMO session of Corvane: start-up, plug-in, the wait for the
// vehicle's three frames, the choice of the protocol path and the final end
// that leaves the bus down, the connector unlocked and no child running.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "can.h"
#include "command.h"
#include "regmap.h"
#include "session_log.h"
#include "signals.h"

namespace chademo {

inline constexpr std::int64_t kFrameWaitMs = 6200;       // plug-in to all three vehicle frames
inline constexpr std::int64_t kFramesStopWaitMs = 20000;  // vehicle still sending after the end
inline constexpr std::int64_t kSilenceDrainMs = 5000, kSilenceWindowMs = 6000;

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
};

class Session {
public:
    explicit Session(SessionPorts p) : p_(std::move(p)) {}

    // The whole session, up to the final end. The path the vehicle chose, or
    // None when it ended before the choice.
    Path Run();

    void Startup();
    // False when the CAN I/O process could not be started.
    bool StartCanIo();
    void PlugIn();
    // The vehicle-frame wait and what follows it: the path, or None after an end.
    Path AwaitVehicleFrames();
    void FinalEnd();

private:
    bool StartStopCondition();
    void StopOnFrames(unsigned number);
    void ClearRemainingTime();
    void StatusBit(std::uint8_t bit, bool on);
    void KillChildren();
    void PlugOut();
    bool NoCanFrames();
    void DrainCan();

    SessionPorts p_;
    pid_t canIoPid_ = 0;
    std::int64_t sessionStamp_ = 0;
    bool earlyPermission_ = false;
};

}  // namespace chademo
