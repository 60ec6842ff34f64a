#include "messages.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "diagnostics.h"
#include "link_url.h"
#include "ocpp_time.h"
#include "ocppj_rig.h"
#include "reset.h"

using namespace ocppj;
using nlohmann::json;

TEST(OcppjMessages, BootNotificationSendsEveryKeyInOrderEmptyTextsIncluded) {
    OcppjRig rig;
    std::strcpy(rig.x->boot.chargePointVendor, "Vanto Electronics");
    std::strcpy(rig.x->boot.chargePointModel, "DC50");
    std::strcpy(rig.x->boot.firmwareVersion, "1.2 \"beta\"");
    std::strcpy(rig.x->boot.meterType, "not sent");
    EXPECT_EQ(BuildCall(Request::BootNotification, "170928843001", *rig.x),
              "[2,\"170928843001\",\"BootNotification\",{\"chargePointVendor\":\"Vanto Electronics\","
              "\"chargePointModel\":\"DC50\",\"chargePointSerialNumber\":\"\",\"chargeBoxSerialNumber\":\"\","
              "\"firmwareVersion\":\"1.2 \\\"beta\\\"\",\"iccid\":\"\",\"imsi\":\"\"}]");
}

TEST(OcppjMessages, UniqueIdsCountOneToHundredThenStartAgain) {
    UniqueIds ids;
    EXPECT_EQ(ids.Next(1709288430), "170928843001");
    for (int i = 2; i < 100; ++i) ids.Next(1709288430);
    EXPECT_EQ(ids.Next(1709288431), "1709288431100");
    EXPECT_EQ(ids.Next(1709288432), "170928843201");
}

TEST(OcppjMessages, RequestTextsCarryTheirSlotValues) {
    OcppjRig rig;
    auto& s = rig.x->startTransaction;
    s.connectorId = 2;
    std::strcpy(s.idTag, "ABC123");
    s.meterStart = -5;
    std::strcpy(s.timestamp, "2024-03-01T10:20:30Z");
    EXPECT_EQ(nlohmann::ordered_json::parse(BuildCall(Request::StartTransaction, "1", *rig.x))[3].dump(),
              R"({"connectorId":2,"idTag":"ABC123","meterStart":-5,"timestamp":"2024-03-01T10:20:30Z"})");
    s.reservationId = 7;
    EXPECT_EQ(json::parse(BuildCall(Request::StartTransaction, "1", *rig.x))[3]["reservationId"], 7);

    auto& st = rig.x->stopTransaction;
    std::strcpy(st.idTag, "ABC123");
    st.meterStop = 1234;
    st.transactionId = 99;
    st.reason = 5;
    std::strcpy(st.timestamp, "2024-03-01T10:20:30Z");
    EXPECT_EQ(BuildCall(Request::StopTransaction, "7", *rig.x),
              R"([2,"7","StopTransaction",{"idTag":"ABC123","meterStop":1234,"timestamp":"2024-03-01T10:20:30Z","transactionId":99,"reason":"PowerLoss"}])");

    auto& m = rig.x->meterValues;
    m.connectorId = 1;
    m.transactionId = 5;
    for (int r = 0; r < 2; ++r) {
        std::strcpy(m.meterValue[r].timestamp, r == 0 ? "2024-03-01T10:20:30Z" : "2024-03-01T10:21:30Z");
        std::strcpy(m.meterValue[r].sampledValue[0].value, "400.00");
        std::strcpy(m.meterValue[r].sampledValue[0].unit, "V");
        std::strcpy(m.meterValue[r].sampledValue[1].value, "55");
        std::strcpy(m.meterValue[r].sampledValue[1].measurand, "SoC");
    }
    std::strcpy(m.meterValue[1].sampledValue[3].value, "after the end of the list");
    EXPECT_EQ(nlohmann::ordered_json::parse(BuildCall(Request::MeterValues, "8", *rig.x))[3].dump(),
              R"({"connectorId":1,"transactionId":5,"meterValue":[)"
              R"({"timestamp":"2024-03-01T10:20:30Z","sampledValue":[{"value":"400.00","unit":"V"},{"value":"55","measurand":"SoC"}]},)"
              R"({"timestamp":"2024-03-01T10:21:30Z","sampledValue":[{"value":"400.00","unit":"V"},{"value":"55","measurand":"SoC"}]}]})");
}

