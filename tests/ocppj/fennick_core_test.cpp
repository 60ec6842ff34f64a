#include "fennick_core.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "ocppj_rig.h"

using namespace ocppj;
using nlohmann::json;

namespace {

struct FakeLink : LinkPort {
    bool Send(const std::string& text) override {
        if (!up) return false;
        sent.push_back(text);
        return true;
    }
    void Drop() override { ++drops; }
    json Last() const { return json::parse(sent.back()); }
    bool up = true;
    int drops = 0;
    std::vector<std::string> sent;
};

struct CoreRig : OcppjRig {
    CoreRig() : core(*app, *x, link) {
        std::memcpy(app->bootIdentity.chargePointVendor, "Vanto Electronics", 17);
        std::memcpy(app->bootIdentity.chargePointSerialNumber, "SN0123456789012345678901X", 25);
        core.Start();
    }
    // Advances the clock in 100 ms ticks.
    void Run(std::int64_t ms) {
        for (std::int64_t t = 0; t < ms; t += 100) {
            clock.Advance(100);
            core.Tick();
        }
    }
    void Answer(const std::string& payload) {
        core.OnText("[3,\"" + link.Last()[1].get<std::string>() + "\"," + payload + "]");
    }
    void Boot(const std::string& answer = R"({"status":"Accepted","currentTime":"2024-03-01T10:20:30Z","interval":300})") {
        core.OnConnected();
        core.Tick();
        Answer(answer);
        core.Tick();
    }
    FakeLink link;
    FennickCore core;
};

}  // namespace

TEST(FennickCore, StartLeavesTheSegmentZeroButTheTwoIdleTexts) {
    OcppjRig rig;
    std::memset(rig.x.get(), 0xA5, sizeof *rig.x);
    FakeLink link;
    FennickCore core(*rig.app, *rig.x, link);
    core.Start();
    const auto* b = reinterpret_cast<const std::uint8_t*>(rig.x.get());
    for (std::size_t i = 0; i < kExchangeSize; ++i) {
        if (i >= 1222 && i < 1227) continue;
        if (i >= 1238 && i < 1243) continue;
        ASSERT_EQ(b[i], 0) << "byte " << i;
    }
    EXPECT_STREQ(reinterpret_cast<const char*>(b + 1222), "Idle");
    EXPECT_STREQ(reinterpret_cast<const char*>(b + 1238), "Idle");
}

TEST(FennickCore, BootAcceptedHandsTheIntervalToTarnetAndOpensTheOtherRequests) {
    CoreRig rig;
    rig.core.OnConnected();
    SetBit(*rig.x, kBitHeartbeat);
    SetBit(*rig.x, kBitStatusNotification);
    rig.core.Tick();
    ASSERT_EQ(rig.link.sent.size(), 1u);  // nothing goes before the BootNotification is accepted
    json call = rig.link.Last();
    EXPECT_EQ(call[2], "BootNotification");
    EXPECT_EQ(call[3]["chargePointVendor"], "Vanto Electronics");
    EXPECT_EQ(call[3]["chargePointSerialNumber"], "SN0123456789012345678901X");  // all 25 characters
    rig.Answer(R"({"status":"Accepted","currentTime":"2024-03-01T10:20:30Z","interval":300})");
    EXPECT_EQ(rig.x->bootAccepted, 1);
    EXPECT_EQ(rig.x->boot.interval, 300);
    EXPECT_FALSE(TestBit(*rig.x, kBitBootNotification));
    EXPECT_NE(rig.LogText().find("[Info][Fennick] BootNotification.ResponseStatus=Accepted"), std::string::npos);
    rig.core.Tick();
    EXPECT_EQ(rig.link.Last()[2], "StatusNotification");
    rig.Answer("{}");
    rig.core.Tick();
    EXPECT_EQ(rig.link.Last()[2], "Heartbeat");
}

TEST(FennickCore, PendingAndRejectedBootWaitTheirIntervalBeforeTheNextTry) {
    struct Case {
        const char* answer;
        std::int64_t waitMs;
        bool linkDropped;
    } cases[] = {
        {R"({"status":"Pending","currentTime":"2024-03-01T10:20:30Z","interval":0})", 120000, false},
        {R"({"status":"Pending","currentTime":"2024-03-01T10:20:30Z","interval":30})", 30000, false},
        {R"({"status":"Rejected","currentTime":"2024-03-01T10:20:30Z","interval":300})", 300000, true},
        {R"({"status":"Weird","currentTime":"2024-03-01T10:20:30Z","interval":5})", 120000, false},
    };
    for (const Case& c : cases) {
        CoreRig rig;
        rig.Boot(c.answer);
        ASSERT_EQ(rig.link.sent.size(), 1u) << c.answer;
        EXPECT_EQ(rig.link.drops, c.linkDropped ? 1 : 0) << c.answer;
        EXPECT_EQ(rig.core.Wanted(), !c.linkDropped) << c.answer;
        rig.Run(c.waitMs - 200);
        EXPECT_EQ(rig.link.sent.size(), 1u) << c.answer;
        rig.Run(300);
        EXPECT_TRUE(rig.core.Wanted());
        ASSERT_EQ(rig.link.sent.size(), 2u) << c.answer;
        EXPECT_EQ(rig.link.Last()[2], "BootNotification");
    }
}

