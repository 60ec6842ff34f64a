// The AC contactor handshake with a station controller that answers on the
// test clock, and the module bus going down before the request.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "clock.h"
#include "command.h"
#include "contactor.h"
#include "regmap_power.h"
#include "stepped_clock.h"

namespace {

using namespace regmap;

struct ContactorRig {
    ContactorRig() : mem(kMapSize), map(mem.data(), mem.size()) {}
    std::vector<std::uint8_t> mem;
    RegisterMap map;
    SteppedClock clock;
    platform::ScopedClock scopedClock{clock};
    platform::RecordingRunner runner;
    platform::ScopedRunner scopedRunner{runner};
};

TEST(SwitchSS, StatusQueryNeverWritesTheRequestBytes) {
    for (std::uint8_t state : {0, 1, 0x81}) {
        ContactorRig r;
        r.map.set(SHRMEM_AC_CONTACTOR, state);
        EXPECT_EQ(common::SwitchSS(r.map, 2), state & 1);
        EXPECT_EQ(r.map.get(SHRMEM_AC_CONTACTOR), state);
        EXPECT_EQ(r.map.get(SHRMEM_AC_CONTACTOR2), 0);
        EXPECT_TRUE(r.runner.commands.empty());
        EXPECT_EQ(r.clock.ms, 0);
    }
}

TEST(SwitchSS, AnsweredRequests) {
    struct Case { int value; std::uint8_t answer; int answerAfterMs; int result; };
    const Case cases[] = {
        {1, 1, 500, 1},    // closed as asked
        {0, 0, 9000, 0},   // opened as asked, late but within the wait
        {1, 1, 10500, 2},  // too late
    };
    for (const Case& c : cases) {
        ContactorRig r;
        r.clock.onSleep = [&] {
            if (r.clock.ms >= c.answerAfterMs) r.map.set(SHRMEM_AC_CONTACTOR, c.answer);
        };
        EXPECT_EQ(common::SwitchSS(r.map, c.value), c.result) << c.value << " " << c.answerAfterMs;
        EXPECT_EQ(r.map.get(SHRMEM_AC_CONTACTOR2), 0x80 | c.value);
        EXPECT_LE(r.clock.ms, 10000 + common::kContactorPollMs);
    }
}

TEST(SwitchSS, ADifferentAnswerIsAskedAgainUntilTheWaitEnds) {
    ContactorRig r;
    int rewritten = 0;
    r.clock.onSleep = [&] {
        if (r.map.get(SHRMEM_AC_CONTACTOR) == 0x81) ++rewritten;
        r.map.set(SHRMEM_AC_CONTACTOR, 0);   // the controller keeps it open
        r.map.set(SHRMEM_AC_CONTACTOR2, 0);
    };
    EXPECT_EQ(common::SwitchSS(r.map, 1), 2);
    EXPECT_GT(rewritten, 100);
    EXPECT_GE(r.clock.ms, 9000);
    EXPECT_LE(r.clock.ms, 10000 + common::kContactorPollMs);
}

TEST(SwitchSS, OpeningTakesTheModuleBusDownFirst) {
    ContactorRig r;
    r.map.set(SHRMEM_RECTIFIER_QTY, 2);
    std::uint8_t qtyAtRequest = 0xFF;
    r.clock.onSleep = [&] {
        if (qtyAtRequest == 0xFF) qtyAtRequest = r.map.get(SHRMEM_RECTIFIER_QTY);
        r.map.set(SHRMEM_AC_CONTACTOR, 0);
    };
    EXPECT_EQ(common::SwitchSS(r.map, 0), 0);
    EXPECT_EQ(qtyAtRequest, 0);
    EXPECT_EQ(r.runner.Texts(), std::vector<std::string>{"/sbin/ip link set can0 down"});
}

TEST(SwitchSS, ClosingBringsTheModuleBusUp) {
    ContactorRig r;
    r.clock.onSleep = [&] { r.map.set(SHRMEM_AC_CONTACTOR, 1); };
    EXPECT_EQ(common::SwitchSS(r.map, 1), 1);
    EXPECT_EQ(r.runner.Texts(), (std::vector<std::string>{"/sbin/ip link set can0 type can bitrate 500000 restart-ms 100",
                                                          "/sbin/ip link set can0 up"}));
}

}  // namespace
