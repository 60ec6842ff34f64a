// Halvard's start-up and the samplers that run between board-link exchanges.
#pragma once

#include <cstdint>

#include "adc.h"
#include "regmap.h"
#include "timeutil.h"

namespace supervisor {

inline constexpr std::uint32_t kFirmwareVersion = 0x010C0302;
inline constexpr int defEVSEmodelMaxCur = 60;  // A
inline constexpr std::int64_t kClockValidAfter = 1356998400;  // 2013-01-01 00:00:00 UTC
inline constexpr unsigned long kAdcConfigRequest = 0x40104102;

// Plug temperature: a six-sample sum for the map and a three-zone filter that
// raises the connector sensor and over-temperature alarms.
class PlugTemperature {
public:
    enum Zone : std::uint8_t { kNormal = 0, kOverTemperature = 1, kSensorFault = 2 };

    void Reset() { *this = PlugTemperature{}; }
    // Takes one raw ADC sample.
    void Sample(regmap::RegisterMap& map, std::int32_t raw);
    Zone zone() const { return zone_; }
    int counter() const { return counter_; }

private:
    std::uint16_t sum_ = 0;
    int count_ = 0;
    Zone zone_ = kNormal;
    int counter_ = 0;
};

// Everything the running supervisor keeps between passes.
struct Supervisor {
    regmap::RegisterMap map;
    platform::Adc* adc = nullptr;
    int line = -1;                 // board-link descriptor
    PlugTemperature temperature;
    common::TimeStamp lastSample;
};

// Runs the start-up, from the GPIO set-up to entering the loop (the map is
// already attached). `adc` stays owned by the caller.
void StartUp(Supervisor& s, platform::Adc& adc);

// One pass of the loop: a temperature sample when due, then one board-link exchange.
void LoopPass(Supervisor& s);

// Samples the ADC if more than 9 s have passed since the last sample.
void SampleTemperatureIfDue(Supervisor& s);

// 1 = disconnected or unknown, 0 = connected: five equal readings of the
// proximity input within 3 s.
int ProxiDisconn();

// Fills the eth0 MAC text, address, mask and gateway; always returns 0.
int GetEth0Info(regmap::RegisterMap& map);

// Copies the current local hour's rate entry to 261-262 and returns it / 10.
float GetRateOfHour(regmap::RegisterMap& map);

// Plug temperature conversion of a raw sample, as stored in the sum.
std::uint16_t ConvertPlugTemperature(std::int32_t raw);

}  // namespace supervisor
