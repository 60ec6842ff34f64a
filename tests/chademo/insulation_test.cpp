// The insulation-test step of both protocol paths against a station
// controller that answers on the test clock and a vehicle that changes its
// mind on it.
#include <gtest/gtest.h>

#include "insulation.h"
#include "regmap_fields.h"
#include "step_rig.h"

namespace {

using namespace regmap;
using chademo::SHRMEM_CHADEMO_INSULATION_TEST;

struct Case {
    const char* name;
    bool v2;
    std::function<void(StepRig&)> setup;
    int result;
    std::uint8_t statusSet;     // bits that must be set in 0x109 byte 5
    std::uint8_t statusClear;   // bits that must be clear
    const char* number;         // the coded line, or "" for none
    Bits alarm;                 // raised, or {0, 0}
    std::uint16_t voltageSetPoint = 0;  // what the step leaves, from 4000
    bool d1 = true;             // d1 still on
};

// The controller answers a request it sees once `ms` have passed.
void Answer(StepRig& r, std::int64_t ms, std::uint8_t answer) {
    r.every = [&r, ms, answer] {
        if (r.clock.ms >= ms && r.map.get(SHRMEM_CHADEMO_INSULATION_TEST) == 1)
            r.map.set(SHRMEM_CHADEMO_INSULATION_TEST, answer);
    };
}

TEST(ChademoInsulation, TheStepStopsForEveryReasonAndPassesOnlyOnTheAnswer) {
    const Bits none{0, 0};
    const Case cases[] = {
        {"0.9 passed late", false, [](StepRig& r) { Answer(r, 34900, 3); }, 1, 0x04, 0x22, "", none},
        {"1.x passed", true, [](StepRig& r) { Answer(r, 300, 3); }, 1, 0x04, 0x22, "", none},
        {"0.9 answer 4", false, [](StepRig& r) { Answer(r, 300, 4); }, 0, 0x26, 0, "", none},
        {"1.x answer 4", true, [](StepRig& r) { Answer(r, 300, 4); }, 0, 0x22, 0x04, "", none, 0, false},
        {"0.9 no answer", false, [](StepRig&) {}, 0, 0x22, 0, "[00681]", {21517, 0x08}},
        {"1.x answer too late", true, [](StepRig& r) { Answer(r, 26000, 3); }, 0, 0x22, 0x04, "[00983]",
         {21517, 0x08}, 0, false},
        {"0.9 live output 11.0 V", false, [](StepRig& r) { r.map.set(SHRMEM_GET_V1, 110); }, 0, 0x10, 0x04,
         "[00608]", {21519, 0x04}, 4000},
        {"0.9 output 10.9 V passes", false,
         [](StepRig& r) {
             r.map.set(SHRMEM_GET_V1, 109);
             Answer(r, 50, 3);
         },
         1, 0x04, 0, "", none},
        {"1.x live output", true, [](StepRig& r) { r.map.set(SHRMEM_GET_V1, 110); }, 0, 0x30, 0x04, "[00802]",
         {21519, 0x04}, 0, false},
        {"0.9 no permission", false, [](StepRig& r) { r.permission = false; }, 0, 0x20, 0x04, "[00629]",
         {340, 0x20}},
        {"1.x no permission", true, [](StepRig& r) { r.permission = false; }, 0, 0x20, 0x04, "[00855]",
         {340, 0x20}, 0, false},
        {"0.9 lock fails", false, [](StepRig& r) { r.lockWorks = false; }, 0, 0x22, 0x04, "", {341, 0x80}},
        {"1.x lock fails", true, [](StepRig& r) { r.lockWorks = false; }, 0, 0x22, 0x04, "", {341, 0x80}, 0,
         false},
        {"0.9 vehicle disables charging", false,
         [](StepRig& r) { r.At(1000, [&r] { r.map.set(EV102_STATUS, 0); }); }, 0, 0x24, 0, "[00709]", {340, 0x20},
         0, false},
        {"1.x vehicle asks a normal stop", true,
         [](StepRig& r) { r.At(1000, [&r] { r.map.set(EV102_STATUS, 0x11); }); }, 0, 0x20, 0, "[01005]",
         {340, 0x20}, 0, false},
        {"0.9 lock released", false, [](StepRig& r) { r.At(1000, [&r] { r.lockWorks = false; }); }, 0, 0x26, 0,
         "", {341, 0x80}, 4000},
        {"1.x lock released", true, [](StepRig& r) { r.At(1000, [&r] { r.lockWorks = false; }); }, 0, 0x22, 0x04,
         "", {341, 0x80}, 4000, false},
        {"0.9 emergency button", false, [](StepRig& r) { r.At(1000, [&r] { r.map.set(SHRMEM_STOP_BUTTON, 8); }); },
         0, 0x26, 0, "", none},
        {"1.x battery incompatible before the lock", true,
         [](StepRig& r) { r.map.set(CP109_STATUS, kCpSystemMalfunction); }, 0, 0x10, 0x04, "", none},
        {"1.x external stop", true, [](StepRig& r) { r.At(1000, [&r] { r.map.set(SHRMEM_STOP_CHARGING, 6); }); },
         0, 0x20, 0, "", none, 0, false},
    };
    for (const Case& c : cases) {
        StepRig r;
        r.map.set(SHRMEM_SET_V1, 4000);
        r.map.set(SHRMEM_SET_I1, 100);
        r.signals.SwitchD1D2(1, 1);
        c.setup(r);
        const int result = c.v2 ? chademo::V2_CH_SUB_03(r.ports) : chademo::CH_SUB_03(r.ports);
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(r.Status() & c.statusSet, c.statusSet) << c.name << " " << int(r.Status());
        EXPECT_EQ(r.Status() & c.statusClear, 0) << c.name << " " << int(r.Status());
        EXPECT_EQ(r.map.get(SHRMEM_SET_V1), c.voltageSetPoint) << c.name;
        const std::string log = r.Log();
        if (*c.number) { EXPECT_NE(log.find(c.number), std::string::npos) << c.name << log; }
        if (c.result == 1 || std::string(c.name).find("answer 4") != std::string::npos) {
            EXPECT_EQ(log.find("[Corvane]"), std::string::npos) << c.name << log;
        }
        if (c.alarm.mask) { EXPECT_TRUE(r.map.get(c.alarm)) << c.name; }
        EXPECT_EQ(r.Out(chademo::kGpioD1), c.d1 ? '1' : '0') << c.name;
        // The controller is asked only with the connector locked.
        if (r.map.get(SHRMEM_CHADEMO_INSULATION_TEST) != 0) { EXPECT_EQ(r.Out(chademo::kGpioLock), '1') << c.name; }
        if (std::string(c.name).find("lock fails") != std::string::npos) {
            EXPECT_EQ(r.map.get(SHRMEM_CHADEMO_INSULATION_TEST), 0) << c.name;
        }
        if (c.result == 1) { EXPECT_EQ(r.map.get(SHRMEM_SET_I1), 100) << c.name; }  // current left as asked
    }
}

}  // namespace
