#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "command_slots.h"
#include "messages.h"
#include "ocppj_rig.h"

using namespace ocppj;
using nlohmann::json;

namespace {

std::string Periods(int n) {
    std::string s = "[";
    for (int i = 0; i < n; ++i) s += (i ? "," : "") + std::string(R"({"startPeriod":)") + std::to_string(i * 60) + R"(,"limit":16})";
    return s + "]";
}

std::string LocalList(int n) {
    std::string s = "[";
    for (int i = 0; i < n; ++i)
        s += (i ? "," : "") + std::string(R"({"idTag":"TAG)") + std::to_string(i) +
             R"(","idTagInfo":{"status":"Accepted","expiryDate":"2030-01-01T00:00:00Z","parentIdTag":"P"}})";
    return s + "]";
}

TEST(OcppjCommandMessages, PayloadsAreCheckedWholeBeforeTheyReachTheSlot) {
    OcppjRig rig;
    const std::string profile20 = R"({"connectorId":1,"csChargingProfiles":{"chargingProfileId":1,"stackLevel":0,)"
                                  R"("chargingProfilePurpose":"TxDefaultProfile","chargingProfileKind":"Absolute",)"
                                  R"("chargingSchedule":{"chargingRateUnit":"A","chargingSchedulePeriod":)" +
                                  Periods(20) + "}}}";
    const std::string profile21 = profile20.substr(0, profile20.find("[")) + Periods(21) + "}}}";
    const std::string list100 = R"({"listVersion":2,"updateType":"Full","localAuthorizationList":)" + LocalList(100) + "}";
    const std::string list101 = R"({"listVersion":2,"updateType":"Full","localAuthorizationList":)" + LocalList(101) + "}";
    struct Case {
        const char* action;
        std::string payload;
        const char* error;
    };
    const Case cases[] = {
        {"CancelReservation", R"({"reservationId":5})", ""},
        {"CancelReservation", R"({})", "OccurenceConstraintViolation"},
        {"ChangeAvailability", R"({"connectorId":1,"type":"Inoperative"})", ""},
        {"ChangeAvailability", R"({"connectorId":"1","type":"Inoperative"})", "TypeConstraintViolation"},
        {"ClearCache", "{}", ""},
        {"ClearChargingProfile", "{}", ""},
        {"DataTransfer", R"({"vendorId":"V","data":{"any":[1,2]}})", ""},
        {"GetCompositeSchedule", R"({"connectorId":1,"duration":3600,"chargingRateUnit":"A"})", ""},
        {"GetLocalListVersion", "{}", ""},
        {"RemoteStartTransaction", R"({"idTag":"ABC"})", ""},
        {"RemoteStartTransaction", R"({"idTag":"123456789012345678901"})", "PropertyConstraintViolation"},
        {"RemoteStopTransaction", R"({"transactionId":7})", ""},
        {"ReserveNow", R"({"connectorId":1,"expiryDate":"2024-03-01T10:25:30Z","idTag":"A","reservationId":3})", ""},
        {"ReserveNow", R"({"connectorId":1,"idTag":"A","reservationId":3})", "OccurenceConstraintViolation"},
        {"ReserveNow", R"({"connectorId":1,"expiryDate":"not a date","idTag":"A","reservationId":3})",
         "TypeConstraintViolation"},
        {"ReserveNow", R"({"connectorId":1,"expiryDate":"2024-13-01T10:25:30Z","idTag":"A","reservationId":3})",
         "TypeConstraintViolation"},
        {"SendLocalList", list100, ""},
        {"SendLocalList", list101, "OccurenceConstraintViolation"},
        {"SetChargingProfile", profile20, ""},
        {"SetChargingProfile", profile21, "OccurenceConstraintViolation"},
        {"SetChargingProfile", R"({"connectorId":1})", "OccurenceConstraintViolation"},
        {"TriggerMessage", R"({"requestedMessage":"Heartbeat"})", ""},
        {"UnlockConnector", R"({"connectorId":1})", ""},
    };
    for (const Case& c : cases) {
        std::memset(rig.x.get(), 0xAB, sizeof *rig.x);
        const int command = CommandIndex(c.action);
        CommandCheck r = StoreCommand(c.action, json::parse(c.payload), *rig.x);
        EXPECT_EQ(r.errorCode, c.error) << c.action << " " << c.payload.substr(0, 80);
        if (r.errorCode.empty()) continue;
        // A refused command leaves nothing behind in its slot.
        const SlotRange slot = kCommandSlots[command];
        const auto* b = reinterpret_cast<const std::uint8_t*>(rig.x.get()) + slot.offset;
        EXPECT_EQ(std::count(b, b + slot.size, 0), static_cast<long>(slot.size)) << c.action;
    }
}

