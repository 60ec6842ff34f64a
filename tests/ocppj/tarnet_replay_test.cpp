#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "txn_rig.h"

using namespace ocppj;

namespace {

using Calls = std::vector<std::string>;

struct ReplayRig : TxnRig {
    ReplayRig() {
        std::strcpy(app->configValues.MeterValuesSampledData, "Energy.Active.Import.Register");
        app->configValues.MeterValueSampleInterval = 60;
        withMeter = true;
        withReplay = true;
    }
    std::size_t QueueLines() {
        const std::string q = File("TxnMsgQueue");
        return static_cast<std::size_t>(std::count(q.begin(), q.end(), '\n'));
    }
};

TEST(TarnetReplay, AnOfflineTransactionReplaysInOrderAndTakesTheIdItIsGiven) {
    for (const bool stillRunning : {true, false}) {
        SCOPED_TRACE(stillRunning ? "still running" : "stopped offline");
        ReplayRig rig;
        rig.Init();
        rig.Offline();
        rig.Begin(1);
        for (int k = 1; k <= 3; ++k) {
            fennick::MeterBlock(*rig.app, 1).energyImportRegister = 100 * k;
            rig.Passes(60);
        }
        if (!stillRunning) {
            fennick::MeterBlock(*rig.app, 1).energyImportRegister = 350;
            EXPECT_EQ(rig.Ask("ABC123", 1, 1, 3), 2);
        }
        ASSERT_EQ(rig.QueueLines(), stillRunning ? 4u : 5u) << rig.File("TxnMsgQueue");
        EXPECT_TRUE(rig.calls.empty());

        rig.Online();
        rig.Passes(8);  // a line a pass
        Calls want = {"Meter 1 77 Energy.Active.Import.Register=100", "Meter 1 77 Energy.Active.Import.Register=200",
                      "Meter 1 77 Energy.Active.Import.Register=300"};
        ASSERT_GE(rig.calls.size(), 4u);
        EXPECT_EQ(rig.calls[0].substr(0, 14), "Start 1 ABC123");
        EXPECT_EQ(Calls(rig.calls.begin() + 1, rig.calls.begin() + 4), want);
        if (stillRunning) {
            // The running connector took the id; what it meters now goes
            // through the queue until its stop is answered.
            EXPECT_EQ(rig.tarnet.Runtime(1).transactionId, 77);
            EXPECT_EQ(rig.File("OffTxnID"), "77\n");
            EXPECT_EQ(rig.File("Cnntr1/TxnID"), "77\n");
            EXPECT_EQ(rig.Ask("ABC123", 1, 1, 3), 2);
            rig.Passes(3);
        }
        EXPECT_EQ(rig.calls.back(), stillRunning ? "Stop 77 ABC123 300 Local" : "Stop 77 ABC123 350 Local");
        EXPECT_EQ(rig.File("OffTxnID"), "0\n");
        EXPECT_EQ(rig.QueueLines(), 0u);
        EXPECT_EQ(rig.tarnet.Runtime(1).transactionId, 0);

        // The next charge goes straight to the central system again.
        rig.Status(1, fennick::kStsFinishing);
        rig.Status(1, fennick::kStsAvailable);
        rig.Passes(3);
        const std::size_t before = rig.calls.size();
        rig.Begin(1, "NEXT");
        ASSERT_EQ(rig.calls.size(), before + 1) << ::testing::PrintToString(rig.calls);
        EXPECT_EQ(rig.calls.back().substr(0, 12), "Start 1 NEXT");
        EXPECT_EQ(rig.tarnet.Runtime(1).transactionId, 78);
    }
}

TEST(TarnetReplay, OfflineIdsStayWithTheirConnector) {
    ReplayRig rig;
    rig.Init();
    rig.Offline();
    rig.Begin(1, "ONE");
    rig.Begin(2, "TWO");
    rig.Online();
    rig.Passes(4);
    ASSERT_EQ(rig.calls.size(), 2u);
    EXPECT_EQ(rig.tarnet.Runtime(1).transactionId, 77);
    EXPECT_EQ(rig.tarnet.Runtime(2).transactionId, 78);
    EXPECT_EQ(rig.Ask("TWO", 2, 1, 3), 2);
    rig.Passes(2);
    EXPECT_EQ(rig.calls.back(), "Stop 78 TWO 0 Local");
    EXPECT_EQ(rig.tarnet.Runtime(1).offlineTxnId, 77);
    EXPECT_EQ(rig.tarnet.Runtime(2).offlineTxnId, 0);
}

TEST(TarnetReplay, AnErrorAnswerIsRetriedAfterTheGrowingIntervalThenDiscarded) {
    ReplayRig rig;
    rig.Init();
    ASSERT_TRUE(rig.tarnet.Queue().Append("2:1:\"A\":5:1709288430:12:3", false));
    ASSERT_TRUE(rig.tarnet.Queue().Append("2:1:\"B\":6:1709288431:13:3", false));
    rig.callError = 10;
    std::vector<std::int64_t> at;
    const std::int64_t t0 = rig.clock.MonotonicMs();
    for (int i = 0; i < 100 && rig.calls.size() < 4; ++i) {
        const std::size_t before = rig.calls.size();
        rig.Pass();
        if (rig.calls.size() > before) at.push_back((rig.clock.MonotonicMs() - t0) / 1000);
    }
    // A failure is seen in the pass after its call: the waits are 30 and
    // 60 s from there; the next line goes as soon as the last failure is seen.
    ASSERT_GE(at.size(), 4u);
    EXPECT_EQ(rig.calls[0], "Stop 12 A 5 Local");
    EXPECT_EQ(rig.calls[2], "Stop 12 A 5 Local");
    EXPECT_EQ(at[1] - at[0], 1 + 30);
    EXPECT_EQ(at[2] - at[1], 1 + 60);
    EXPECT_EQ(rig.calls[3], "Stop 13 B 6 Local");
    EXPECT_EQ(at[3] - at[2], 1);
    EXPECT_NE(rig.LogText().find("[Info][TxnMsgQueueBufMgmt] Discard Txn"), std::string::npos);
    EXPECT_EQ(rig.File("BadTxnMsgQueue"), "2:1:\"A\":5:1709288430:12:3\n");  // kept aside, not lost
}

// The transport answers another CALL before Tarnet looks: lastCallResult is
// that CALL's, the line's own answer byte still says CALLERROR.
TEST(TarnetReplay, AnErrorAnswerStaysTheLinesWhateverCallFollows) {
    ReplayRig rig;
    rig.Init();
    ASSERT_TRUE(rig.tarnet.Queue().Append("2:1:\"A\":5:1709288430:12:3", false));
    rig.callError = 10;
    rig.Pass();
    ASSERT_EQ(rig.calls.size(), 1u);
    rig.x->lastCallResult = 0;  // a Heartbeat went out and was answered
    CallAnswer(*rig.x, Request::Heartbeat) = kAnswered;
    rig.callError = 0;
    for (int i = 0; i < 60 && rig.calls.size() < 2; ++i) rig.Pass();
    ASSERT_EQ(rig.calls.size(), 2u);
    EXPECT_EQ(rig.calls[1], rig.calls[0]);  // tried again, not taken as answered
    rig.Pass();
    EXPECT_EQ(rig.QueueLines(), 0u);
}

TEST(TarnetReplay, ALinkLostInFlightKeepsTheLineAndStartsTheCountAgain) {
    ReplayRig rig;
    rig.Init();
    ASSERT_TRUE(rig.tarnet.Queue().Append("2:1:\"A\":5:1709288430:12:3", false));
    rig.callError = 10;
    rig.Pass();  // first failure
    rig.callError = 0;
    rig.holdAnswers = true;
    rig.Passes(31);  // the retry is in flight
    ASSERT_TRUE(TestBit(*rig.x, kBitStopTransaction));
    rig.Offline();
    rig.Pass();
    EXPECT_EQ(rig.QueueLines(), 1u);
    EXPECT_FALSE(TestBit(*rig.x, kBitStopTransaction));
    rig.holdAnswers = false;
    rig.Online();
    rig.Pass();  // no wait left over from the failure before
    EXPECT_EQ(rig.calls.size(), 2u);
    rig.Pass();
    EXPECT_EQ(rig.QueueLines(), 0u);
}

TEST(TarnetReplay, ALineThatDoesNotReadIsSetAsideAndTheQueueGoesOn) {
    ReplayRig rig;
    rig.Init();
    ASSERT_TRUE(rig.tarnet.Queue().Append("2:1:\"A\":5:garbage:12:3", false));
    ASSERT_TRUE(rig.tarnet.Queue().Append("2:9:\"A\":5:1709288430:12:3", false));  // no such connector
    ASSERT_TRUE(rig.tarnet.Queue().Append("2:1:\"B\":6:1709288431:13:3", false));
    rig.Passes(4);
    EXPECT_EQ(rig.calls, (Calls{"Stop 13 B 6 Local"}));
    EXPECT_EQ(rig.File("BadTxnMsgQueue"), "2:1:\"A\":5:garbage:12:3\n2:9:\"A\":5:1709288430:12:3\n");
    EXPECT_NE(rig.LogText().find("Txn Info format failed:timestamp"), std::string::npos);
}

}  // namespace
