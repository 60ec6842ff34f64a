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

class CanIo {
public:
    // `d1` reads the vehicle's d1 signal (`GetD1D2(1)`).
    CanIo(regmap::RegisterMap map, platform::CanBus& bus, SessionLog& log, std::function<int()> d1);

    // One pass of the I/O loop: send when due, supervise, take one frame.
    void Pass();

private:
    void Send();
    void Receive(const platform::CanFrame& f);

    regmap::RegisterMap map_;
    platform::CanBus& bus_;
    SessionLog& log_;
    std::function<int()> d1_;
    std::int64_t lastVehicleFrame_, lastSend_;
};

}  // namespace chademo