TEST(OcppjCommandMessages, AbsentFieldsTakeTheirMarks) {
    OcppjRig rig;
    StoreCommand("RemoteStartTransaction", json::parse(R"({"idTag":"ABC"})"), *rig.x);
    const RemoteStartSlot& rs = RemoteStartOf(*rig.x);
    EXPECT_EQ(rs.connectorId, -1);
    EXPECT_EQ(ProfileBodyPurpose(rs.profile), "");
    const std::uint8_t* periods = rs.profile + offsetof(ChgProfile, chargingSchedulePeriod) - kProfileBodyOffset;
    EXPECT_EQ(std::count(periods, periods + 240, 0xFF), 240);

    StoreCommand("ClearChargingProfile", json::parse("{}"), *rig.x);
    const ClearChargingProfileSlot& cc = ClearChargingProfileOf(*rig.x);
    EXPECT_EQ(cc.id, -1);
    EXPECT_EQ(cc.connectorId, -1);
    EXPECT_EQ(cc.stackLevel, -1);
    EXPECT_EQ(cc.chargingProfilePurpose[0], '\0');

    StoreCommand("TriggerMessage", json::parse(R"({"requestedMessage":"MeterValues"})"), *rig.x);
    EXPECT_EQ(TriggerMessageOf(*rig.x).connectorId, -1);

    StoreCommand("SetChargingProfile",
                 json::parse(R"({"connectorId":2,"csChargingProfiles":{"chargingProfileId":9,"transactionId":4,)"
                             R"("stackLevel":3,"chargingProfilePurpose":"TxProfile","chargingProfileKind":"Recurring",)"
                             R"("recurrencyKind":"Daily","validFrom":"2024-01-01T00:00:00Z","chargingSchedule":)"
                             R"({"duration":600,"chargingRateUnit":"W","minChargingRate":1.5,)"
                             R"("chargingSchedulePeriod":[{"startPeriod":0,"limit":7000,"numberPhases":3},)"
                             R"({"startPeriod":300,"limit":3500}]}}})"),
                 *rig.x);
    ChgProfile p{};
    std::memcpy(&p, SetChargingProfileOf(*rig.x).profile, 396);
    EXPECT_EQ(p.connectorId, 2);
    EXPECT_EQ(p.chargingProfileId, 9);
    EXPECT_EQ(p.transactionId, 4);
    EXPECT_EQ(p.stackLevel, 3);
    EXPECT_STREQ(p.chargingProfileKind, "Recurring");
    EXPECT_STREQ(p.recurrencyKind, "Daily");
    EXPECT_STREQ(p.validFrom, "2024-01-01T00:00:00Z");
    EXPECT_EQ(p.duration, 600);
    EXPECT_STREQ(p.chargingRateUnit, "W");
    EXPECT_FLOAT_EQ(p.minChargingRate, 1.5f);
    EXPECT_EQ(p.chargingSchedulePeriod[0].numberPhases, 3);
    EXPECT_EQ(p.chargingSchedulePeriod[1].startPeriod, 300);
    EXPECT_FLOAT_EQ(p.chargingSchedulePeriod[1].limit, 3500);
    EXPECT_EQ(p.chargingSchedulePeriod[1].numberPhases, -1);
    EXPECT_EQ(p.chargingSchedulePeriod[2].startPeriod, -1);

    StoreCommand("SendLocalList",
                 json::parse(R"({"listVersion":5,"updateType":"Differential","localAuthorizationList":[)"
                             R"({"idTag":"A","idTagInfo":{"status":"Blocked","parentIdTag":"PA"}},{"idTag":"B"}]})"),
                 *rig.x);
    const SendLocalListSlot& l = SendLocalListOf(*rig.x);
    EXPECT_EQ(l.listVersion, 5);
    EXPECT_STREQ(l.updateType, "Differential");
    EXPECT_STREQ(l.entries[0].status, "Blocked");
    EXPECT_STREQ(l.entries[0].parentIdTag, "PA");
    EXPECT_STREQ(l.entries[1].idTag, "B");
    EXPECT_EQ(l.entries[1].status[0], '\0');
    EXPECT_EQ(l.entries[2].idTag[0], '\0');
}

TEST(OcppjCommandMessages, AnswersCarryTheirSlotsFields) {
    OcppjRig rig;
    PutText(UnlockConnectorOf(*rig.x).status, "UnlockFailed");
    EXPECT_EQ(BuildConf(kCmdUnlockConnector, "7", *rig.x), R"([3,"7",{"status":"UnlockFailed"}])");
    GetLocalListVersionOf(*rig.x).listVersion = -1;
    EXPECT_EQ(BuildConf(kCmdGetLocalListVersion, "8", *rig.x), R"([3,"8",{"listVersion":-1}])");

    GetCompositeScheduleSlot& g = GetCompositeScheduleOf(*rig.x);
    PutText(g.status, "Rejected");
    EXPECT_EQ(BuildConf(kCmdGetCompositeSchedule, "9", *rig.x), R"([3,"9",{"status":"Rejected"}])");
    PutText(g.status, "Accepted");
    g.answerConnectorId = 2;
    PutText(g.scheduleStart, "2024-03-01T10:20:30Z");
    PutText(g.startSchedule, "2024-03-01T10:20:30Z");
    g.scheduleDuration = 3600;
    std::memset(g.chargingSchedulePeriod, 0xFF, sizeof g.chargingSchedulePeriod);
    g.chargingSchedulePeriod[0] = SchedulePeriod{0, 125.0f, 1};
    g.chargingSchedulePeriod[1] = SchedulePeriod{600, 16.0f, 1};
    g.minChargingRate = 0;
    EXPECT_EQ(BuildConf(kCmdGetCompositeSchedule, "10", *rig.x),
              R"([3,"10",{"status":"Accepted","connectorId":2,"scheduleStart":"2024-03-01T10:20:30Z",)"
              R"("chargingSchedule":{"duration":3600,"startSchedule":"2024-03-01T10:20:30Z","chargingRateUnit":"W",)"
              R"("chargingSchedulePeriod":[{"startPeriod":0,"limit":125.0,"numberPhases":1},)"
              R"({"startPeriod":600,"limit":16.0,"numberPhases":1}],"minChargingRate":0.0}}])");
}

}  // namespace
