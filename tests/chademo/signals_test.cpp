// The vehicle's lines: permission, proximity debouncing and the lock.
#include <gtest/gtest.h>

#include <deque>

#include "clock.h"
#include "fake_lines.h"
#include "signals.h"

namespace {

using chademo::VehicleSignals;

struct LinesRig {
    FakeLines lines;
    ScopedLines scoped{lines};
    platform::TestClock clock;
    platform::ScopedClock scopedClock{clock};
    VehicleSignals signals;
    // A line that reads the given characters in turn, then keeps the last.
    void Script(int line, std::string chars) {
        auto q = std::make_shared<std::deque<char>>(chars.begin(), chars.end());
        lines.inputs[line] = [q]() -> std::optional<char> {
            char c = q->front();
            if (q->size() > 1) q->pop_front();
            return c;
        };
    }
};

TEST(ChademoSignals, PermissionNeedsAReadableLine) {
    // A value other than "0" or "1" ("2", "x" have bit 0 clear) is no permission.
    struct Case { const char* readings; bool readable; int expected; };
    for (const Case c : {Case{"0", true, 0}, Case{"10", true, 0}, Case{"11", true, 1}, Case{"", false, 1},
                         Case{"22", true, 1}, Case{"xx", true, 1}, Case{"x0", true, 0}}) {
        LinesRig r;
        if (c.readable) r.Script(chademo::kGpioJ, c.readings);
        else r.lines.inputs[chademo::kGpioJ] = [] { return std::optional<char>{}; };
        EXPECT_EQ(r.signals.GetOptoJ(), c.expected) << c.readings;
    }
}

TEST(ChademoSignals, ProximityTakesANewLevelOnItsSecondReadingInARow) {
    struct Case { const char* readings; bool present; };
    for (const Case c : {Case{"1010101010", false}, Case{"100", true}, Case{"10", false}, Case{"1001", true},
                         Case{"10011", false}}) {
        LinesRig r;
        std::string s = c.readings;
        bool present = false;
        for (char ch : s) {
            r.Script(chademo::kGpioProximity, std::string(1, ch));
            present = r.signals.Proximity();
        }
        EXPECT_EQ(present, c.present) << c.readings;
    }
}

TEST(ChademoSignals, SettledProximity) {
    struct Case { const char* readings; int expected; std::int64_t ms; };
    for (const Case c : {Case{"0", 1, 110}, Case{"010101010101010101010101", 0, 200}, Case{"1", 0, 100}}) {
        LinesRig r;
        r.Script(chademo::kGpioProximity, c.readings);
        const std::int64_t start = r.clock.MonotonicMs();
        EXPECT_EQ(r.signals.SettledProximity(), c.expected) << c.readings;
        EXPECT_EQ(r.clock.MonotonicMs() - start, c.ms) << c.readings;
    }
    LinesRig absent;
    EXPECT_EQ(absent.signals.SettledProximity(), 0);
}

TEST(ChademoSignals, LockTestDoesNotDriveTheLock) {
    LinesRig r;
    r.Script(chademo::kGpioLockDetect, "0");
    EXPECT_EQ(r.signals.ConnectorLock(2), 1);
    EXPECT_EQ(r.lines.writes[chademo::kGpioLock], 0);
    EXPECT_EQ(r.signals.ConnectorLock(0), 1);
    EXPECT_EQ(r.lines.out[chademo::kGpioLock], '0');
    EXPECT_EQ(r.signals.SwitchD1D2(3, 1), 0);
    r.signals.SwitchD1D2(2, 1);
    EXPECT_EQ(r.signals.GetD1D2(2), 1);
    EXPECT_EQ(r.signals.GetD1D2(1), 0);
}

TEST(ChademoSignals, LockingWaitsForTheDetectorWithinItsBound) {
    struct Case { const char* detector; int locked; std::int64_t ms; };
    // One reading per 5 ms: locked on the third, never, at once; a value
    // that is not "0" ("2" has bit 0 clear) is no lock.
    for (const Case c : {Case{"110", 1, 15}, Case{"1", 0, chademo::kLockEngageMs}, Case{"0", 1, 5},
                         Case{"2", 0, chademo::kLockEngageMs}}) {
        LinesRig r;
        r.Script(chademo::kGpioLockDetect, c.detector);
        const std::int64_t start = r.clock.MonotonicMs();
        EXPECT_EQ(r.signals.ConnectorLock(1), c.locked) << c.detector;
        EXPECT_EQ(r.clock.MonotonicMs() - start, c.ms) << c.detector;
        EXPECT_EQ(r.lines.out[chademo::kGpioLock], '1');
    }
}

}  // namespace