TEST(OcppjMessages, FramesAreToldApartByTheirShape) {
    struct Case {
        const char* text;
        int type;
        const char* id;
    } cases[] = {
        {R"([2,"a1","Reset",{"type":"Hard"}])", 2, "a1"},
        {R"([3,"a2",{}])", 3, "a2"},
        {R"([4,"a3","NotSupported","",{}])", 4, "a3"},
        {R"([2,"a4","Reset"])", 0, "a4"},          // no payload
        {R"([2,"a5","Reset",{"type":)", 0, "a5"},   // cut short: the id still comes back for the answer
        {R"([5,"a6",{}])", 0, "a6"},
        {R"({"x":1})", 0, ""},
        {"", 0, ""},
    };
    for (const Case& c : cases) {
        Frame f = ParseFrame(c.text);
        EXPECT_EQ(f.type, c.type) << c.text;
        EXPECT_EQ(f.id, c.id) << c.text;
    }
}

TEST(OcppjMessages, CallErrorCodesGiveTheirResultNumbers) {
    for (int i = 0; i < kCallErrorCodeCount; ++i) EXPECT_EQ(CallErrorResult(kCallErrorCodes[i]), i + 1);
    EXPECT_EQ(CallErrorResult("OccurrenceConstraintViolation"), 8);
    EXPECT_EQ(CallErrorResult("NotSupportedAtAll"), 11);
    EXPECT_EQ(CallErrorResult(""), 11);
}

TEST(OcppjMessages, AnswersAreStoredByTheirPlaceAndRefusedWhenTheyDoNotFit) {
    OcppjRig rig;
    EXPECT_TRUE(StoreResult(Request::StartTransaction,
                            json::parse(R"({"transactionId":-7,"idTagInfo":{"status":"Accepted","parentIdTag":"P\"1"}})"),
                            *rig.x));
    EXPECT_EQ(rig.x->startTransaction.transactionId, -7);
    EXPECT_STREQ(rig.x->startTransaction.status, "Accepted");
    EXPECT_STREQ(rig.x->startTransaction.parentIdTag, "P\"1");
    // A "status" outside idTagInfo is not the idTag's status.
    std::memset(&rig.x->authorize, 0, sizeof rig.x->authorize);
    EXPECT_TRUE(StoreResult(Request::Authorize, json::parse(R"({"status":"Accepted","idTagInfo":{"status":"Blocked"}})"),
                            *rig.x));
    EXPECT_STREQ(rig.x->authorize.status, "Blocked");

    const char* refused[] = {
        R"({"status":"AcceptedAcceptedAccepted","currentTime":"2024-03-01T10:20:30Z","interval":300})",
        R"({"status":"Accepted","currentTime":"2024-03-01T10:20:30Z","interval":"300"})",
        R"({"status":"Accepted","currentTime":"2024-03-01T10:20:30Z","interval":4294967296})",
        R"({"status":5})",
    };
    for (const char* t : refused) EXPECT_FALSE(StoreResult(Request::BootNotification, json::parse(t), *rig.x)) << t;
}