TEST(FennickCore, UnansweredRequestEndsAfterTwoTriesOfThirtySeconds) {
    CoreRig rig;
    rig.Boot();
    SetBit(*rig.x, kBitHeartbeat);
    rig.core.Tick();
    ASSERT_EQ(rig.link.sent.size(), 2u);
    const std::string first = rig.link.sent.back();
    rig.Run(29900);
    EXPECT_EQ(rig.link.sent.size(), 2u);
    rig.Run(100);
    ASSERT_EQ(rig.link.sent.size(), 3u);
    EXPECT_EQ(rig.link.sent.back(), first);  // the retry is the same message under the same id
    EXPECT_TRUE(TestBit(*rig.x, kBitHeartbeat));
    rig.Run(30000);
    EXPECT_FALSE(TestBit(*rig.x, kBitHeartbeat));
    EXPECT_EQ(rig.x->backendReachable, 0);
    EXPECT_EQ(rig.x->lastCallResult, 0);
    EXPECT_EQ(CallAnswer(*rig.x, Request::Heartbeat).load(), 0);  // no answer came
    EXPECT_EQ(rig.link.drops, 1);
    EXPECT_NE(rig.LogText().find("[Info][Fennick] HeartbeatReq NG"), std::string::npos);
}

// A central system slower than one try: its answer to the first send comes
// during the second and is the answer.
TEST(FennickCore, ALateAnswerToTheFirstTryIsTaken) {
    CoreRig rig;
    rig.Boot();
    rig.x->startTransaction.connectorId = 1;
    PutText(rig.x->startTransaction.idTag, "ABC123");
    PutText(rig.x->startTransaction.timestamp, "2024-03-01T10:20:30Z");
    SetBit(*rig.x, kBitStartTransaction);
    rig.core.Tick();
    const json call = rig.link.Last();
    rig.Run(35000);
    ASSERT_EQ(rig.link.sent.size(), 3u);
    EXPECT_EQ(rig.link.Last(), call);
    rig.core.OnText("[3,\"" + call[1].get<std::string>() +
                    "\",{\"transactionId\":7,\"idTagInfo\":{\"status\":\"Accepted\"}}]");
    EXPECT_FALSE(TestBit(*rig.x, kBitStartTransaction));
    EXPECT_EQ(rig.x->startTransaction.transactionId, 7);
    EXPECT_EQ(CallAnswer(*rig.x, Request::StartTransaction).load(), kAnswered);
    EXPECT_EQ(rig.link.drops, 0);
}

// The id of a transaction message follows from the message: sent again after
// a cut or by another run of the transport, the central system knows it.
TEST(FennickCore, ATransactionMessageKeepsItsIdAcrossACut) {
    CoreRig rig;
    rig.Boot();
    auto& s = rig.x->stopTransaction;
    PutText(s.idTag, "ABC123");
    s.meterStop = 1234;
    PutText(s.timestamp, "2024-03-01T11:00:00Z");
    s.transactionId = 7;
    SetBit(*rig.x, kBitStopTransaction);
    rig.core.Tick();
    const json first = rig.link.Last();
    rig.core.OnClosed();
    rig.Run(1000);
    rig.core.OnConnected();
    SetBit(*rig.x, kBitStopTransaction);
    rig.core.Tick();
    EXPECT_EQ(rig.link.Last(), first);
    s.meterStop = 1235;  // another message: another id
    rig.core.OnText("[3,\"" + first[1].get<std::string>() + "\",{}]");
    SetBit(*rig.x, kBitStopTransaction);
    rig.core.Tick();
    EXPECT_NE(rig.link.Last()[1], first[1]);
    // Requests outside transactions keep ids of their own.
    SetBit(*rig.x, kBitHeartbeat);
    rig.core.OnText("[3,\"" + rig.link.Last()[1].get<std::string>() + "\",{}]");
    rig.core.Tick();
    EXPECT_EQ(rig.link.Last()[2], "Heartbeat");
}

