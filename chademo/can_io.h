// Corvane's CAN input and output on can1: the one process of a session that
// touches the vehicle's bus. It copies every vehicle frame into the frame
// mirror of the register map and sends the charger frames 0x108, 0x109 and
// 0x118 from it, supervises the vehicle's frames and follows the vehicle's
// current request into the set-point mailbox.
#pragma once

#include <cstdint>
#include <functional>

#include "can.h"
#include "regmap.h"
#include "session_log.h"

namespace chademo {

inline constexpr std::int64_t kSendPeriodMs = 91;       // sent when more than this has passed
inline constexpr std::int64_t kCanTimeoutMs = 1000;     // vehicle silent while d1 is on
inline constexpr std::int64_t kFrameLossMs = 1100;
inline constexpr std::int64_t kFrameLossStoppingMs = 150;
inline constexpr std::int64_t kStartSettleMs = 200;     // after the third vehicle frame
inline constexpr std::int64_t kLateSendMs = 300;        // a charger frame this late is logged
inline constexpr std::int64_t kModulesCheckMs = 100;    // how often the module manager's life is checked
inline constexpr int kCan1TimeoutUs = 1000;             // read and send time-out of can1

class CanIo {
public:
    // `d1` reads the vehicle's d1 signal (`GetD1D2(1)`); `modulesAlive`, when
    // given, tells whether the power-module manager runs: while it does not,
    // the modules' reports in the map are stale and the power-module
    // communication alarm stands, which stops a charge as a charger fault.
    CanIo(regmap::RegisterMap map, platform::CanBus& bus, SessionLog& log, std::function<int()> d1,
          std::function<bool()> modulesAlive = nullptr);

    // One pass of the I/O loop: send when due, supervise, take one frame.
    void Pass();

private:
    void Send();
    void Receive(const platform::CanFrame& f);

    regmap::RegisterMap map_;
    platform::CanBus& bus_;
    SessionLog& log_;
    std::function<int()> d1_;
    std::function<bool()> modulesAlive_;
    std::int64_t lastVehicleFrame_, lastSend_, lastModulesCheck_;
    bool modulesLostLogged_ = false;
    bool writeFailed_ = false;   // for the rest of the session
    bool sending_ = false;       // the frames were due on the last pass
};

}  // namespace chademo
