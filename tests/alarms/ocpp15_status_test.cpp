#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "clock.h"
#include "command.h"
#include "files.h"
#include "ocpp15_status.h"
#include "regmap_fields.h"
#include "testroot.h"

namespace {

using namespace alarms;
using namespace regmap;

// A test clock whose sleeps let the OCPP 1.5 agent act: while the bridge
// waits for its record to be taken, the agent takes it (or does not).
class AgentClock : public platform::Clock {
public:
    std::int64_t MonotonicMs() override { return inner.MonotonicMs(); }
    std::int64_t WallMs() override { return inner.WallMs(); }
    void SleepMs(std::int64_t ms) override {
        inner.Advance(ms);
        if (onSleep) onSleep();
    }
    platform::TestClock inner;
    std::function<void()> onSleep;
};

class Ocpp15StatusTest : public ::testing::Test {
protected:
    void SetUp() override {
        map.set(SHRMEM_OCPP15_CS_REQUEST2, 0x80);
        clock.onSleep = [this] {
            if (!agentAnswers || (map.get(SHRMEM_OCPP15_CP_REQUEST) & 0x08) == 0) return;
            sent.push_back(std::to_string(map.get(OCPP15_STS_CONNECTOR)) + " " +
                           std::to_string(map.get(OCPP15_STS_STATUS)) + " " +
                           std::to_string(map.get(OCPP15_STS_ERROR_CODE)) + " " + map.get(OCPP15_STS_INFO) + "/" +
                           map.get(OCPP15_STS_VENDOR_ERROR));
            map.set(SHRMEM_OCPP15_CP_REQUEST, map.get(SHRMEM_OCPP15_CP_REQUEST) & ~0x08);
        };
    }
    std::vector<std::string> Sent() {
        auto s = sent;
        sent.clear();
        return s;
    }

    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kMapSize);
    RegisterMap map{bytes.data(), kMapSize};
    AgentClock clock;
    platform::ScopedClock scoped{clock};
    StationBridge bridge{map};
    bool agentAnswers = true;
    std::vector<std::string> sent;
};

TEST_F(Ocpp15StatusTest, ConnectorThenChargePointWhenTheCentralSystemAnswers) {
    map.set(SHRMEM_OCPP15_CS_REQUEST2, 0);
    EXPECT_EQ(bridge.OCPP15SStsMgmt(), 0);
    EXPECT_TRUE(Sent().empty());
    map.set(SHRMEM_OCPP15_CS_REQUEST2, 0x80);
    EXPECT_EQ(bridge.OCPP15SStsMgmt(), 0);
    EXPECT_EQ(Sent(), (std::vector<std::string>{"1 0 3 No Error/No Error", "0 0 3 No Error/No Error"}));
    bridge.OCPP15SStsMgmt();
    EXPECT_TRUE(Sent().empty());  // nothing changed
    // Gone and back: both are sent again.
    map.set(SHRMEM_OCPP15_CS_REQUEST2, 0);
    bridge.OCPP15SStsMgmt();
    map.set(SHRMEM_OCPP15_CS_REQUEST2, 0x80);
    bridge.OCPP15SStsMgmt();
    EXPECT_EQ(Sent().size(), 2u);
}