TEST(FennickCore, CallErrorsSetTheResultCodeAndEndTheRequest) {
    struct Case {
        const char* code;
        int result;
    } cases[] = {{"NotImplemented", 1}, {"GenericError", 10}, {"OccurrenceConstraintViolation", 8}, {"Other", 11}};
    for (const Case& c : cases) {
        CoreRig rig;
        rig.Boot();
        std::strcpy(rig.x->authorize.idTag, "ABC");
        SetBit(*rig.x, kBitAuthorize);
        rig.core.Tick();
        rig.core.OnText("[4,\"" + rig.link.Last()[1].get<std::string>() + "\",\"" + c.code + "\",\"\",{}]");
        EXPECT_EQ(rig.x->lastCallResult, c.result) << c.code;
        EXPECT_FALSE(TestBit(*rig.x, kBitAuthorize));
        EXPECT_EQ(rig.x->backendReachable, 1);
        // The next CALL clears lastCallResult; the Authorize keeps its own answer.
        SetBit(*rig.x, kBitHeartbeat);
        rig.core.Tick();
        EXPECT_EQ(rig.x->lastCallResult, 0);
        rig.core.OnText("[3,\"" + rig.link.Last()[1].get<std::string>() + "\",{\"currentTime\":\"2024-03-01T10:20:30Z\"}]");
        EXPECT_EQ(CallAnswer(*rig.x, Request::Authorize).load(), kAnswered | c.result) << c.code;
        EXPECT_EQ(CallAnswer(*rig.x, Request::Heartbeat).load(), kAnswered) << c.code;
    }
}

// Only the start of a message too long for the link is kept: a CALL among
// them is refused under its id, anything else is dropped.
TEST(FennickCore, ACallTooLongIsAnsweredWithItsId) {
    CoreRig rig;
    rig.Boot();
    const std::size_t before = rig.link.sent.size();
    rig.core.OnTooLong(R"([2,"big1","DataTransfer",{"vendorId":"V","data":"xxxxxxxxxxxx)");
    ASSERT_EQ(rig.link.sent.size(), before + 1);
    EXPECT_EQ(rig.link.Last()[0], 4);
    EXPECT_EQ(rig.link.Last()[1], "big1");
    EXPECT_EQ(rig.link.Last()[2], "FormationViolation");
    rig.core.OnTooLong(R"([3,"r1",{"data":"xxxxxxxxxxxx)");
    EXPECT_EQ(rig.link.sent.size(), before + 1);
    EXPECT_NE(rig.LogText().find("longer than 64 KiB dropped"), std::string::npos);
}

TEST(FennickCore, MeterValuesGoBeforeStopTransaction) {
    CoreRig rig;
    rig.Boot();
    SetBit(*rig.x, kBitStopTransaction);
    SetBit(*rig.x, kBitMeterValues);
    rig.core.Tick();
    EXPECT_EQ(rig.link.Last()[2], "MeterValues");
    rig.Answer("{}");
    rig.core.Tick();
    EXPECT_EQ(rig.link.Last()[2], "StopTransaction");
}

TEST(FennickCore, CommandWaitsForTarnetWhileTheLinkGoesOn) {
    CoreRig rig;
    rig.Boot();
    rig.core.OnText(R"([2,"cs1","ChangeConfiguration",{"key":"HeartbeatInterval","value":"60"}])");
    EXPECT_TRUE(TestBit(*rig.x, CommandBit(kCmdChangeConfiguration)));
    EXPECT_STREQ(rig.x->changeConfiguration.value, "60");
    // A second CALL while the first is served is answered, not dropped.
    rig.core.OnText(R"([2,"cs2","GetConfiguration",{}])");
    EXPECT_EQ(rig.link.Last(), json::parse(R"([4,"cs2","GenericError","Another command is being served",{}])"));
    // Requests still go and are answered while Tarnet works.
    SetBit(*rig.x, kBitHeartbeat);
    rig.Run(5000);
    EXPECT_EQ(rig.link.Last()[2], "Heartbeat");
    rig.Answer(R"({"currentTime":"2024-03-01T10:20:35Z"})");
    EXPECT_FALSE(TestBit(*rig.x, kBitHeartbeat));
    // Tarnet answers: the CALLRESULT carries its status.
    std::strcpy(rig.x->changeConfiguration.status, "Accepted");
    ClearBit(*rig.x, CommandBit(kCmdChangeConfiguration));
    rig.core.Tick();
    EXPECT_EQ(rig.link.Last(), json::parse(R"([3,"cs1",{"status":"Accepted"}])"));
    // No answer from Tarnet within 25 s: InternalError, and the next CALL is taken.
    rig.core.OnText(R"([2,"cs3","GetConfiguration",{}])");
    rig.Run(24900);
    EXPECT_TRUE(TestBit(*rig.x, CommandBit(kCmdGetConfiguration)));
    rig.Run(100);
    EXPECT_FALSE(TestBit(*rig.x, CommandBit(kCmdGetConfiguration)));
    EXPECT_EQ(rig.link.Last()[0], 4);
    EXPECT_EQ(rig.link.Last()[2], "InternalError");
    rig.core.OnText(R"([2,"cs4","GetConfiguration",{}])");
    EXPECT_TRUE(TestBit(*rig.x, CommandBit(kCmdGetConfiguration)));
}

