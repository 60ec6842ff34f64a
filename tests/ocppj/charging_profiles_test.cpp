#include "charging_profiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "messages.h"
#include "ocpp_time.h"
#include "ocppj_rig.h"
#include "tarnet.h"

using namespace ocppj;

namespace {

constexpr std::int64_t kNow = 1709288430;     // 2024-03-01T10:20:30Z, a Friday
constexpr std::int64_t kMonday = 1709510400;  // 2024-03-04T00:00:00Z

struct P {
    int connector;
    int id;
    int stack;
    const char* purpose;
    const char* kind;
    std::vector<std::pair<int, float>> periods;
    const char* unit = "A";
    std::int64_t start = 0;  // Absolute: startSchedule
    int duration = 0;
    const char* recurrency = "";
    const char* validFrom = "";
    int transactionId = 0;
    float minRate = 0;
};

ChgProfile Make(const P& p) {
    ChgProfile c{};
    c.connectorId = p.connector;
    c.chargingProfileId = p.id;
    c.transactionId = p.transactionId;
    c.stackLevel = p.stack;
    PutText(c.chargingProfilePurpose, p.purpose);
    PutText(c.chargingProfileKind, p.kind);
    PutText(c.recurrencyKind, p.recurrency);
    PutText(c.validFrom, p.validFrom);
    c.duration = p.duration;
    if (p.start) PutText(c.startSchedule, EpochToUTC(p.start));
    PutText(c.chargingRateUnit, p.unit);
    std::memset(c.chargingSchedulePeriod, 0xFF, sizeof c.chargingSchedulePeriod);
    for (std::size_t i = 0; i < p.periods.size(); ++i)
        c.chargingSchedulePeriod[i] = SchedulePeriod{p.periods[i].first, p.periods[i].second, 3};
    c.minChargingRate = p.minRate;
    return c;
}

ProfileTable Table(const std::vector<P>& ps) {
    ProfileTable t{};
    for (std::size_t i = 0; i < ps.size(); ++i) t.slot[i] = Make(ps[i]);
    return t;
}

TEST(ChargingLimits, ProfilesCombineIntoEachConnectorsLimits) {
    struct Case {
        const char* name;
        std::vector<P> profiles;
        std::vector<ConnectorTxn> txns;
        std::int64_t t;
        float limitA, limitW, rateA;
    };
    const std::vector<ConnectorTxn> idle{{0, 0}, {0, 0}};
    const std::vector<ConnectorTxn> both{{7, 1709280000}, {8, 1709280000}};
    const std::vector<ConnectorTxn> one{{7, 1709280000}, {0, 0}};
    const P max100{0, 1, 0, "ChargePointMaxProfile", "Absolute", {{0, 100}}, "A", kNow - 10};
    const P max20{0, 1, 0, "ChargePointMaxProfile", "Absolute", {{0, 20}}, "A", kNow - 10};
    const P tx32{1, 2, 0, "TxProfile", "Absolute", {{0, 32}}, "A", kNow - 10, 0, "", "", 7};
    const P tx16{1, 2, 0, "TxProfile", "Absolute", {{0, 16}}, "A", kNow - 10, 0, "", "", 7, 6};
    const P def10{1, 3, 0, "TxDefaultProfile", "Absolute", {{0, 10}}, "A", kNow - 10};
    const P station12{0, 4, 0, "TxDefaultProfile", "Absolute", {{0, 12}}, "A", kNow - 10};
    const Case cases[] = {
        {"no profile", {}, idle, kNow, -1, -1, 0},
        {"max shared by two charging", {max100}, both, kNow, 50, -1, 0},
        {"max whole with none charging", {max100}, idle, kNow, 100, -1, 0},
        {"tx under a lower max", {max20, tx32}, one, kNow, 20, -1, 0},
        {"tx below the max", {max20, tx16}, one, kNow, 16, -1, 6},
        {"tx hides the default", {tx16, def10}, one, kNow, 16, -1, 6},
        {"tx of another transaction does not apply", {tx16, def10}, {{9, 1709280000}, {0, 0}}, kNow, 10, -1, 0},
        {"default of the connector", {def10, station12}, one, kNow, 10, -1, 0},
        {"station default when the connector has none", {station12}, one, kNow, 12, -1, 0},
        {"connector default not yet valid hides the station's",
         {P{1, 3, 0, "TxDefaultProfile", "Absolute", {{0, 10}}, "A", kNow - 10, 0, "", "2024-03-02T00:00:00Z"},
          station12},
         one, kNow, -1, -1, 0},
        {"stack 2 rules while it applies",
         {P{1, 3, 1, "TxDefaultProfile", "Absolute", {{0, 10}}, "A", kNow - 100},
          P{1, 5, 2, "TxDefaultProfile", "Absolute", {{0, 30}}, "A", kNow - 100, 150}},
         one, kNow, 30, -1, 0},
        {"stack 1 again once stack 2 is over",
         {P{1, 3, 1, "TxDefaultProfile", "Absolute", {{0, 10}}, "A", kNow - 100},
          P{1, 5, 2, "TxDefaultProfile", "Absolute", {{0, 30}}, "A", kNow - 100, 100}},
         one, kNow, 10, -1, 0},
        {"daily before 08:00", {P{1, 3, 0, "TxDefaultProfile", "Recurring", {{0, 10}, {28800, 20}}, "A", 0, 0, "Daily"}},
         one, kMonday + 28799, 10, -1, 0},
        {"daily from 08:00", {P{1, 3, 0, "TxDefaultProfile", "Recurring", {{0, 10}, {28800, 20}}, "A", 0, 0, "Daily"}},
         one, kMonday + 28800, 20, -1, 0},
        {"weekly on Monday 00:00:30",
         {P{1, 3, 0, "TxDefaultProfile", "Recurring", {{0, 11}, {60, 22}}, "A", 0, 0, "Weekly"}}, one, kMonday + 30,
         11, -1, 0},
        {"relative without a transaction", {P{2, 3, 0, "TxDefaultProfile", "Relative", {{0, 10}}}}, one, kNow, -1, -1,
         0},
        {"relative from the transaction's start", {P{1, 3, 0, "TxDefaultProfile", "Relative", {{0, 10}, {3600, 20}}}},
         one, 1709280000 + 3600, 20, -1, 0},
        {"a W profile never narrows the A limit",
         {max20, P{1, 2, 0, "TxProfile", "Absolute", {{0, 5000}}, "W", kNow - 10, 0, "", "", 7}}, one, kNow, 20, 5000,
         0},
        {"a period not yet started gives nothing",
         {P{1, 3, 0, "TxDefaultProfile", "Absolute", {{60, 10}}, "A", kNow - 10}}, one, kNow, -1, -1, 0},
    };
    for (const Case& c : cases) {
        const ConnectorLimits l = CombinedLimits(Table(c.profiles), 1, c.txns, c.t);
        EXPECT_FLOAT_EQ(l.limitA, c.limitA) << c.name;
        EXPECT_FLOAT_EQ(l.limitW, c.limitW) << c.name;
        EXPECT_FLOAT_EQ(l.rateA, c.rateA) << c.name;
    }
}

std::vector<std::pair<int, float>> Periods(const GetCompositeScheduleSlot& s) {
    std::vector<std::pair<int, float>> out;
    for (const SchedulePeriod& p : s.chargingSchedulePeriod) {
        if (p.startPeriod == -1) break;
        EXPECT_EQ(p.numberPhases, 1);
        out.emplace_back(p.startPeriod, p.limit);
    }
    return out;
}

TEST(CompositeSchedule, PeriodsWhereTheLimitChanges) {
    fennick::ConnectorRating ratings[2]{};
    ratings[0].maxCurrentA = 125;
    ratings[0].maxPowerW = 50000;
    ratings[1] = ratings[0];
    const std::vector<ConnectorTxn> txns{{0, 0}, {0, 0}};
    struct Case {
        const char* name;
        std::vector<P> profiles;
        const char* unit;
        std::vector<std::pair<int, float>> periods;
    };
    const Case cases[] = {
        {"no profile", {}, "A", {{0, 125}}},
        {"no profile in W", {}, "W", {{0, 50000}}},
        {"absolute 16 A from now + 600", {P{1, 1, 0, "TxDefaultProfile", "Absolute", {{0, 16}}, "A", kNow + 600}},
         "A", {{0, 125}, {600, 16}}},
        {"and back to the maximum at its end",
         {P{1, 1, 0, "TxDefaultProfile", "Absolute", {{0, 16}}, "A", kNow + 600, 1200}}, "A",
         {{0, 125}, {600, 16}, {1800, 125}}},
        {"equal limits give one period",
         {P{0, 1, 0, "ChargePointMaxProfile", "Absolute", {{0, 20}, {300, 20}}, "A", kNow}}, "A", {{0, 20}}},
        {"a W profile does not shape an A schedule",
         {P{1, 1, 0, "TxDefaultProfile", "Absolute", {{0, 16}}, "W", kNow + 600}}, "A", {{0, 125}}},
        {"a daily profile gives today's starts only",
         {P{1, 1, 0, "TxDefaultProfile", "Recurring", {{0, 10}, {39600, 20}, {72000, 30}}, "A", 0, 0, "Daily"}},
         "A", {{0, 10}, {39600 - 37230, 20}}},
    };
    for (const Case& c : cases) {
        const ProfileTable table = Table(c.profiles);
        GetCompositeScheduleSlot slot{};
        slot.connectorId = 1;
        slot.duration = 3600;
        PutText(slot.chargingRateUnit, c.unit);
        ASSERT_TRUE(CompositeSchedule(table, txns, ratings, kNow, slot)) << c.name;
        EXPECT_EQ(FieldText(slot.status), "Accepted");
        EXPECT_EQ(FieldText(slot.scheduleStart), "2024-03-01T10:20:30Z");
        EXPECT_EQ(FieldText(slot.scheduleUnit), c.unit);
        EXPECT_EQ(Periods(slot), c.periods) << c.name;
        EXPECT_FLOAT_EQ(slot.minChargingRate, 0);
    }
    GetCompositeScheduleSlot slot{};
    for (int connector : {0, 3}) {
        slot.connectorId = connector;
        EXPECT_FALSE(CompositeSchedule(ProfileTable{}, txns, ratings, kNow, slot));
        EXPECT_EQ(FieldText(slot.status), "Rejected");
        EXPECT_EQ(slot.chargingSchedulePeriod[0].startPeriod, -1);
    }
}

// Tarnet with two connectors whose ratings bound profiles at 6..125 A.
struct ProfileRig : OcppjRig {
    ProfileRig() {
        for (int c = 0; c < 2; ++c) {
            app->connectorRatings[c].maxCurrentA = 125;
            app->connectorRatings[c].minCurrentA = 6;
            app->connectorRatings[c].maxPowerW = 50000;
        }
        app->configValues.ConnectionTimeOut = 60;
        EXPECT_TRUE(tarnet.Init(*app, *x));
    }
    std::string Set(int connector, const P& p) {
        SetChargingProfileSlot& s = SetChargingProfileOf(*x);
        std::memset(&s, 0, sizeof s);
        ChgProfile body = Make(p);
        body.connectorId = connector;
        std::memcpy(s.profile, &body, sizeof s.profile);
        return Serve(kCmdSetChargingProfile, s.status);
    }
    std::string Clear(int id, int connector, const char* purpose, int stack) {
        ClearChargingProfileSlot& s = ClearChargingProfileOf(*x);
        std::memset(&s, 0, sizeof s);
        s.id = id;
        s.connectorId = connector;
        PutText(s.chargingProfilePurpose, purpose);
        s.stackLevel = stack;
        return Serve(kCmdClearChargingProfile, s.status);
    }
    template <std::size_t N>
    std::string Serve(int command, const char (&status)[N]) {
        SetBit(*x, CommandBit(command));
        tarnet.ConfCommandHandling();
        EXPECT_FALSE(TestBit(*x, CommandBit(command)));
        return FieldText(status);
    }
    std::vector<int> Ids() const {
        std::vector<int> ids;
        for (const ChgProfile& p : tarnet.Profiles().slot)
            if (p.chargingProfilePurpose[0]) ids.push_back(p.chargingProfileId * 10 + p.connectorId);
        return ids;
    }
    std::string File() const {
        return platform::ReadTextFile(root.path() + "/Storage/Tarnet/ChgProfile", 1 << 16);
    }
    Tarnet tarnet;
};

TEST(ChargingProfileStore, SetChargingProfileChecksPurposeConnectorAndTransaction) {
    ProfileRig rig;
    rig.tarnet.Runtime(1).transactionId = 7;
    rig.tarnet.Runtime(1).txnStartTime = static_cast<std::int32_t>(kNow - 60);
    struct Case {
        int connector;
        const char* purpose;
        int transactionId;
        const char* status;
        const char* log;
    };
    const Case cases[] = {
        {1, "ChargePointMaxProfile", 0, "Rejected", "Connector ID is not 0 in MaxProfile"},
        {0, "ChargePointMaxProfile", 0, "Accepted", ""},
        {3, "TxDefaultProfile", 0, "Rejected", "Connector ID is over upper limit in TxDefaultProfile"},
        {2, "TxDefaultProfile", 0, "Accepted", ""},
        {0, "TxProfile", 7, "Rejected", "Connector ID is 0 in TxProfile"},
        {3, "TxProfile", 7, "Rejected", "Connector ID is over upper limit in TxProfile"},
        {2, "TxProfile", 7, "Rejected", "No transaction is alive for the connector ID in TxProfile"},
        {1, "TxProfile", 8, "Rejected", "does not match the specific transaction of connector"},
        {1, "TxProfile", 7, "Accepted", ""},
        {1, "Other", 7, "Rejected", "ChargingProfilePurpose is not correct"},
    };
    int id = 1;
    for (const Case& c : cases) {
        P p{c.connector, id++, 0, c.purpose, "Absolute", {{0, 16}}, "A", kNow};
        p.transactionId = c.transactionId;
        EXPECT_EQ(rig.Set(c.connector, p), c.status) << c.purpose << " on " << c.connector;
        if (c.log[0]) {
            EXPECT_NE(rig.LogText().find(c.log), std::string::npos) << c.log;
        }
    }
}

TEST(ChargingProfileStore, StackLevelsSlotsAndTheFile) {
    ProfileRig rig;
    EXPECT_EQ(rig.Set(1, P{1, 1, 3, "TxDefaultProfile", "Absolute", {{0, 16}}}), "Accepted");
    EXPECT_EQ(rig.Set(1, P{1, 2, 4, "TxDefaultProfile", "Absolute", {{0, 16}}}), "Rejected");
    EXPECT_NE(rig.LogText().find("[Info] Profile stack level is overflow \n"), std::string::npos);
    // Same stack level and purpose on the other connector takes the slot over.
    EXPECT_EQ(rig.Set(2, P{2, 5, 3, "TxDefaultProfile", "Absolute", {{0, 200}}}), "Accepted");
    EXPECT_EQ(rig.Ids(), std::vector<int>{52});
    EXPECT_NE(rig.LogText().find("[Info] Profile period limit is over range"), std::string::npos);
    // Same id replaces whatever its stack level.
    EXPECT_EQ(rig.Set(1, P{1, 5, 1, "TxDefaultProfile", "Absolute", {{0, 16}}}), "Accepted");
    EXPECT_EQ(rig.Ids(), std::vector<int>{51});
    for (int id = 10; id < 29; ++id)
        EXPECT_EQ(rig.Set(0, P{0, id, id % 4, (id / 4) % 2 ? "TxDefaultProfile" : "ChargePointMaxProfile", "Absolute",
                                {{0, 16}}}),
                  "Accepted");
    EXPECT_EQ(rig.Ids().size(), 8u);  // four stack levels of two purposes, the first one replaced
    EXPECT_EQ(rig.File().size(), 8240u);

    // The table comes back whole with the next start.
    Tarnet again;
    ASSERT_TRUE(again.Init(*rig.app, *rig.x));
    EXPECT_EQ(std::memcmp(&again.Profiles(), &rig.tarnet.Profiles(), sizeof(ProfileTable)), 0);
}

TEST(ChargingProfileStore, AFailedWriteLeavesTheWholeOldFile) {
    ProfileRig rig;
    ASSERT_EQ(rig.Set(1, P{1, 1, 0, "TxDefaultProfile", "Absolute", {{0, 16}}}), "Accepted");
    const std::string before = rig.File();
    // A cut left a torn temporary file; the next write cannot even make one.
    const std::string tmp = rig.root.path() + "/Storage/Tarnet/ChgProfile.tmp";
    std::filesystem::create_directory(tmp);
    EXPECT_EQ(rig.Set(1, P{1, 2, 1, "TxDefaultProfile", "Absolute", {{0, 20}}}), "Accepted");
    EXPECT_EQ(rig.File(), before);
    EXPECT_NE(rig.LogText().find("[Error][Tarnet] ChgProfile write failed"), std::string::npos);
    std::filesystem::remove(tmp);
    platform::ReplaceFile(tmp, std::string(100, 'x'));
    Tarnet again;
    ASSERT_TRUE(again.Init(*rig.app, *rig.x));
    EXPECT_EQ(std::memcmp(&again.Profiles(), before.data(), sizeof(ProfileTable)), 0);
}

TEST(ChargingProfileStore, ClearChargingProfileRemovesEveryMatch) {
    ProfileRig rig;
    auto fill = [&] {
        rig.Clear(-1, -1, "", -1);
        rig.Set(1, P{1, 1, 1, "TxDefaultProfile", "Absolute", {{0, 16}}});
        rig.Set(2, P{2, 2, 2, "TxDefaultProfile", "Absolute", {{0, 16}}});
        rig.Set(0, P{0, 3, 1, "ChargePointMaxProfile", "Absolute", {{0, 16}}});
        rig.Set(2, P{2, 4, 0, "TxDefaultProfile", "Relative", {{0, 16}}});
    };
    struct Case {
        int id, connector;
        const char* purpose;
        int stack;
        const char* status;
        std::vector<int> left;
    };
    const Case cases[] = {
        {99, -1, "", -1, "Unknown", {11, 22, 30, 42}},
        {2, -1, "", -1, "Accepted", {11, 30, 42}},
        {-1, -1, "TxDefaultProfile", 1, "Accepted", {22, 30, 42}},  // no connector: any
        {-1, 0, "TxDefaultProfile", 1, "Accepted", {22, 30, 42}},
        {-1, 2, "TxDefaultProfile", -1, "Accepted", {11, 30}},
        {-1, 2, "", 0, "Accepted", {11, 22, 30}},
        {-1, 1, "ChargePointMaxProfile", -1, "Unknown", {11, 22, 30, 42}},
        {-1, 3, "TxDefaultProfile", -1, "Unknown", {11, 22, 30, 42}},
    };
    for (const Case& c : cases) {
        fill();
        EXPECT_EQ(rig.Clear(c.id, c.connector, c.purpose, c.stack), c.status) << c.id << " " << c.purpose;
        EXPECT_EQ(rig.Ids(), c.left) << c.id << " " << c.purpose;
    }
    fill();
    EXPECT_EQ(rig.Clear(-1, -1, "", -1), "Accepted");
    EXPECT_TRUE(rig.Ids().empty());
    EXPECT_EQ(rig.File(), std::string(8240, '\0'));
    EXPECT_NE(rig.LogText().find("[Info][Tarnet] clear all profile"), std::string::npos);
}

TEST(ChargingProfileStore, LimitsReachTheConnectorRecordsEachSecond) {
    ProfileRig rig;
    rig.tarnet.Runtime(2).transactionId = 8;
    rig.tarnet.Runtime(2).txnStartTime = static_cast<std::int32_t>(kNow - 5);
    rig.tarnet.ChgProfileMgmt();
    EXPECT_FLOAT_EQ(fennick::ConnectorRec(*rig.app, 2).currentLimitA, -1.0f);
    EXPECT_FLOAT_EQ(fennick::ConnectorRec(*rig.app, 2).powerLimitW, -1.0f);
    P tx{2, 9, 0, "TxProfile", "Absolute", {{0, 16}}, "A", kNow - 5, 0, "", "", 8, 6};
    ASSERT_EQ(rig.Set(2, tx), "Accepted");
    ASSERT_EQ(rig.Set(0, P{0, 10, 0, "ChargePointMaxProfile", "Absolute", {{0, 40000}}, "W", kNow - 5}), "Accepted");
    rig.tarnet.ChgProfileMgmt();
    const fennick::ConnectorRecord& r = fennick::ConnectorRec(*rig.app, 2);
    EXPECT_FLOAT_EQ(r.currentLimitA, 16);
    EXPECT_FLOAT_EQ(r.currentMinRate, 6);
    EXPECT_FLOAT_EQ(r.powerLimitW, 40000);
    EXPECT_FLOAT_EQ(fennick::ConnectorRec(*rig.app, 1).currentLimitA, -1.0f);

    // The transaction ends: its profile is gone within a second, from the file too.
    rig.tarnet.Runtime(2).txnStartTime = 0;
    rig.clock.Advance(1000);
    rig.tarnet.ChgProfileMgmt();
    EXPECT_EQ(rig.Ids(), std::vector<int>{100});
    EXPECT_FLOAT_EQ(r.currentLimitA, -1.0f);
    ProfileTable onDisk{};
    std::memcpy(&onDisk, rig.File().data(), sizeof onDisk);
    EXPECT_EQ(onDisk.slot[0].chargingProfilePurpose[0], '\0');
}

TEST(ChargingProfileStore, ARemoteStartsProfileTakesItsTransactionOrGoes) {
    ProfileRig rig;
    auto remoteStart = [&](int id) {
        RemoteStartSlot& s = RemoteStartOf(*rig.x);
        std::memset(&s, 0, sizeof s);
        s.connectorId = 1;
        PutText(s.idTag, "CARD" + std::to_string(id));
        ChgProfile p = Make(P{1, id, 0, "TxProfile", "Relative", {{0, 16}}});
        std::memcpy(s.profile, reinterpret_cast<std::uint8_t*>(&p) + kProfileBodyOffset, kProfileBodySize);
        std::memset(rig.app->authIdTag, 0, sizeof rig.app->authIdTag);
        return rig.Serve(kCmdRemoteStartTransaction, s.status);
    };
    ASSERT_EQ(remoteStart(1), "Accepted");
    EXPECT_EQ(rig.Ids(), std::vector<int>{11});
    for (int s = 0; s < 3; ++s) {
        rig.clock.Advance(1000);
        rig.tarnet.ChgProfileMgmt();
    }
    rig.tarnet.Runtime(1).txnStartTime = static_cast<std::int32_t>(rig.clock.WallMs() / 1000);
    rig.tarnet.Runtime(1).transactionId = 4242;
    rig.clock.Advance(1000);
    rig.tarnet.ChgProfileMgmt();
    EXPECT_EQ(rig.tarnet.Profiles().slot[0].transactionId, 4242);
    EXPECT_FLOAT_EQ(fennick::ConnectorRec(*rig.app, 1).currentLimitA, 16);

    // A start that never comes: the profile waits ConnectionTimeOut + 2 s.
    rig.tarnet.Runtime(1).txnStartTime = 0;
    rig.tarnet.Runtime(1).transactionId = 0;
    rig.tarnet.ChgProfileMgmt();
    fennick::ConnectorRec(*rig.app, 1).idTag[0] = '\0';
    ASSERT_EQ(remoteStart(2), "Accepted");
    for (int s = 0; s < 61; ++s) {
        rig.clock.Advance(1000);
        rig.tarnet.ChgProfileMgmt();
    }
    EXPECT_EQ(rig.Ids(), std::vector<int>{21});
    rig.clock.Advance(1000);
    rig.tarnet.ChgProfileMgmt();
    rig.tarnet.ChgProfileMgmt();
    EXPECT_TRUE(rig.Ids().empty());
}

}  // namespace
