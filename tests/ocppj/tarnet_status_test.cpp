#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "instance_lock.h"
#include "messages.h"
#include "ocpp_time.h"
#include "ocppj_rig.h"
#include "tarnet.h"

using namespace ocppj;

namespace {

// Tarnet after start-up, with Bastide's side of the ring and Fennick's side of
// the StatusNotification slot played by the test.
struct StatusRig : OcppjRig {
    StatusRig() {
        EXPECT_TRUE(tarnet.Init(*app, *x));
        Online();
    }
    void Online() {
        std::snprintf(x->boot.status, sizeof x->boot.status, "Accepted");
        x->wsConnected = 1;
        x->backendReachable = 1;
    }
    // Bastide appends a record: connector, status and a tag in info.
    void Queue(int connector, std::uint8_t status, const char* info) {
        const std::uint8_t w = app->statusRingWriteIndex;
        fennick::CpStatus& s = app->statusRing[w];
        std::memset(&s, 0, sizeof s);
        s.connectorId = connector;
        s.status = status;
        s.errorCode = fennick::kErrNoError;
        std::snprintf(s.info, sizeof s.info, "%s", info);
        std::snprintf(s.timestamp, sizeof s.timestamp, "2001-01-01T00:00:00Z");
        fennick::PublishRingWriteIndex(*app, static_cast<std::uint8_t>(w + 1));
    }
    // One Tarnet pass of the link and status managers.
    void Pass() {
        clock.Advance(1000);
        const bool up = TestBit(*x, kBitStatusNotification);
        tarnet.CheckBackendCnnt();
        tarnet.StatusNotifMgmt();
        tarnet.RsrvNowMgmt();
        if (!up && TestBit(*x, kBitStatusNotification)) sentAt = EpochToUTC(clock.WallMs() / 1000);
    }
    // What Fennick sends now ("connector info"), then its answer clears the bit.
    std::string Send() {
        if (!TestBit(*x, kBitStatusNotification)) return "";
        const auto& s = x->statusNotification;
        std::string sent = std::to_string(s.connectorId) + " " + s.info;
        EXPECT_EQ(FieldText(s.timestamp), sentAt);  // stamped when sent, not when queued
        ClearBit(*x, kBitStatusNotification);
        return sent;
    }
    // Passes until nothing more is sent, every message answered at once.
    std::vector<std::string> Drain(int passes = 12) {
        std::vector<std::string> out;
        for (int i = 0; i < passes; ++i) {
            Pass();
            std::string s = Send();
            if (!s.empty()) out.push_back(s);
        }
        return out;
    }
    Tarnet tarnet;
    std::string sentAt;
};

using Sent = std::vector<std::string>;

TEST(TarnetStatus, LinkStateFollowsTheTransportAndTheBootAnswer) {
    struct Case {
        const char* boot;
        std::uint8_t ws, reachable, online;
    };
    const Case cases[] = {
        {"Accepted", 1, 1, 1}, {"Accepted", 1, 0, 0}, {"Pending", 1, 1, 0}, {"", 0, 1, 0}, {"Accepted", 0, 1, 1},
    };
    StatusRig rig;
    for (const Case& c : cases) {
        std::snprintf(rig.x->boot.status, sizeof rig.x->boot.status, "%s", c.boot);
        rig.x->wsConnected = c.ws;
        rig.x->backendReachable = c.reachable;
        rig.tarnet.CheckBackendCnnt();
        EXPECT_EQ(rig.app->backendOnline, c.online) << c.boot << int(c.ws) << int(c.reachable);
        EXPECT_EQ(rig.app->websocketConnected, c.ws);
    }
}

TEST(TarnetStatus, OnlineEveryRecordIsSentInTurnOncePreviousIsAnswered) {
    StatusRig rig;
    rig.Queue(1, fennick::kStsAvailable, "a");
    rig.Queue(1, fennick::kStsPreparing, "b");
    rig.Queue(2, fennick::kStsAvailable, "c");
    rig.Queue(0, fennick::kStsAvailable, "cp");
    rig.Pass();
    EXPECT_EQ(rig.Send(), "1 a");
    rig.Pass();  // the bit is down: the next record is taken and sent
    rig.Pass();
    EXPECT_EQ(rig.Send(), "1 b");
    EXPECT_EQ(rig.Drain(), (Sent{"2 c", "0 cp"}));
    EXPECT_EQ(fennick::ConnectorRec(*rig.app, 1).status, fennick::kStsPreparing);
}

TEST(TarnetStatus, ARecordWaitsWhileTheRequestBitIsUp) {
    StatusRig rig;
    rig.Queue(1, fennick::kStsAvailable, "a");
    rig.Queue(1, fennick::kStsPreparing, "b");
    rig.Pass();
    for (int i = 0; i < 5; ++i) rig.Pass();  // unanswered: nothing replaces the slot
    EXPECT_STREQ(rig.x->statusNotification.info, "a");
    EXPECT_EQ(rig.Drain(), (Sent{"1 a", "1 b"}));
}

TEST(TarnetStatus, OfflineOnlyTheLatestPerConnectorGoesOutAfterTheLinkReturns) {
    StatusRig rig;
    rig.x->backendReachable = 0;
    rig.x->wsConnected = 0;
    rig.Queue(1, fennick::kStsPreparing, "1 old");
    rig.Queue(2, fennick::kStsAvailable, "2 only");
    rig.Queue(1, fennick::kStsAvailable, "1 new");
    rig.Queue(0, fennick::kStsAvailable, "cp");
    for (int i = 0; i < 6; ++i) rig.Pass();
    EXPECT_FALSE(TestBit(*rig.x, kBitStatusNotification));
    rig.Online();
    EXPECT_EQ(rig.Drain(), (Sent{"1 1 new", "2 2 only", "0 cp"}));
}

TEST(TarnetStatus, AReconnectionDrainsTheRingAtOnceBeforeTheFirstFrame) {
    StatusRig rig;
    rig.x->backendReachable = 0;
    rig.Pass();  // offline, accepted before, websocket up: reconnecting
    rig.Queue(1, fennick::kStsPreparing, "1 old");
    rig.Queue(1, fennick::kStsFinishing, "1 new");
    rig.Queue(2, fennick::kStsAvailable, "2");
    rig.Pass();
    EXPECT_EQ(rig.Send(), "1 1 new");  // the whole ring was taken in one pass
    EXPECT_EQ(rig.app->statusRingWriteIndex, 3);
}

TEST(TarnetStatus, AChargingStatusWaitsForItsTransaction) {
    StatusRig rig;
    rig.Queue(1, fennick::kStsCharging, "charging");
    rig.Queue(2, fennick::kStsUnavailable, "2");
    EXPECT_EQ(rig.Drain(), (Sent{"2 2"}));
    rig.tarnet.Runtime(1).txnStartTime = 1709288430;
    EXPECT_EQ(rig.Drain(), (Sent{"1 charging"}));
}

TEST(TarnetStatus, AnAvailableRecordClearsTheIdTagEvenDuringATransaction) {
    StatusRig rig;
    std::strcpy(fennick::ConnectorRec(*rig.app, 1).idTag, "ABC123");
    std::strcpy(fennick::ConnectorRec(*rig.app, 2).idTag, "XYZ");
    rig.tarnet.Runtime(1).txnStartTime = 1709288430;
    rig.Queue(1, fennick::kStsAvailable, "a");
    rig.Queue(2, fennick::kStsPreparing, "p");
    rig.Drain();
    EXPECT_STREQ(fennick::ConnectorRec(*rig.app, 1).idTag, "");
    EXPECT_STREQ(fennick::ConnectorRec(*rig.app, 2).idTag, "XYZ");
}

TEST(TarnetStatus, ATriggerIsServedAlsoWhileOffline) {
    struct Case {
        std::int32_t connector;
        Sent expect;
    };
    const Case cases[] = {
        {0, {"0 cp"}},
        {2, {"2 two"}},
        {-1, {"1 one", "2 two"}},
    };
    for (const Case& c : cases) {
        StatusRig rig;
        rig.Queue(1, fennick::kStsAvailable, "one");
        rig.Queue(2, fennick::kStsAvailable, "two");
        rig.Queue(0, fennick::kStsAvailable, "cp");
        rig.Drain();
        rig.x->backendReachable = 0;
        rig.x->wsConnected = 0;
        rig.tarnet.TriggerStatusNotification(c.connector);
        EXPECT_EQ(rig.Drain(3), c.expect) << c.connector;
        EXPECT_TRUE(rig.Drain(3).empty()) << c.connector;  // offline again once served
    }
}

TEST(TarnetStatus, ReservationsEndWhenExpiredOrNoLongerHonoured) {
    struct Case {
        const char* name;
        const char* expiry;
        std::uint8_t status;
        std::int32_t txnStart;
        const char* log;  // nullptr: the reservation stays
    };
    const Case cases[] = {
        {"in force", "2024-03-01T11:00:00Z", fennick::kStsReserved, 0, nullptr},
        {"expired", "2024-03-01T10:20:31Z", fennick::kStsReserved, 0, "[Info] Reservation is expired"},
        {"expired while faulted", "2024-03-01T10:00:00Z", fennick::kStsFaulted, 0, "[Info] Reservation is expired"},
        {"unreadable date", "tomorrow", fennick::kStsReserved, 0, "[Info] Reservation is expired"},
        {"faulted", "2024-03-01T11:00:00Z", fennick::kStsFaulted, 0,
         "[Info] Reservation is cancelled(Faulted or Unavailable)"},
        {"unavailable", "2024-03-01T11:00:00Z", fennick::kStsUnavailable, 0,
         "[Info] Reservation is cancelled(Faulted or Unavailable)"},
        {"in transaction", "2024-03-01T11:00:00Z", fennick::kStsReserved, 1709288000,
         "[Info] Reservation is cancelled(In transaction)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StatusRig rig;
        fennick::ConnectorRecord& cr = fennick::ConnectorRec(*rig.app, 2);
        cr.reserved = 1;
        cr.status = c.status;
        ConnectorRuntime& r = rig.tarnet.Runtime(2);
        r.txnStartTime = c.txnStart;
        r.reservation.reservationId = 7;
        PutText(r.reservation.expiryDate, c.expiry);
        rig.tarnet.RsrvNowMgmt();  // at 10:20:30
        rig.clock.Advance(1000);
        rig.tarnet.RsrvNowMgmt();
        if (c.log == nullptr) {
            EXPECT_EQ(cr.reserved, 1);
            EXPECT_EQ(r.reservation.reservationId, 7);
            EXPECT_EQ(rig.LogText().find("Reservation"), std::string::npos);
        } else {
            EXPECT_EQ(cr.reserved, 0);
            EXPECT_EQ(r.reservation.reservationId, 0);
            EXPECT_EQ(r.reservation.expiryDate[0], '\0');
            EXPECT_NE(rig.LogText().find(std::string("-") + c.log + "\n"), std::string::npos) << rig.LogText();
        }
    }
}

// A flapping alarm writes seven records a second for a minute, more than the
// ring holds before a record-a-pass reader catches up: every record still
// goes out once, in order, and the connector's status is the latest at once.
TEST(TarnetStatus, ABurstLongerThanTheRingIsSentWholeInOrder) {
    StatusRig rig;
    std::vector<std::string> written;
    std::vector<std::string> sent;
    for (int pass = 0; pass < 60; ++pass) {
        for (int k = 0; k < 7; ++k) {
            const std::string tag = std::to_string(pass * 7 + k);
            const int c = k == 6 ? 1 : 0;
            rig.Queue(c, pass % 2 ? fennick::kStsPreparing : fennick::kStsAvailable, tag.c_str());
            written.push_back(std::to_string(c) + " " + tag);
        }
        rig.Pass();
        const std::string one = rig.Send();
        if (!one.empty()) sent.push_back(one);
        // The status in force is the latest written, not the latest sent.
        EXPECT_EQ(fennick::ConnectorRec(*rig.app, 1).status, pass % 2 ? fennick::kStsPreparing : fennick::kStsAvailable);
    }
    const std::vector<std::string> rest = rig.Drain(500);
    sent.insert(sent.end(), rest.begin(), rest.end());
    EXPECT_EQ(sent, written);
    EXPECT_EQ(rig.LogText().find("overrun"), std::string::npos);
}

// A writer that laps the reader between two passes is seen and counted, and
// the reader goes on from the oldest record left.
TEST(TarnetStatus, ARingOverrunIsLoggedWithItsCount) {
    StatusRig rig;
    rig.Queue(1, fennick::kStsAvailable, "first");
    EXPECT_EQ(rig.Drain(2), (Sent{"1 first"}));
    for (int round = 1; round <= 2; ++round) {
        for (int k = 0; k < 300; ++k) rig.Queue(2, fennick::kStsAvailable, std::to_string(k).c_str());
        const std::vector<std::string> got = rig.Drain(300);
        ASSERT_EQ(got.size(), 256u);
        EXPECT_EQ(got.front(), "2 44");
        EXPECT_EQ(got.back(), "2 299");
        EXPECT_NE(rig.LogText().find("status ring overrun, count " + std::to_string(round)), std::string::npos);
    }
}

}  // namespace
