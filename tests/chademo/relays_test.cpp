// The output-relay handshake with a station controller that answers on the
// test clock, and the charger malfunction tests.
#include <gtest/gtest.h>

#include <vector>

#include "regmap_chademo.h"
#include "relays.h"
#include "stepped_clock.h"

namespace {

using namespace regmap;

struct RelayRig {
    RelayRig() : mem(kMapSize), map(mem.data(), mem.size()) {}
    // The controller answers `answer` once `afterMs` have passed since the
    // request, and again whenever it is asked anew.
    void Controller(std::uint32_t byte, std::uint8_t answer, std::int64_t afterMs) {
        clock.onSleep = [this, byte, answer, afterMs] {
            if (clock.ms >= afterMs && (map.get(U8{byte}) & 0x80)) {
                map.set(U8{byte}, answer);
                ++answers;
            }
        };
    }
    std::vector<std::uint8_t> mem;
    RegisterMap map;
    SteppedClock clock;
    platform::ScopedClock scoped{clock};
    int answers = 0;
};

TEST(ChademoRelays, AnswersGiveTheRelayStateAndItsAlarms) {
    struct Case {
        int state;
        std::int64_t answerAfterMs;
        std::uint8_t answer;
        int result;
        std::uint8_t alarm323, alarm324;  // relay 2's bits: 0xC0 of 323, 0x0C of 324
    };
    const Case cases[] = {
        {1, 300, 0x03, 1, 0x00, 0x00},    // closed as asked
        {1, 14900, 0x03, 1, 0x00, 0x00},  // late, but within the wait
        {1, 99999, 0, 0, 0x80, 0x08},     // never answered: drive error of both contacts
        {1, 300, 0x01, 0, 0x00, 0x08},    // negative contact never closed
        {0, 300, 0x00, 1, 0x00, 0x00},    // opened as asked
        {0, 300, 0x02, 0, 0x00, 0x04},    // negative contact welded
        {0, 300, 0x03, 0, 0x40, 0x04},    // both welded
        {0, 99999, 0, 0, 0x80, 0x08},     // an open request nobody answers is no success either
    };
    for (const Case& c : cases) {
        RelayRig r;
        // Alarms left from before are set and cleared by what this answer says.
        r.map.set(U8{323}, c.state == 1 ? 0x80 : 0x40);
        r.map.set(U8{324}, 0x01);  // relay 1's bit is never touched
        r.Controller(2783, c.answer, c.answerAfterMs);
        EXPECT_EQ(chademo::SetCHAdeMORelay(r.map, c.state), c.result) << c.state << " " << int(c.answer);
        const bool answered = c.answerAfterMs < chademo::kRelayWaitMs;
        EXPECT_EQ(r.map.get(U8{323}) & 0xC0, c.alarm323 | (!answered && c.state == 0 ? 0x40 : 0))
            << c.state << " " << int(c.answer);
        EXPECT_EQ(r.map.get(U8{324}) & 0x0E, c.alarm324) << c.state << " " << int(c.answer);
        EXPECT_EQ(r.map.get(U8{324}) & 0x01, 0x01);
        EXPECT_LE(r.clock.ms, chademo::kRelayWaitMs + chademo::kRelayPollMs);
        if (c.answer != (c.state == 1 ? 3 : 0) && answered) { EXPECT_GT(r.answers, 1) << "asked again"; }
    }
}

TEST(ChademoRelays, EachRelayHasItsOwnByteAndAlarms) {
    RelayRig r;
    r.Controller(2782, 0x00, 100);
    EXPECT_EQ(chademo::SetCCSRelay(r.map, 1), 0);
    EXPECT_EQ(r.map.get(U8{323}), 0x20);
    EXPECT_EQ(r.map.get(U8{324}), 0x02);
    EXPECT_EQ(r.map.get(U8{2783}), 0);
    EXPECT_EQ(chademo::SetCCSRelay(r.map, 7), 0);
    EXPECT_FALSE(chademo::SetRelay(r.map, 4, 1).has_value());
    EXPECT_EQ(r.map.get(U8{2785}), 0);
}

TEST(ChademoMalfunction, AlarmsBecomeFlagsAndStatusBits) {
    struct Case {
        bool v2;
        std::vector<Bits> alarms;
        int result;
        std::uint32_t flags;
        std::uint8_t status;
    };
    const Case cases[] = {
        {false, {}, 0, 0, 0},
        {false, {{315, 0x80}}, 1, 0x0041, 0x12},
        {false, {{314, 0x10}}, 1, 0x4002, 0x02},
        {false, {{324, 0x04}, {313, 0x20}}, 1, 0x1010, 0},
        {false, {{412, 0x08}}, 0, 0, 0},  // the 0.9 test does not read the button
        {false, {{312, 0x40}}, 1, 0x8000, 0},  // the modules' manager gone: no charge on 0.9 either
        {true, {}, 0, 0, 0},
        {true, {{412, 0x08}}, 1, 0x0400, 0x02},
        {true, {{315, 0x80}, {412, 0x08}}, 1, 0x0001, 0x10},
        {true, {{341, 0x80}}, 1, 0x0004, 0x10},
        {true, {{312, 0x40}, {343, 0x40}}, 1, 0x0140, 0x02},
        {true, {{316, 0x10}}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        RelayRig r;
        for (Bits b : c.alarms) r.map.set(b, true);
        std::uint32_t flags = 0xFFFF;
        const int result = c.v2 ? chademo::V2_ChargerMalfun(r.map, flags) : chademo::ChargerMalfun(r.map, flags);
        EXPECT_EQ(result, c.result) << c.v2 << " " << c.flags;
        EXPECT_EQ(flags, c.flags) << c.v2;
        EXPECT_EQ(r.map.get(CP109_STATUS), c.status) << c.v2 << " " << c.flags;
    }
}

}  // namespace