TEST(FennickCore, EveryCallIsAnswered) {
    struct Case {
        const char* text;
        const char* reply;
    } cases[] = {
        {R"([2,"u1","FlyToTheMoon",{}])", "NotImplemented"},
        {R"([2,"u3","ChangeConfiguration",{"key":"HeartbeatInterval",)", "FormationViolation"},
        {R"([2,"u4","ChangeConfiguration",{"key":"HeartbeatInterval","value":-5}])", "TypeConstraintViolation"},
    };
    for (const Case& c : cases) {
        CoreRig rig;
        rig.Boot();
        rig.core.OnText(c.text);
        json last = rig.link.Last();
        EXPECT_EQ(last[0], 4) << c.text;
        EXPECT_EQ(last[1], std::string("u") + c.text[5]) << c.text;
        EXPECT_EQ(last[2], c.reply) << c.text;
        EXPECT_EQ(rig.x->cmdFlags[0] | rig.x->cmdFlags[1] | rig.x->cmdFlags[2], 0);
    }
}

TEST(FennickCore, ClockFollowsTheCentralSystemOnlyWhileNoConnectorIsBusy) {
    struct Case {
        std::uint8_t status2;
        const char* answer;
        bool set;
    } cases[] = {
        {fennick::kStsAvailable, R"({"currentTime":"2024-03-01T12:20:30+02:00"})", true},
        {fennick::kStsCharging, R"({"currentTime":"2024-03-01T10:20:30Z"})", false},
        {fennick::kStsSuspendedEV, R"({"currentTime":"2024-03-01T10:20:30Z"})", false},
        {fennick::kStsFinishing, R"({"currentTime":"2024-03-01T10:20:30Z"})", true},
        {fennick::kStsAvailable, R"({})", false},
        {fennick::kStsAvailable, R"({"currentTime":"yesterday"})", false},
    };
    for (const Case& c : cases) {
        CoreRig rig;
        rig.Boot(R"({"status":"Accepted","interval":300})");  // no currentTime: clock alone
        EXPECT_TRUE(rig.runner.commands.empty());
        fennick::ConnectorRec(*rig.app, 2).status = c.status2;
        SetBit(*rig.x, kBitHeartbeat);
        rig.core.Tick();
        rig.Answer(c.answer);
        EXPECT_EQ(rig.app->clockSetFlag, c.set ? 1 : 0) << c.answer;
        ASSERT_EQ(rig.runner.commands.size(), c.set ? 1u : 0u) << c.answer;
        if (c.set) {
            EXPECT_EQ(rig.runner.commands[0].argv, (std::vector<std::string>{"date", "-u", "-s", "@1709288430"}));
        }
    }
}

TEST(FennickCore, LinkLossDropsEveryBitAndTheStartUpBootGoesAgain) {
    CoreRig rig;
    rig.core.OnConnected();
    rig.core.Tick();  // BootNotification in flight
    SetBit(*rig.x, kBitAuthorize);
    rig.x->cmdFlags[2] = 0x02;
    rig.core.OnClosed();
    EXPECT_EQ(rig.x->reqFlags | rig.x->cmdFlags[0] | rig.x->cmdFlags[1] | rig.x->cmdFlags[2], 0);
    EXPECT_EQ(rig.x->wsConnected, 0);
    rig.core.OnConnected();
    rig.Run(119000);
    EXPECT_EQ(rig.link.sent.size(), 1u);
    rig.Run(1100);
    EXPECT_EQ(rig.link.Last()[2], "BootNotification");
}

// Once the boot is accepted, a link that comes back is a central system
// reached: the transaction queue goes on at once, not after a heartbeat.
TEST(FennickCore, ALinkBackAfterTheBootIsReachedAtOnce) {
    CoreRig rig;
    rig.Boot();
    rig.core.OnClosed();
    EXPECT_EQ(rig.x->backendReachable, 0);
    rig.core.OnConnected();
    EXPECT_EQ(rig.x->backendReachable, 1);
    EXPECT_EQ(FieldText(rig.x->boot.status), "Accepted");
}
