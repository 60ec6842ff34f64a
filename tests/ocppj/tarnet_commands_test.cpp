#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "command_slots.h"
#include "messages.h"
#include "ocppj_rig.h"
#include "tarnet.h"

using namespace ocppj;

namespace {

using fennick::ConnectorRec;

struct CommandRig : OcppjRig {
    CommandRig() { EXPECT_TRUE(tarnet.Init(*app, *x)); }
    // Raises the command's bit and runs dispatcher passes until it falls.
    template <std::size_t N>
    std::string Serve(int command, const char (&status)[N], int maxPasses = 1) {
        SetBit(*x, CommandBit(command));
        for (int i = 0; i < maxPasses && TestBit(*x, CommandBit(command)); ++i) {
            tarnet.ConfCommandHandling();
            if (TestBit(*x, CommandBit(command))) clock.Advance(1000);
        }
        EXPECT_FALSE(TestBit(*x, CommandBit(command)));
        // The answer is the text and its NUL, the rest of the field untouched (zero).
        const std::size_t n = strnlen(status, N);
        for (std::size_t i = n; i < N; ++i) EXPECT_EQ(status[i], '\0');
        return std::string(status, n);
    }
    void Statuses(std::uint8_t s1, std::uint8_t s2) {
        ConnectorRec(*app, 1).status = s1;
        ConnectorRec(*app, 2).status = s2;
    }
    std::string StsAvail(int c) const {
        return platform::ReadTextFile(root.path() + "/Storage/Tarnet/Cnntr" + std::to_string(c) + "/StsAvail");
    }
    Tarnet tarnet;
};

TEST(TarnetCommands, ChangeAvailabilityByConnectorStatus) {
    using namespace fennick;
    struct Case {
        int connector;
        const char* type;
        std::uint8_t s1, s2;
        const char* status;
        std::uint8_t u1, u2;  // unavailable flags after (start: 0, 0 or 1, 1 for Operative)
    };
    const Case cases[] = {
        {1, "Inoperative", kStsCharging, kStsAvailable, "Scheduled", 1, 0},
        {1, "Inoperative", kStsSuspendedEV, kStsAvailable, "Scheduled", 1, 0},
        {2, "Inoperative", kStsAvailable, kStsAvailable, "Accepted", 0, 1},
        {1, "Inoperative", kStsPreparing, kStsAvailable, "Rejected", 0, 0},
        {0, "Inoperative", kStsAvailable, kStsPreparing, "Rejected", 0, 0},
        {0, "Inoperative", kStsAvailable, kStsCharging, "Scheduled", 1, 1},
        {0, "Inoperative", kStsAvailable, kStsFinishing, "Accepted", 1, 1},
        {3, "Inoperative", kStsAvailable, kStsAvailable, "Rejected", 0, 0},
        {1, "Operative", kStsFaulted, kStsAvailable, "Rejected", 1, 1},
        {2, "Operative", kStsFaulted, kStsAvailable, "Accepted", 1, 0},
        {0, "Operative", kStsAvailable, kStsFaulted, "Rejected", 1, 1},
        {0, "Operative", kStsUnavailable, kStsUnavailable, "Accepted", 0, 0},
    };
    for (const Case& c : cases) {
        CommandRig rig;
        const bool operative = std::string(c.type) == "Operative";
        ConnectorRec(*rig.app, 1).unavailable = ConnectorRec(*rig.app, 2).unavailable = operative;
        rig.Statuses(c.s1, c.s2);
        ChangeAvailabilitySlot& s = ChangeAvailabilityOf(*rig.x);
        s.connectorId = c.connector;
        PutText(s.type, c.type);
        EXPECT_EQ(rig.Serve(kCmdChangeAvailability, s.status), c.status) << c.connector << c.type << int(c.s1);
        EXPECT_EQ(ConnectorRec(*rig.app, 1).unavailable, c.u1) << c.connector << c.type;
        EXPECT_EQ(ConnectorRec(*rig.app, 2).unavailable, c.u2) << c.connector << c.type;
        const bool changed = std::string(c.status) != "Rejected";
        for (int k : {1, 2})
            if (changed && (c.connector == 0 || c.connector == k)) {
                EXPECT_EQ(rig.StsAvail(k), operative ? "0\n" : "1\n");
            }
    }
}

TEST(TarnetCommands, RemoteStartTransactionChoosesAConnector) {
    using namespace fennick;
    struct Case {
        const char* name;
        int connector;
        std::uint8_t s1, s2;
        const char* tag1;
        const char* tag2;
        int blockedOnFinishing;
        const char* status;
        int authConnector;
    };
    const Case cases[] = {
        {"available", 1, kStsAvailable, kStsAvailable, "", "", 0, "Accepted", 1},
        {"preparing", 2, kStsAvailable, kStsPreparing, "", "", 0, "Accepted", 2},
        {"reserved", 1, kStsReserved, kStsAvailable, "", "", 0, "Accepted", 1},
        {"finishing", 1, kStsFinishing, kStsAvailable, "", "", 0, "Accepted", 1},
        {"finishing while blocked", 1, kStsFinishing, kStsAvailable, "", "", 1, "Rejected", -1},
        {"charging", 1, kStsCharging, kStsAvailable, "", "", 0, "Rejected", -1},
        {"connector holds an idTag", 1, kStsPreparing, kStsAvailable, "CARD", "", 0, "Rejected", -1},
        {"no connector: first free", -1, kStsCharging, kStsAvailable, "", "", 0, "Accepted", 0},
        {"no connector, every one holds an idTag", -1, kStsPreparing, kStsPreparing, "A", "B", 0, "Rejected", -1},
        {"connector out of range", 3, kStsAvailable, kStsAvailable, "", "", 0, "Rejected", -1},
    };
    for (const Case& c : cases) {
        CommandRig rig;
        rig.Statuses(c.s1, c.s2);
        PutText(ConnectorRec(*rig.app, 1).idTag, c.tag1);
        PutText(ConnectorRec(*rig.app, 2).idTag, c.tag2);
        rig.app->remoteStartOnFinishingBlocked = c.blockedOnFinishing;
        RemoteStartSlot& s = RemoteStartOf(*rig.x);
        s.connectorId = c.connector;
        PutText(s.idTag, "REMOTE1");
        EXPECT_EQ(rig.Serve(kCmdRemoteStartTransaction, s.status), c.status) << c.name;
        if (c.authConnector >= 0) {
            EXPECT_EQ(FieldText(rig.app->authIdTag), "REMOTE1") << c.name;
            EXPECT_EQ(rig.app->authConnectorId, c.authConnector) << c.name;
            EXPECT_EQ(rig.app->authKind, 0) << c.name;
            EXPECT_NE(rig.LogText().find("[Info] RemoteStartTransaction trigger authorzied"), std::string::npos);
        } else {
            EXPECT_EQ(rig.app->authIdTag[0], '\0') << c.name;
            EXPECT_EQ(s.idTag[0], '\0') << c.name;  // the refused request's idTag is cleared
        }
    }
}

TEST(TarnetCommands, ARemoteStartIsAuthorizedAndFlaggedForTheStation) {
    CommandRig rig;
    RemoteStartSlot& s = RemoteStartOf(*rig.x);
    s.connectorId = 2;
    PutText(s.idTag, "REMOTE1");
    ASSERT_EQ(rig.Serve(kCmdRemoteStartTransaction, s.status), "Accepted");
    // AuthorizeRemoteTxRequests is false: no Authorize goes out.
    rig.tarnet.AuthMgmt();
    EXPECT_FALSE(TestBit(*rig.x, kBitAuthorize));
    EXPECT_EQ(rig.app->authResult, 2);
    EXPECT_EQ(FieldText(ConnectorRec(*rig.app, 2).idTag), "REMOTE1");
    EXPECT_EQ(ConnectorRec(*rig.app, 2).remoteStartFlag, 1);
    EXPECT_EQ(ConnectorRec(*rig.app, 1).remoteStartFlag, 0);
    EXPECT_EQ(s.idTag[0], '\0');
}

TEST(TarnetCommands, ReservationsAreMadeReplacedAndCancelledByTheirId) {
    CommandRig rig;
    auto reserve = [&](int connector, int id, const char* tag) {
        Reservation& s = ReserveNowOf(*rig.x);
        std::memset(&s, 0, sizeof s);
        s.connectorId = connector;
        s.reservationId = id;
        PutText(s.idTag, tag);
        PutText(s.expiryDate, "2024-03-01T10:25:30Z");
        return rig.Serve(kCmdReserveNow, s.status);
    };
    auto cancel = [&](int id) {
        CancelReservationOf(*rig.x).reservationId = id;
        return rig.Serve(kCmdCancelReservation, CancelReservationOf(*rig.x).status);
    };
    EXPECT_EQ(cancel(0), "Rejected");  // no reservation anywhere: 0 matches nothing
    EXPECT_EQ(reserve(1, 0, "ZERO"), "Accepted");
    EXPECT_EQ(reserve(1, 0, "ZERO2"), "Occupied");  // an empty id never finds a reservation
    EXPECT_EQ(cancel(0), "Rejected");
    fennick::ConnectorRec(*rig.app, 1).reserved = 0;
    std::memset(&rig.tarnet.Runtime(1).reservation, 0, sizeof(Reservation));

    EXPECT_EQ(reserve(1, 11, "CARD1"), "Accepted");
    EXPECT_EQ(fennick::ConnectorRec(*rig.app, 1).reserved, 1);
    EXPECT_EQ(reserve(1, 12, "CARD2"), "Occupied");  // before the Reserved status arrives
    rig.Statuses(fennick::kStsReserved, fennick::kStsAvailable);
    EXPECT_EQ(reserve(1, 12, "CARD2"), "Occupied");
    EXPECT_EQ(reserve(1, 11, "CARD3"), "Accepted");
    EXPECT_EQ(FieldText(rig.tarnet.Runtime(1).reservation.idTag), "CARD3");
    rig.Statuses(fennick::kStsReserved, fennick::kStsFaulted);
    EXPECT_EQ(reserve(2, 13, "CARD4"), "Faulted");
    rig.Statuses(fennick::kStsReserved, fennick::kStsUnavailable);
    EXPECT_EQ(reserve(2, 13, "CARD4"), "Unavailable");
    EXPECT_EQ(reserve(0, 13, "CARD4"), "Rejected");
    EXPECT_EQ(cancel(12), "Rejected");
    EXPECT_EQ(cancel(11), "Accepted");
    EXPECT_EQ(fennick::ConnectorRec(*rig.app, 1).reserved, 0);
    EXPECT_EQ(rig.tarnet.Runtime(1).reservation.reservationId, 0);

    // An expired one ends by itself.
    rig.Statuses(fennick::kStsAvailable, fennick::kStsAvailable);
    EXPECT_EQ(reserve(2, 14, "CARD5"), "Accepted");
    rig.clock.Advance(300000);
    rig.tarnet.RsrvNowMgmt();
    EXPECT_EQ(fennick::ConnectorRec(*rig.app, 2).reserved, 0);
    EXPECT_NE(rig.LogText().find("[Info] Reservation is expired"), std::string::npos);
}

TEST(TarnetCommands, RemoteStopFindsOnlyARunningTransaction) {
    CommandRig rig;
    auto stop = [&](int id) {
        RemoteStopOf(*rig.x).transactionId = id;
        return rig.Serve(kCmdRemoteStopTransaction, RemoteStopOf(*rig.x).status);
    };
    EXPECT_EQ(stop(0), "Rejected");
    EXPECT_EQ(rig.tarnet.Runtime(1).remoteStopReq, 0);
    rig.tarnet.Runtime(2).transactionId = 77;
    EXPECT_EQ(stop(77), "Rejected");  // the id of a transaction no longer running
    rig.tarnet.Runtime(2).txnStartTime = 1709288000;
    EXPECT_EQ(stop(78), "Rejected");
    EXPECT_EQ(stop(77), "Accepted");
    EXPECT_EQ(rig.tarnet.Runtime(2).remoteStopReq, 1);
    EXPECT_EQ(rig.tarnet.Runtime(1).remoteStopReq, 0);
}

TEST(TarnetCommands, TriggerMessageRaisesTheRequestAsked) {
    struct Case {
        const char* message;
        int connector;
        const char* status;
        FlagBit bit;  // {0, 0}: none
        int meterTrigger;
    };
    const Case cases[] = {
        {"BootNotification", -1, "Accepted", kBitBootNotification, 0},
        {"Heartbeat", -1, "Accepted", kBitHeartbeat, 0},
        {"DiagnosticsStatusNotification", -1, "Accepted", kBitDiagnosticsStatus, 0},
        {"FirmwareStatusNotification", -1, "Accepted", kBitFirmwareStatus, 0},
        {"MeterValues", 0, "Rejected", {0, 0}, 0},
        {"MeterValues", 3, "Rejected", {0, 0}, 0},
        {"MeterValues", -1, "Accepted", {0, 0}, 1},
        {"MeterValues", 2, "Accepted", {0, 0}, 1},
        {"StatusNotification", 0, "Accepted", {0, 0}, 0},
        {"StatusNotification", 3, "Rejected", {0, 0}, 0},
        {"SignCertificate", 1, "NotImplemented", {0, 0}, 0},
    };
    for (const Case& c : cases) {
        CommandRig rig;
        TriggerMessageSlot& s = TriggerMessageOf(*rig.x);
        PutText(s.requestedMessage, c.message);
        s.connectorId = c.connector;
        EXPECT_EQ(rig.Serve(kCmdTriggerMessage, s.status), c.status) << c.message << c.connector;
        if (c.bit.mask) {
            EXPECT_TRUE(TestBit(*rig.x, c.bit)) << c.message;
        }
        std::int32_t which = 0;
        EXPECT_EQ(rig.tarnet.MeterValuesTriggered(&which), c.meterTrigger != 0) << c.message << c.connector;
        if (c.meterTrigger) {
            EXPECT_EQ(which, c.connector);
        }
    }
}

TEST(TarnetCommands, UnlockIsAnsweredByWhatTheStationDid) {
    struct Case {
        const char* name;
        int connector;
        std::uint8_t lock;
        int takenAfterS;  // -1: never
        const char* status;
        int passes;
    };
    const Case cases[] = {
        {"taken at once", 1, 1, 0, "Unlocked", 2},
        {"taken after 4 s", 1, 1, 4, "Unlocked", 6},
        {"never taken", 2, 1, -1, "UnlockFailed", 6},
        {"no lock", 1, 0, 0, "NotSupported", 1},
        {"no such connector", 3, 1, 0, "NotSupported", 1},
    };
    for (const Case& c : cases) {
        CommandRig rig;
        rig.app->connectorRatings[0].hasConnectorLock = c.lock;
        rig.app->connectorRatings[1].hasConnectorLock = c.lock;
        UnlockConnectorSlot& s = UnlockConnectorOf(*rig.x);
        s.connectorId = c.connector;
        SetBit(*rig.x, CommandBit(kCmdUnlockConnector));
        int passes = 0;
        for (int second = 0; second < 10 && TestBit(*rig.x, CommandBit(kCmdUnlockConnector)); ++second) {
            rig.tarnet.ConfCommandHandling();
            ++passes;
            if (second == c.takenAfterS && c.connector <= 2) ConnectorRec(*rig.app, c.connector).unlockReq = 0;
            rig.clock.Advance(1000);
        }
        EXPECT_EQ(FieldText(s.status), c.status) << c.name;
        EXPECT_EQ(passes, c.passes) << c.name;
        for (int k : {1, 2}) EXPECT_EQ(ConnectorRec(*rig.app, k).unlockReq, 0) << c.name;
    }
}

TEST(TarnetCommands, CacheDataTransferAndOneCommandPerBytePerPass) {
    CommandRig rig;
    rig.tarnet.Cache().Update("CARD", "", "", 0);
    ASSERT_EQ(rig.tarnet.Cache().Check("CARD", nullptr), kCacheAccepted);
    std::memcpy(ClearCacheOf(*rig.x).status, "leftover-bytes!", 16);
    SetBit(*rig.x, CommandBit(kCmdClearCache));
    SetBit(*rig.x, CommandBit(kCmdDataTransfer));
    SetBit(*rig.x, CommandBit(kCmdRemoteStopTransaction));  // another byte: same pass
    rig.tarnet.ConfCommandHandling();
    EXPECT_FALSE(TestBit(*rig.x, CommandBit(kCmdClearCache)));
    EXPECT_TRUE(TestBit(*rig.x, CommandBit(kCmdDataTransfer)));
    EXPECT_FALSE(TestBit(*rig.x, CommandBit(kCmdRemoteStopTransaction)));
    EXPECT_EQ(std::string(ClearCacheOf(*rig.x).status, 16), std::string("Accepted") + std::string(8, '\0'));
    EXPECT_EQ(rig.tarnet.Cache().Check("CARD", nullptr), kCacheUnknown);
    rig.tarnet.ConfCommandHandling();
    EXPECT_EQ(std::string(DataTransferCmdOf(*rig.x).status, 16), "UnknownVendorId" + std::string(1, '\0'));
}

}  // namespace
