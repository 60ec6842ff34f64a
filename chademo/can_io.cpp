#include "can_io.h"

#include <cstring>

#include "charger_frames.h"
#include "clock.h"
#include "regmap_chademo.h"
#include "syslog.h"

namespace chademo {

using namespace regmap;
using platform::CanFrame;

CanIo::CanIo(RegisterMap map, platform::CanBus& bus, SessionLog& log, std::function<int()> d1,
             std::function<bool()> modulesAlive)
    : map_(map), bus_(bus), log_(log), d1_(std::move(d1)), modulesAlive_(std::move(modulesAlive)) {
    lastVehicleFrame_ = lastSend_ = lastModulesCheck_ = platform::GetClock().MonotonicMs();
}

void CanIo::Send() {
    map_.bytes(CP108)[0] = 1;
    map_.set(SHRMEM_CHADEMO_PRESENT_VOLTAGE, static_cast<std::uint16_t>(map_.get(SHRMEM_GET_V1) / 10));
    map_.set(CP109_PRESENT_CURRENT, PresentCurrentByte(map_));
    auto frame = [&](std::uint32_t id, Bytes data) {
        CanFrame f{};
        f.can_id = id;
        f.len = 8;
        std::memcpy(f.data, map_.bytes(data), 8);
        if (!bus_.Write(f)) writeFailed_ = true;
    };
    frame(0x108, CP108);
    frame(0x109, CP109);
    map_.set(SHRMEM_CHADEMO_LOW_CURRENT, map_.get(CP109_PRESENT_CURRENT) < 6 ? 1 : 0);
    if (map_.get(EV102_PROTOCOL) > 1) {
        map_.bytes(mainb::CP118)[0] = 1;
        frame(0x118, mainb::CP118);
    }
    lastSend_ = platform::GetClock().MonotonicMs();
}

void CanIo::Pass() {
    auto& clock = platform::GetClock();
    const std::int64_t now = clock.MonotonicMs();
    const bool talking = map_.get(StartRecv) == 7;
    const std::uint8_t flags = map_.get(ChargerFlag);

    // The frames go first in a pass, before anything that could take time.
    const bool due = talking && (flags & kTimeLimitComputed) && (flags & kFramesComputed) &&
                     (!(flags & kFramesLost) || map_.get(SHRMEM_CHADEMO_STOPPING) == 1);
    if (due && now - lastSend_ > kSendPeriodMs) {
        const std::int64_t gap = now - lastSend_;
        Send();
        // A late frame is this process's own: it says so, so that a gap on
        // the bus can be told from a stall of the bus or of the vehicle.
        if (sending_ && gap > kLateSendMs)
            log_.Write(common::FormatLogText("[Corvane] Charger frames late: %lld ms since the last",
                                             static_cast<long long>(gap)));
    }
    sending_ = due;

    // A charger frame that did not leave, or a bus that hung up, is the same
    // fault as a silent vehicle: nothing of the exchange can be trusted.
    const bool busFault = talking && (writeFailed_ || bus_.Lost());
    if (busFault || (talking && now - lastVehicleFrame_ > kCanTimeoutMs && d1_ && d1_() == 1)) {
        SetBitsAtomic(map_, ALARM_CHADEMO_COMM, true);
        map_.set(SHRMEM_STOP_CHARGING, kStopCanTimeout);
        // One line per session, however long the silence lasts.
        if (!map_.get(CHADEMO_ALARM_CAN_TIMEOUT)) {
            SetBitsAtomic(map_, CHADEMO_ALARM_CAN_TIMEOUT, true);
            log_.systemLogHandle(13, 1871);
            log_.writeSysLog();
        }
    }

    if (modulesAlive_ && now - lastModulesCheck_ >= kModulesCheckMs) {
        lastModulesCheck_ = now;
        if (!modulesAlive_()) {
            SetBitsAtomic(map_, ALARM_SMR_COMM, true);
            if (!modulesLostLogged_) log_.Write("[Corvane] Pellion not running: the power modules' values are stale");
            modulesLostLogged_ = true;
        }
    }

    if (talking) {
        const std::int64_t limit = (flags & kStopping) ? kFrameLossStoppingMs : kFrameLossMs;
        if (now - lastVehicleFrame_ > limit) OrByteAtomic(map_, ChargerFlag, kFramesLost);
    }

    CanFrame f{};
    if (bus_.Read(f)) Receive(f);
    log_.Flush();
}

void CanIo::Receive(const CanFrame& f) {
    // Only standard data frames of the vehicle's length are its frames.
    if ((f.can_id & (platform::kCanExtendedFlag | platform::kCanRemoteFlag | platform::kCanErrorFlag)) || f.len != 8)
        return;
    auto& clock = platform::GetClock();
    switch (f.can_id & 0xFFF) {
    case 0x100:
        std::memcpy(map_.bytes(EV100), f.data, 8);
        if (map_.get(StartRecv) != 7) OrByteAtomic(map_, StartRecv, 0x01);
        break;
    case 0x101:
        std::memcpy(map_.bytes(EV101), f.data, 8);
        if (map_.get(StartRecv) != 7) OrByteAtomic(map_, StartRecv, 0x02);
        break;
    case 0x102: {
        std::memcpy(map_.bytes(EV102), f.data, 8);
        if (map_.get(StartRecv) != 7) {
            clock.SleepMs(kStartSettleMs);
            OrByteAtomic(map_, StartRecv, 0x04);
        }
        if (map_.get(ChargerFlag) & kFollowRequest) {
            map_.set(SHRMEM_SET_I1, CappedRequest(map_, f.data[3] * 10));
            map_.set(SHRMEM_SET_PENDING, 255);
        }
        OrByteAtomic(map_, SHRMEM_CHADEMO_EV_ALARM,
                     static_cast<std::uint8_t>(f.data[4] | ((f.data[5] & 0x06) << 4)));
        log_.trapAlarm29LogHandle(1970);
        break;
    }
    default:
        return;
    }
    lastVehicleFrame_ = clock.MonotonicMs();
}

}  // namespace chademo