TEST_F(Ocpp15StatusTest, StatusFollowsTheStationState) {
    struct Case {
        const char* name;
        std::uint8_t state, reserved, availability, fwState, resetPending;
        const char* connector;  // what goes out for connector 1
        std::uint8_t chargePoint;
    } cases[] = {
        {"idle", 0, 0, 0, 0, 0, "1 0 3 No Error/No Error", 0},
        {"charging", 1, 0, 0, 0, 0, "1 1 3 No Error/No Error", 0},
        {"fault", 2, 0, 0, 0, 0, "1 2 12 Other Error/Other Error", 2},
        {"fault beats reservation", 4, 1, 0, 0, 0, "1 2 12 Other Error/Other Error", 2},
        {"reserved", 0, 1, 0, 0, 0, "1 4 3 No Error/No Error", 0},
        {"inoperative", 0, 0, 1, 0, 0, "1 3 3 No Error/No Error", 3},
        {"firmware downloaded", 0, 0, 0, 2, 0, "1 3 3 No Error/No Error", 3},
        {"hard reset pending", 16, 0, 0, 0, 1, "1 3 3 No Error/No Error", 3},
        {"state 8", 8, 0, 0, 0, 0, "1 3 3 No Error/No Error", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StationBridge fresh(map);
        map.set(SHRMEM_CHARGER_STATE, c.state);
        map.set(SHRMEM_OCPP15_RESERVED, c.reserved);
        map.set(SHRMEM_AVAILABILITY, c.availability);
        map.set(SHRMEM_OCPP15_FW_STATE, c.fwState);
        map.set(SHRMEM_OCPP15_RESET_PENDING, c.resetPending);
        map.set(SHRMEM_OCPP15_RESET_TYPE, 0);
        EXPECT_EQ(fresh.OCPP15SStsMgmt(), c.chargePoint);
        const auto s = Sent();
        ASSERT_EQ(s.size(), 2u);
        EXPECT_EQ(s[0], c.connector);
        EXPECT_EQ(s[1].substr(0, 4), "0 " + std::to_string(c.chargePoint) + " ");
    }
}

TEST_F(Ocpp15StatusTest, SoftResetSendsEverythingAgain) {
    bridge.OCPP15SStsMgmt();
    Sent();
    map.set(SHRMEM_OCPP15_RESET_PENDING, 1);
    map.set(SHRMEM_OCPP15_RESET_TYPE, 1);
    bridge.OCPP15SStsMgmt();
    EXPECT_EQ(map.get(SHRMEM_OCPP15_RESET_PENDING), 0);
    EXPECT_EQ(Sent().size(), 2u);
}

TEST_F(Ocpp15StatusTest, RecordNotTakenWithinFourSecondsHoldsTheNextBack) {
    TestRoot root;
    root.Make("/Storage/SystemLog");
    agentAnswers = false;
    const std::int64_t start = clock.MonotonicMs();
    bridge.OCPP15SStsMgmt();
    const std::int64_t waited = clock.MonotonicMs() - start;
    EXPECT_GT(waited, 4000);
    EXPECT_LE(waited, 4100);  // one wait: the charge point's record could not follow
    EXPECT_EQ(map.get(OCPP15_STS_CONNECTOR), 1);
    std::string log;
    for (const auto& e : std::filesystem::directory_iterator(root.path() + "/Storage/SystemLog")) {
        log += platform::ReadTextFile(e.path().string(), 1 << 16);
    }
    EXPECT_NE(log.find("waiting for Quillon to take the OCPP 1.5 status record"), std::string::npos)
        << "a wait past a second says what it waits for";
    map.set(SHRMEM_CHARGER_STATE, 2);
    bridge.OCPP15SStsMgmt();  // the slot is still full: nothing replaces it
    EXPECT_EQ(map.get(OCPP15_STS_STATUS), 0);
    agentAnswers = true;
    map.set(SHRMEM_OCPP15_CP_REQUEST, 0);
    bridge.OCPP15SStsMgmt();
    EXPECT_EQ(Sent(), (std::vector<std::string>{"1 2 12 Other Error/Other Error", "0 2 12 Other Error/Other Error"}));
}

// Each pass of the alarm loop: the clock steps, the bridge looks.
TEST_F(Ocpp15StatusTest, HardResetRebootsAfterTheNoticeOnceAndSoftResetDoesNot) {
    platform::RecordingRunner runner;
    platform::ScopedRunner scopedRunner{runner};
    auto passFor = [&](std::int64_t ms) {
        for (std::int64_t t = 0; t < ms; t += 100) {
            clock.inner.Advance(100);
            bridge.OCPP15SCmdMgmt();
        }
    };
    map.set(SHRMEM_OCPP15_RESET_TYPE, 1);
    map.set(SHRMEM_OCPP15_RESET_PENDING, 1);
    passFor(60000);
    EXPECT_TRUE(runner.commands.empty());
    EXPECT_EQ(map.bytes(Bytes{474, 1})[0], 0);

    map.set(SHRMEM_OCPP15_RESET_TYPE, 0);
    bridge.OCPP15SCmdMgmt();  // the hard reset is first seen here
    passFor(29000);
    EXPECT_EQ(map.bytes(Bytes{474, 1})[0], 0);
    passFor(100);
    EXPECT_EQ(map.bytes(Bytes{474, 1})[0], 129);
    passFor(2900);
    EXPECT_TRUE(runner.commands.empty());
    passFor(100);
    ASSERT_EQ(runner.Texts(), std::vector<std::string>{"/sbin/reboot -f"});
    EXPECT_EQ(runner.commands[0].argv, (std::vector<std::string>{"/sbin/reboot", "-f"}));
    passFor(60000);
    EXPECT_EQ(runner.commands.size(), 1u);
}

}  // namespace
