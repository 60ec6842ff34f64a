#include "charger_frames.h"

#include <algorithm>

#include "regmap_chademo.h"
#include "syslog.h"

namespace chademo {

using namespace regmap;

std::int64_t StationCurrentCap(const RegisterMap& map) {
    const std::int64_t rated = map.get(mainb::SHRMEM_MAX_OUTPUT_CURRENT);
    const std::int64_t profile = map.get(SHRMEM_OCPP_CURRENT_LIMIT);
    std::int64_t cap = (profile >= 0 && profile < rated) ? profile : rated;
    cap = std::min<std::int64_t>(cap, map.get(SHRMEM_SMR_AVAIL_CURRENT));
    return std::clamp<std::int64_t>(cap, 0, kCurrentCeiling);
}

std::uint16_t CappedRequest(const RegisterMap& map, std::int64_t tenths) {
    const std::int64_t cap = std::min<std::int64_t>(map.get(CP108_AVAILABLE_CURRENT), StationCurrentCap(map));
    return static_cast<std::uint16_t>(std::clamp<std::int64_t>(tenths, 0, cap * 10));
}

std::uint8_t PresentCurrentByte(const RegisterMap& map) {
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(map.get(SHRMEM_GET_I1) / 10, 255));
}

std::int64_t StationPower(const RegisterMap& map) {
    const std::int64_t available = map.get(SHRMEM_AVAILABLE_POWER);
    const std::int64_t profile = map.get(SHRMEM_OCPP_POWER_LIMIT);
    return (profile >= 0 && profile < available) ? profile : available;
}

void ChargerFrames::FramePass() {
    const std::int64_t cap = StationCurrentCap(map_);
    const std::int64_t power = StationPower(map_);
    const std::int64_t target = map_.get(EV102_TARGET_VOLTAGE);
    const std::int64_t batteryMax = map_.get(EV100_MAX_BATTERY_VOLTAGE);

    // The available voltage is the station's constant: a line of this pass
    // already reports it.
    map_.set(CP108_AVAILABLE_VOLTAGE, static_cast<std::uint16_t>(kRatedVoltage));
    // A target the battery or the station cannot take: told to the vehicle,
    // d1 off on every pass, the line once per session.
    auto refuse = [&](std::uint8_t status, Bits alarm, unsigned code, unsigned number) {
        OrByteAtomic(map_, CP109_STATUS, status);
        if (d1Off_) d1Off_();
        if (map_.get(alarm)) return;
        SetBitsAtomic(map_, alarm, true);
        log_.systemLogHandle(code, number);
        log_.writeSysLog();
    };
    if (target > batteryMax) refuse(kCpSystemMalfunction, CHADEMO_ALARM_OVER_BATTERY_MAX, 10, 476);
    if (target > kRatedVoltage) refuse(kCpBatteryIncompatible, ALARM_CHADEMO_BATTERY_INCOMPATIBLE, 1, 489);
    if (batteryMax != 0) map_.set(LIMIT_VOLT, static_cast<std::int32_t>(std::min(batteryMax, kRatedVoltage)));
    // The available current in signed arithmetic, clamped to what the station
    // may give: a negative limit never turns into a large unsigned one.
    std::int64_t current = map_.get(LIMIT_I);
    if (target != 0) current = power / std::min(kRatedVoltage, target);
    current = std::clamp<std::int64_t>(current, 0, cap);
    map_.set(LIMIT_I, static_cast<std::int32_t>(current));

    std::uint8_t* cp108 = map_.bytes(CP108);
    const auto limitVolt = static_cast<std::uint16_t>(map_.get(LIMIT_VOLT));
    cp108[0] = 1;
    cp108[1] = kRatedVoltage & 0xFF, cp108[2] = kRatedVoltage >> 8;
    cp108[3] = static_cast<std::uint8_t>(current);
    cp108[4] = static_cast<std::uint8_t>(limitVolt), cp108[5] = static_cast<std::uint8_t>(limitVolt >> 8);
    cp108[6] = 0, cp108[7] = 0;
    map_.set(CP109_PROTOCOL, map_.get(EV102_PROTOCOL) < 2 ? 1 : 2);
    map_.set(SHRMEM_CHADEMO_PRESENT_VOLTAGE, static_cast<std::uint16_t>(map_.get(SHRMEM_GET_V1) / 10));
    map_.set(CP109_PRESENT_CURRENT, PresentCurrentByte(map_));
    map_.bytes(CP109)[4] = 0;
    OrByteAtomic(map_, ChargerFlag, kFramesComputed);
}

void ChargerFrames::TimePass() {
    const std::int32_t station = map_.get(SHRMEM_MAX_CHARGE_TIME) * 60;
    const bool minutes = map_.get(EV101_TIME_10S) == 255;
    const std::int32_t vehicle = minutes ? map_.get(EV101_TIME_MIN) * 60 : map_.get(EV101_TIME_10S) * 10;
    const std::int32_t limit = std::min(vehicle, station);
    map_.set(LIMIT_TIME, limit);
    std::uint8_t* cp109 = map_.bytes(CP109);
    if (map_.get(ChargerFlag) & kLoopEnded) {
        cp109[6] = 0, cp109[7] = 0;
    } else if (minutes) {
        cp109[6] = 255, cp109[7] = static_cast<std::uint8_t>(limit / 60);
    } else {
        cp109[6] = static_cast<std::uint8_t>(limit / 10), cp109[7] = 0;
    }
    OrByteAtomic(map_, ChargerFlag, kTimeLimitComputed);
}

std::int64_t AvailableCurrent(const RegisterMap& map) {
    const std::int64_t cap = std::min<std::int64_t>(StationCurrentCap(map), map.get(SHRMEM_CURRENT_CAP));
    const std::int64_t divisor = std::min<std::int64_t>(kRatedVoltage, map.get(SHRMEM_CHADEMO_PRESENT_VOLTAGE) + 5);
    return std::clamp<std::int64_t>(StationPower(map) / divisor, 0, cap);
}

int ChangePowerRating(RegisterMap& map) {
    const std::int64_t current = AvailableCurrent(map);
    const std::int64_t old = map.get(CP108_AVAILABLE_CURRENT);
    if (current - old > 2 || old - current > 2)
        common::RecordSysLogf("[Corvane]ChangePowerRating:CP108[3]:%d -> New1083:%d Amp", static_cast<int>(old),
                              static_cast<int>(current));
    map.set(CP108_AVAILABLE_CURRENT, static_cast<std::uint8_t>(current));
    if (old > current) return 1;
    if (old < current) return 2;
    return 0;
}

}  // namespace chademo
