#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "txn_rig.h"

using namespace ocppj;

namespace {

using Calls = std::vector<std::string>;

TEST(TarnetTxn, AChargeStartsOnlineAndTheStartingCardStopsItWithoutAsking) {
    TxnRig rig;
    rig.Init();
    fennick::MeterBlock(*rig.app, 1).energyImportRegister = 1234;
    const std::string t0 = EpochToUTC(rig.clock.WallSeconds() + 3);
    rig.Begin(1);
    EXPECT_EQ(rig.calls, (Calls{"Start 1 ABC123 1234 " + t0}));
    EXPECT_EQ(rig.File("Cnntr1/TxnID"), "77\n");
    EXPECT_EQ(rig.File("Cnntr1/StartTime"), std::to_string(UtcToEpoch(t0)) + "\n");
    EXPECT_EQ(rig.File("Cnntr1/IdTag"), "ABC123\n");
    EXPECT_TRUE(rig.Exists("Cnntr1/PIdTag"));
    rig.Pass();
    EXPECT_EQ(rig.Rec(1).txnRunning, 1);
    EXPECT_EQ(rig.Rec(2).txnRunning, 0);

    // The same card, in other letters: accepted without an Authorize.
    fennick::MeterBlock(*rig.app, 1).energyImportRegister = 5678;
    EXPECT_EQ(rig.Ask("abc123", 1, 1, 1), 2);
    EXPECT_EQ(rig.calls, (Calls{"Start 1 ABC123 1234 " + t0, "Stop 77 abc123 5678 EVDisconnected"}));
    EXPECT_EQ(rig.File("Cnntr1/TxnID"), "0\n");
    EXPECT_EQ(rig.File("Cnntr1/StartTime"), "0\n");
    EXPECT_FALSE(rig.Exists("Cnntr1/IdTag"));
    EXPECT_FALSE(rig.Exists("Cnntr1/PIdTag"));
    EXPECT_STREQ(rig.Rec(1).idTag, "");
    EXPECT_EQ(rig.Rec(1).stopChargingReq, 0);
    EXPECT_EQ(rig.Rec(1).unlockReq, 1);
    EXPECT_EQ(rig.Rec(1).txnRunning, 0);
    EXPECT_EQ(rig.tarnet.Runtime(1).txnStartTime, 0);
}

TEST(TarnetTxn, EveryStopConditionClosesWithItsReason) {
    struct Case {
        const char* name;
        std::function<void(TxnRig&)> cause;
        const char* reason;
        std::uint8_t stopChargingReq, unlockReq;
    };
    auto putAt = [](TxnRig& r, std::size_t off, const char* text) {
        std::strcpy(reinterpret_cast<char*>(r.x.get()) + off, text);
    };
    const Case cases[] = {
        {"remote stop", [](TxnRig& r) { r.tarnet.Runtime(1).remoteStopReq = 1; }, "Remote", 1, 1},
        {"hard reset",
         [&](TxnRig& r) { putAt(r, 44312, "Hard"), putAt(r, 44320, "Accepted"); }, "HardReset", 1, 1},
        {"soft reset",
         [&](TxnRig& r) { putAt(r, 44312, "Soft"), putAt(r, 44320, "Accepted"); }, "SoftReset", 1, 1},
        {"unlock of this connector",
         [&](TxnRig& r) {
             const std::int32_t one = 1;
             std::memcpy(reinterpret_cast<char*>(r.x.get()) + 53432, &one, 4);
             putAt(r, 53436, "Unlocked");
         },
         "UnlockCommand", 1, 1},
        {"charging to available", [](TxnRig& r) { r.Status(1, fennick::kStsAvailable), r.Pass(); }, "PowerLoss", 0, 1},
        {"charging to preparing", [](TxnRig& r) { r.Status(1, fennick::kStsPreparing), r.Pass(); }, "PowerLoss", 0, 1},
        // The whole ring is taken in one pass: an end followed at once by
        // another status still ends the transaction.
        {"available then charging in one pass",
         [](TxnRig& r) { r.Status(1, fennick::kStsAvailable), r.Status(1, fennick::kStsCharging), r.Pass(); },
         "PowerLoss", 0, 1},
        {"finishing then charging",
         [](TxnRig& r) { r.Status(1, fennick::kStsFinishing), r.Status(2, fennick::kStsCharging); }, "Other", 1, 1},
        {"finishing then suspended by the station",
         [](TxnRig& r) {
             r.Status(1, fennick::kStsFinishing), r.Status(1, fennick::kStsSuspendedEVSE);
             r.Status(2, fennick::kStsCharging);
         },
         "Other", 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TxnRig rig;
        rig.Init();
        rig.Begin(1);
        rig.Pass();
        ASSERT_EQ(rig.Rec(1).txnRunning, 1);
        c.cause(rig);
        rig.Pass();
        ASSERT_EQ(rig.calls.size(), 2u);
        EXPECT_EQ(rig.calls[1].substr(rig.calls[1].rfind(' ') + 1), c.reason);
        EXPECT_EQ(rig.calls[1].substr(0, 8), "Stop 77 ");
        EXPECT_EQ(rig.Rec(1).stopChargingReq, c.stopChargingReq);
        EXPECT_EQ(rig.Rec(1).unlockReq, c.unlockReq);
        EXPECT_EQ(rig.tarnet.Runtime(1).txnStartTime, 0);
        // The cause is taken once: nothing more closes or starts.
        rig.Passes(3);
        EXPECT_EQ(rig.calls.size(), 2u);
    }
}

TEST(TarnetTxn, AResetMarksItsRequestAsStoppingTransactions) {
    TxnRig rig;
    rig.Init();
    rig.Begin(1);
    std::strcpy(reinterpret_cast<char*>(rig.x.get()) + 44312, "Hard");
    std::strcpy(reinterpret_cast<char*>(rig.x.get()) + 44320, "Accepted");
    rig.Pass();
    EXPECT_EQ(rig.app->hardResetReq, 2);
    EXPECT_EQ(rig.app->softResetReq, 0);
}

TEST(TarnetTxn, AnInvalidIdEndsTheTransactionDeAuthorizedWithoutUnlock) {
    TxnRig rig;
    rig.startStatus = "Invalid";
    rig.Init();
    rig.Begin(1, "BAD1");
    // The transaction is open with the id given, and the next pass closes it.
    EXPECT_EQ(rig.tarnet.Runtime(1).transactionId, 77);
    rig.Pass();
    ASSERT_EQ(rig.calls.size(), 2u);
    EXPECT_EQ(rig.calls[1], "Stop 77 BAD1 0 DeAuthorized");
    EXPECT_EQ(rig.Rec(1).unlockReq, 0);
    EXPECT_EQ(rig.Rec(1).stopChargingReq, 1);
    EXPECT_EQ(rig.tarnet.Cache().Check("BAD1", nullptr), kCacheRefused);
}

TEST(TarnetTxn, TheEndOfChargePatternIsReadAcrossTheRingsWrap) {
    struct Case {
        std::uint8_t s254, s255, s0;
        bool stops;
    };
    const Case cases[] = {
        {fennick::kStsFinishing, fennick::kStsSuspendedEVSE, fennick::kStsCharging, true},
        {fennick::kStsCharging, fennick::kStsFinishing, fennick::kStsCharging, true},
        {fennick::kStsCharging, fennick::kStsSuspendedEVSE, fennick::kStsFinishing, false},
        {fennick::kStsFinishing, fennick::kStsCharging, fennick::kStsSuspendedEVSE, false},
    };
    for (const Case& c : cases) {
        TxnRig rig;
        rig.Init();
        rig.Begin(1);
        ASSERT_EQ(rig.calls.size(), 1u);
        rig.app->statusRing[254].status = c.s254;
        rig.app->statusRing[255].status = c.s255;
        rig.app->statusRing[0].status = c.s0;
        rig.app->statusRing[1].status = fennick::kStsFinishing;  // slot W itself is not looked at
        fennick::PublishRingWriteIndex(*rig.app, 1);
        rig.tarnet.TransactionMgmt();
        rig.tarnet.TxnMsgQueueBufMgmt();
        rig.Transport();
        EXPECT_EQ(rig.calls.size(), c.stops ? 2u : 1u) << int(c.s254) << int(c.s255) << int(c.s0);
    }
}

TEST(TarnetTxn, ARestartResumesTheStartedTransaction) {
    TxnRig rig;
    rig.Init();
    PutText(rig.Rec(1).parentIdTag, "PARENT1");
    rig.Begin(1);
    const std::int32_t started = rig.tarnet.Runtime(1).txnStartTime;

    // A new Tarnet on a fresh segment image: the files give the transaction back.
    std::memset(rig.app->connectorRecords, 0, sizeof rig.app->connectorRecords);
    Tarnet again;
    ASSERT_TRUE(again.Init(*rig.app, *rig.x));
    EXPECT_EQ(again.Runtime(1).transactionId, 77);
    EXPECT_EQ(again.Runtime(1).txnStartTime, started);
    EXPECT_STREQ(rig.Rec(1).idTag, "ABC123");
    EXPECT_STREQ(rig.Rec(1).parentIdTag, "PARENT1");
    // The ring still holds the Preparing from before the charge: only the
    // latest record, Charging, counts, and nothing closes.
    EXPECT_EQ(rig.Rec(1).status, fennick::kStsCharging);
    rig.Online();
    for (int i = 0; i < 3; ++i) {
        rig.clock.Advance(1000);
        again.CheckBackendCnnt();
        again.TransactionMgmt();
        again.StatusNotifMgmt();
        ClearBit(*rig.x, kBitStatusNotification);
        again.TxnMsgQueueBufMgmt();
        rig.Transport();
    }
    EXPECT_EQ(rig.Rec(1).txnRunning, 1);
    EXPECT_EQ(rig.calls.size(), 1u);
    EXPECT_EQ(rig.File("TxnMsgQueue"), "");
}

TEST(TarnetTxn, OfflineStartsAndStopsGoToTheQueueInTheirLines) {
    TxnRig rig;
    rig.Init();
    rig.Offline();
    fennick::MeterBlock(*rig.app, 2).energyImportRegister = 1234;
    rig.Begin(2);
    const std::string started = std::to_string(rig.tarnet.Runtime(2).txnStartTime);
    fennick::MeterBlock(*rig.app, 2).energyImportRegister = 1300;
    EXPECT_EQ(rig.Ask("ABC123", 2, 1, 3), 2);
    const std::string stopped = rig.Epoch();
    EXPECT_TRUE(rig.calls.empty());
    EXPECT_EQ(rig.File("TxnMsgQueue"), "1:2:\"ABC123\":1234:0:" + started + "\n2:2:\"ABC123\":1300:" + stopped +
                                           ":0:3\n");

    // Back online with the queue not empty: a new start still queues, behind.
    rig.withReplay = false;
    rig.Online();
    rig.Begin(1, "NEXT");
    EXPECT_TRUE(rig.calls.empty());
    EXPECT_EQ(rig.File("TxnMsgQueue").substr(rig.File("TxnMsgQueue").rfind("1:1:")), "1:1:\"NEXT\":0:0:" +
                                                                                        std::to_string(rig.tarnet.Runtime(1).txnStartTime) + "\n");
}

TEST(TarnetTxn, AStartRefusedByAnErrorOrALostLinkIsQueuedNotLost) {
    for (const bool lost : {false, true}) {
        TxnRig rig;
        rig.Init();
        if (lost) rig.dropLink = true;
        else rig.callError = 3;
        rig.Begin(1);
        EXPECT_NE(rig.LogText().find(lost ? "[Info][CheckUploadResult] Backend disconnect"
                                          : "[Info][CheckUploadResult] Comm Error:3"),
                  std::string::npos);
        EXPECT_EQ(rig.File("TxnMsgQueue"), "1:1:\"ABC123\":0:0:" + std::to_string(rig.tarnet.Runtime(1).txnStartTime) + "\n");
        EXPECT_FALSE(TestBit(*rig.x, kBitStartTransaction));
        EXPECT_EQ(rig.tarnet.Runtime(1).transactionId, 0);
    }
}

TEST(TarnetTxn, AStartForAnyConnectorClearsEveryConnectorAtTheClose) {
    TxnRig rig;
    rig.app->configValues.LocalAuthorizeOffline = 1;
    rig.app->configValues.OfflinePolicy = 1;
    rig.Init();
    rig.Offline();
    EXPECT_EQ(rig.Ask("ANY1", 0, 0), 2);
    EXPECT_STREQ(rig.Rec(1).idTag, "ANY1");
    EXPECT_STREQ(rig.Rec(2).idTag, "ANY1");
    rig.Status(1, fennick::kStsCharging);
    rig.Passes(2);
    ASSERT_NE(rig.tarnet.Runtime(1).txnStartTime, 0);
    EXPECT_EQ(rig.Ask("ANY1", 1, 1), 2);
    EXPECT_STREQ(rig.Rec(1).idTag, "");
    EXPECT_STREQ(rig.Rec(2).idTag, "");
}

}  // namespace