TEST(OcppjMessages, CommandsAreCheckedBeforeTheyReachTheSlot) {
    OcppjRig rig;
    const std::string tooLong = std::string(R"({"key":"K","value":")") + std::string(501, 'v') + "\"}";
    struct Case {
        const char* action;
        const char* payload;
        const char* error;
    } cases[] = {
        {"ChangeConfiguration", R"({"key":"HeartbeatInterval","value":"60"})", ""},
        {"GetConfiguration", R"({"key":["HeartbeatInterval","Foo"]})", ""},
        {"GetConfiguration", R"({})", ""},
        {"Unlock", R"({})", "NotImplemented"},
        {"reset", R"({"type":"Hard"})", "NotImplemented"},
        {"Reset", R"({"type":"Hard"})", ""},
        {"Reset", R"({})", "OccurenceConstraintViolation"},
        {"Reset", R"({"type":1})", "TypeConstraintViolation"},
        {"GetDiagnostics", R"({"location":"ftp://logs.example/in","retries":2,"retryInterval":30})", ""},
        {"GetDiagnostics", R"({"retries":2})", "OccurenceConstraintViolation"},
        {"GetDiagnostics", R"({"location":""})", "PropertyConstraintViolation"},
        {"GetDiagnostics", R"({"location":"ftp://l/","retries":-1})", "PropertyConstraintViolation"},
        {"GetDiagnostics", R"({"location":"ftp://l/","retryInterval":"30"})", "TypeConstraintViolation"},
        {"GetDiagnostics", R"({"location":"ftp://l/","startTime":"2024-03-01T10:20:30.000000000000Z"})",
         "PropertyConstraintViolation"},
        {"ChangeConfiguration", R"({"key":"HeartbeatInterval","value":60})", "TypeConstraintViolation"},
        {"ChangeConfiguration", R"({"key":"HeartbeatInterval"})", "OccurenceConstraintViolation"},
        {"ChangeConfiguration", tooLong.c_str(),
         "PropertyConstraintViolation"},
        {"GetConfiguration", R"({"key":"HeartbeatInterval"})", "TypeConstraintViolation"},
    };
    for (const Case& c : cases) {
        CommandCheck r = StoreCommand(c.action, json::parse(c.payload), *rig.x);
        EXPECT_EQ(r.errorCode, c.error) << c.action << " " << c.payload;
    }
    StoreCommand("ChangeConfiguration", json::parse(R"({"key":"NonAuthorizedTag","value":"a\"b\\c"})"), *rig.x);
    EXPECT_STREQ(rig.x->changeConfiguration.value, "a\"b\\c");
    StoreCommand("GetConfiguration", json::parse(R"({"key":["HeartbeatInterval","Foo"]})"), *rig.x);
    EXPECT_STREQ(rig.x->getConfiguration.key[1], "Foo");
    EXPECT_EQ(rig.x->getConfiguration.key[2][0], '\0');
    // A type the slot cannot hold is no reset type: it reaches Tarnet empty.
    StoreCommand("Reset", json::parse(R"({"type":"HardHardHard"})"), *rig.x);
    EXPECT_EQ(ResetSlotOf(*rig.x).type[0], '\0');
    std::strcpy(ResetSlotOf(*rig.x).status, "Rejected");
    EXPECT_EQ(BuildConf(kCmdReset, "7", *rig.x), R"([3,"7",{"status":"Rejected"}])");
    StoreCommand("GetDiagnostics", json::parse(R"({"location":"ftp://l/in","retries":2,"retryInterval":30})"), *rig.x);
    EXPECT_STREQ(DiagnosticsSlot(*rig.x).location, "ftp://l/in");
    EXPECT_EQ(DiagnosticsSlot(*rig.x).retries, 2);
    EXPECT_EQ(DiagnosticsSlot(*rig.x).retryInterval, 30);
    EXPECT_EQ(BuildConf(kCmdGetDiagnostics, "8", *rig.x), R"([3,"8",{}])");
    std::strcpy(DiagnosticsSlot(*rig.x).fileName, "a_FennickDiag.zip");
    EXPECT_EQ(BuildConf(kCmdGetDiagnostics, "8", *rig.x), R"([3,"8",{"fileName":"a_FennickDiag.zip"}])");
}

TEST(OcppjMessages, GetConfigurationAnswerCarriesReadonlyAsBooleanAndOmitsEmptyValues) {
    OcppjRig rig;
    auto& g = rig.x->getConfiguration;
    std::strcpy(g.configurationKey[0].key, "HeartbeatInterval");
    std::strcpy(g.configurationKey[0].readonly, "false");
    std::strcpy(g.configurationKey[0].value, "300");
    std::strcpy(g.configurationKey[1].key, "AuthorizationKey");
    std::strcpy(g.configurationKey[1].readonly, "false");
    std::strcpy(g.unknownKey[0], "Foo");
    EXPECT_EQ(BuildConf(kCmdGetConfiguration, "42", *rig.x),
              R"([3,"42",{"configurationKey":[{"key":"HeartbeatInterval","readonly":false,"value":"300"},)"
              R"({"key":"AuthorizationKey","readonly":false}],"unknownKey":["Foo"]}])");
    std::memset(&g, 0, sizeof g);
    EXPECT_EQ(BuildConf(kCmdGetConfiguration, "43", *rig.x), R"([3,"43",{"configurationKey":[],"unknownKey":[]}])");
}

TEST(OcppjTime, DateTimeTextsOfOneInstantGiveOneEpoch) {
    const std::int64_t e = 1709288430;  // 2024-03-01T10:20:30Z
    struct Case {
        const char* text;
        std::int64_t epoch;
    } cases[] = {
        {"2024-03-01T10:20:30Z", e},
        {"2024-03-01T10:20:30.123Z", e},
        {"2024-03-01T12:20:30+02:00", e},
        {"2024-03-01T08:20:30-02:00", e},
        {"2024-03-01T10:20:30", e},
        {"2024-03-01 10:20:30", 0},
        {"2024-03-01T10:20", 0},
        {"2024-13-01T10:20:30Z", 0},
        {"2024-03-01T10:20:30Zjunk", 0},
        {"", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(UtcToEpoch(c.text), c.epoch) << c.text;
    EXPECT_EQ(EpochToUTC(e), "2024-03-01T10:20:30Z");
    EXPECT_EQ(UtcToEpoch(EpochToUTC(e + 12345)), e + 12345);
}

TEST(OcppjLink, ServerAddressTakesPortPathAndEncodedIdentity) {
    ServerAddress a;
    ASSERT_TRUE(ParseServerURL("wss://host:8443/ocpp/", true, "CP 01", a, nullptr));
    EXPECT_EQ(a.host, "host");
    EXPECT_EQ(a.port, 8443);
    EXPECT_EQ(a.path, "/ocpp/CP%2001");
    EXPECT_EQ(a.hostHeader, "host:8443");
    ASSERT_TRUE(ParseServerURL("ws://central.example", false, "CP01", a, nullptr));
    EXPECT_EQ(a.port, 80);
    EXPECT_EQ(a.path, "/CP01");
    ASSERT_TRUE(ParseServerURL("wss://central.example/ocpp", true, "a/b?c", a, nullptr));
    EXPECT_EQ(a.port, 443);
    EXPECT_EQ(a.path, "/ocpp/a%2Fb%3Fc");
    for (const char* bad : {"central.example/ocpp", "http://host/", "ws://:80/", "ws://host:99999/", "ws://host:8a/"})
        EXPECT_FALSE(ParseServerURL(bad, false, "CP01", a, nullptr)) << bad;
    EXPECT_FALSE(ParseServerURL("ws://host/", true, "CP01", a, nullptr));
}

TEST(OcppjLink, BasicAuthIsStandardBase64OfUserAndPassword) {
    EXPECT_EQ(BasicAuthValue("Aladdin", "open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(BasicAuthValue("CP 01", "k"), "Q1AgMDE6aw==");
    EXPECT_EQ(BasicAuthValue("ab", "c"), "YWI6Yw==");
    EXPECT_EQ(BasicAuthValue("abc", "de"), "YWJjOmRl");
}
