#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "clock.h"
#include "fake_transport.h"
#include "files.h"
#include "regmap_fields.h"
#include "requests.h"
#include "testroot.h"
#include "utc_time.h"

namespace {

using namespace regmap;
using ocpps::Requests;

// The text of the first element `name` of an XML text ("" when empty, "<none>" when absent).
std::string Element(const std::string& xml, const std::string& name) {
    auto open = xml.find("<" + name);
    while (open != std::string::npos && std::string(">/ ").find(xml[open + 1 + name.size()]) == std::string::npos) {
        open = xml.find("<" + name, open + 1);
    }
    if (open == std::string::npos) return "<none>";
    const auto end = xml.find('>', open);
    if (xml[end - 1] == '/') return "";
    const auto close = xml.find("</" + name + ">", end);
    return xml.substr(end + 1, close - end - 1);
}

class RequestsTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        root.Make("/Storage/SystemLog");
        clock.SetWallSeconds(UtcSeconds(2021, 3, 4, 5, 6, 7));
        map.set(SHRMEM_MODEL_NAME, "DC50-CC");
        map.set(SHRMEM_SERIAL_NUMBER, "SN1");
        map.set(SHRMEM_ETH0_MAC, "02:00:00:00:c0:01");
        map.set(SHRMEM_FW_VERSION, 0x01020A1F);
        map.set(ocpps::slot::ICCID, "8949000000000000001");
        map.set(ocpps::slot::IMSI, "262010000000001");
        map.set(ocpps::slot::CHARGE_BOX_ID, "CB-0001");
        map.set(SHRMEM_ID_TAG, "04A2B3C4");
        transport.Install(requests.proxy().soap);
    }
    // The answer's body element in the central-system namespace.
    void Answer(const std::string& element, const std::string& content) {
        transport.Answer("<cs:" + element + ">" + content + "</cs:" + element + ">");
    }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kMapSize);
    RegisterMap map{bytes.data(), kMapSize};
    Requests requests{map, {"http://cs.example:9000/ocpp15", "http://127.0.0.1:8080/ChargeBox/OCPP15"}};
    FakeTransport transport;
};

TEST_F(RequestsTest, BootNotificationCarriesTheStationIdentityAndTheAddressingHeader) {
    Answer("bootNotificationResponse",
           "<cs:status>Accepted</cs:status><cs:currentTime>2021-03-04T05:06:37Z</cs:currentTime>"
           "<cs:heartbeatInterval>300</cs:heartbeatInterval>");
    ocpps::BootAnswer answer;
    ASSERT_EQ(requests.cmdBootNtf(&answer), 1);
    const std::string& xml = transport.sent;
    const std::pair<const char*, const char*> fields[] = {
        {"ns2:chargePointVendor", "VANTO"},
        {"ns2:chargePointModel", "DC50-CC"},
        {"ns2:chargePointSerialNumber", "SN1"},
        {"ns2:chargeBoxSerialNumber", "02:00:00:00:c0:01"},
        {"ns2:firmwareVersion", "v01.02.0A.1F"},
        {"ns2:iccid", "8949000000000000001"},
        {"ns2:imsi", "262010000000001"},
        {"ns2:meterType", "Increasing"},
        {"ns2:meterSerialNumber", "02:00:00:00:c0:01"},
        {"ns2:chargeBoxIdentity", "CB-0001"},
        {"wsa5:To", "http://cs.example:9000/ocpp15"},
        {"wsa5:Action", "/BootNotification"},
        {"wsa5:Address", "http://127.0.0.1:8080/ChargeBox/OCPP15"},
    };
    for (const auto& [name, value] : fields) EXPECT_EQ(Element(xml, name), value) << name;
    EXPECT_NE(xml.find("SOAPAction: \"/BootNotification\""), std::string::npos);
    EXPECT_NE(xml.find("POST /ocpp15 HTTP/1.1"), std::string::npos);
    EXPECT_NE(xml.find("http://www.w3.org/2003/05/soap-envelope"), std::string::npos);  // SOAP 1.2
    // The header's fields in their order: identity, then the addressing.
    EXPECT_LT(xml.find("ns2:chargeBoxIdentity"), xml.find("wsa5:MessageID"));
    const std::string id = Element(xml, "wsa5:MessageID");
    EXPECT_EQ(id.rfind("urn:uuid:", 0), 0u);
    EXPECT_TRUE(answer.accepted);
    EXPECT_EQ(answer.heartbeatInterval, 300);
    EXPECT_EQ(answer.currentTime, UtcSeconds(2021, 3, 4, 5, 6, 37));

    Answer("bootNotificationResponse",
           "<cs:status>Rejected</cs:status><cs:currentTime>2021-03-04T05:06:37Z</cs:currentTime>"
           "<cs:heartbeatInterval>300</cs:heartbeatInterval>");
    ASSERT_EQ(requests.cmdBootNtf(&answer), 1);
    EXPECT_FALSE(answer.accepted);
    EXPECT_NE(Element(transport.sent, "wsa5:MessageID"), id);  // a fresh identifier per request

    transport.refuse = true;
    EXPECT_EQ(requests.cmdBootNtf(&answer), 0);
}

TEST_F(RequestsTest, OwnEndpointAndCentralSystemUrl) {
    map.bytes(Bytes{266, 4})[0] = 0x01;
    map.bytes(Bytes{266, 4})[3] = 0x7F;
    EXPECT_EQ(ocpps::OwnEndpoint(map, ocpps::OwnAddress(map)), "http://127.0.0.1:8080/ChargeBox/OCPP15");
    map.set(SHRMEM_OCPP_MODE, 1);
    EXPECT_EQ(ocpps::OwnEndpoint(map, ocpps::OwnAddress(map)), "https://127.0.0.1:8080/ChargeBox/OCPP15");
    // The cellular address while the modem is attached with an APN.
    map.set(Text{1921, 32}, "internet");
    map.set(Text{728, 16}, "10.64.1.2");
    EXPECT_EQ(ocpps::OwnAddress(map), "10.64.1.2");
    map.bytes(Bytes{339, 1})[0] = 0x02;
    EXPECT_EQ(ocpps::OwnAddress(map), "127.0.0.1");

    std::string why;
    map.set(SHRMEM_OCPP_URL, "http://cs.example/ocpp15");
    EXPECT_EQ(ocpps::CentralSystemUrl(map, &why), "http://cs.example/ocpp15");
    std::memset(map.bytes(Bytes{1536, 256}), 'a', 256);
    EXPECT_EQ(ocpps::CentralSystemUrl(map, &why), "");
    EXPECT_NE(why.find("without an end"), std::string::npos);
}

TEST_F(RequestsTest, AuthorizeAnswerFillsStatusExpiryAndParent) {
    struct Case {
        const char* name;
        const char* info;  // idTagInfo content
        std::uint8_t status;
        std::int32_t expiry;
        std::string parent;  // the 20 bytes of the slot
    } cases[] = {
        {"bare", "<cs:status>Accepted</cs:status>", 0, static_cast<std::int32_t>(UtcSeconds(2021, 3, 4, 5, 6, 17)),
         std::string("0") + std::string(19, '\0')},
        {"full", "<cs:status>Blocked</cs:status><cs:expiryDate>2022-01-02T03:04:05Z</cs:expiryDate>"
                 "<cs:parentIdTag>PARENT01</cs:parentIdTag>",
         1, static_cast<std::int32_t>(UtcSeconds(2022, 1, 2, 3, 4, 5)), std::string("PARENT01") + std::string(12, '\0')},
        {"20 characters", "<cs:status>ConcurrentTx</cs:status><cs:parentIdTag>ABCDEFGHIJKLMNOPQRST</cs:parentIdTag>",
         4, static_cast<std::int32_t>(UtcSeconds(2021, 3, 4, 5, 6, 17)), "ABCDEFGHIJKLMNOPQRST"},
    };
    map.set(ocpps::slot::START_CONNECTOR, 0x7A7A7A7A);  // the slot after the parent must stay
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::memset(map.bytes(ocpps::slot::AUTH_PARENT), 0, 20);
        Answer("authorizeResponse", std::string("<cs:idTagInfo>") + c.info + "</cs:idTagInfo>");
        ASSERT_EQ(requests.cmdAuthorize(), 0);
        EXPECT_EQ(Element(transport.sent, "ns2:idTag"), "04A2B3C4");
        EXPECT_EQ(map.get(ocpps::slot::AUTH_STATUS), c.status);
        EXPECT_EQ(map.get(ocpps::slot::AUTH_EXPIRY), c.expiry);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(map.bytes(ocpps::slot::AUTH_PARENT)), 20), c.parent);
        EXPECT_EQ(map.get(ocpps::slot::START_CONNECTOR), 0x7A7A7A7A);
    }
    transport.refuse = true;
    EXPECT_NE(requests.cmdAuthorize(), 0);
    EXPECT_EQ(map.get(ocpps::slot::AUTH_STATUS), 255);
}

TEST_F(RequestsTest, TransactionsSendTheirFieldsAndKeepTheIdOfTheFirstAnswer) {
    map.set(ocpps::slot::START_CONNECTOR, 2);
    map.set(ocpps::slot::START_TIMESTAMP, static_cast<std::int32_t>(UtcSeconds(2021, 3, 4, 5, 0, 0)));
    map.set(ocpps::slot::START_METER, 12345);
    map.set(ocpps::slot::START_RESERVATION, 0);
    Answer("startTransactionResponse",
           "<cs:transactionId>77</cs:transactionId><cs:idTagInfo><cs:status>Accepted</cs:status></cs:idTagInfo>");
    ASSERT_EQ(requests.cmdStartTransaction(), 0);
    EXPECT_EQ(Element(transport.sent, "ns2:connectorId"), "2");
    EXPECT_EQ(Element(transport.sent, "ns2:meterStart"), "12345");
    EXPECT_EQ(Element(transport.sent, "ns2:reservationId"), "0");  // always present
    EXPECT_EQ(Element(transport.sent, "ns2:timestamp"), "2021-03-04T05:00:00Z");
    EXPECT_EQ(map.get(ocpps::slot::TRANSACTION_ID), 77);
    EXPECT_EQ(map.get(ocpps::slot::START_STATUS), 0);
    Answer("startTransactionResponse",
           "<cs:transactionId>0</cs:transactionId><cs:idTagInfo><cs:status>Invalid</cs:status></cs:idTagInfo>");
    ASSERT_EQ(requests.cmdStartTransaction(), 0);
    EXPECT_EQ(map.get(ocpps::slot::TRANSACTION_ID), 77);
    EXPECT_EQ(map.get(ocpps::slot::START_STATUS), 3);

    map.set(ocpps::slot::STOP_TRANSACTION, 77);
    map.set(ocpps::slot::STOP_METER, 23456);
    map.set(ocpps::slot::STOP_STATUS, 9);
    Answer("stopTransactionResponse", "");
    ASSERT_EQ(requests.cmdStopTransaction(), 0);
    EXPECT_EQ(Element(transport.sent, "ns2:transactionId"), "77");
    EXPECT_EQ(Element(transport.sent, "ns2:meterStop"), "23456");
    EXPECT_EQ(Element(transport.sent, "ns2:transactionData"), "<none>");
    EXPECT_EQ(map.get(ocpps::slot::STOP_STATUS), 0);  // no idTagInfo
}

TEST_F(RequestsTest, StatusNotificationSendsTheRecordWithTheModelAsVendor) {
    map.set(OCPP15_STS_CONNECTOR, 1);
    map.set(OCPP15_STS_STATUS, 2);
    map.set(OCPP15_STS_ERROR_CODE, 12);
    map.set(OCPP15_STS_INFO, "Other Error");
    map.set(OCPP15_STS_TIMESTAMP, static_cast<std::int32_t>(UtcSeconds(2021, 3, 4, 5, 6, 7)));
    map.set(OCPP15_STS_VENDOR_ID, "whatever the filler wrote");
    map.set(OCPP15_STS_VENDOR_ERROR, "1.3.6.1.4.1.4291.1.8.5.0.10(1)");
    Answer("statusNotificationResponse", "");
    ASSERT_EQ(requests.cmdStatusNtf(), 0);
    const std::pair<const char*, const char*> fields[] = {
        {"ns2:connectorId", "1"}, {"ns2:status", "Faulted"}, {"ns2:errorCode", "OtherError"},
        {"ns2:info", "Other Error"}, {"ns2:timestamp", "2021-03-04T05:06:07Z"}, {"ns2:vendorId", "DC50-CC"},
        {"ns2:vendorErrorCode", "1.3.6.1.4.1.4291.1.8.5.0.10(1)"}, {"wsa5:Action", "/StatusNotification"},
    };
    for (const auto& [name, value] : fields) EXPECT_EQ(Element(transport.sent, name), value) << name;

    // A status outside the schema's list is logged, not sent as a bare number.
    map.set(OCPP15_STS_STATUS, 9);
    transport.sent.clear();
    EXPECT_NE(requests.cmdStatusNtf(), 0);
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_NE(platform::ReadTextFile(root.path() + "/Storage/SystemLog/[2021.03]SystemLog").find("not an OCPP 1.5 code"),
              std::string::npos);
}

TEST_F(RequestsTest, FaultsAndGarbageAreFailures) {
    const char* answers[] = {
        "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\nContent-Length: 5\r\n\r\n<a><b",
        "",
    };
    for (const char* a : answers) {
        transport.answer = a;
        EXPECT_NE(requests.cmdAuthorize(), 0);
        EXPECT_EQ(map.get(ocpps::slot::AUTH_STATUS), 255);
        std::time_t now = 0;
        EXPECT_NE(requests.cmdHeartbeat(&now), 0);
    }
    transport.Answer("<s:Fault><s:Code><s:Value>s:Receiver</s:Value></s:Code>"
                     "<s:Reason><s:Text xml:lang=\"en\">busy</s:Text></s:Reason></s:Fault>");
    EXPECT_NE(requests.cmdStopTransaction(), 0);
    EXPECT_EQ(map.get(ocpps::slot::STOP_STATUS), 255);
}

// The sampled values of a MeterValues request: "measurand unit context format location = text".
std::vector<std::string> SampledValues(const std::string& xml) {
    std::vector<std::string> out;
    const std::regex value(R"(<ns2:value([^>]*)>([^<]*)</ns2:value>)");
    const std::regex attr(R"re((\w+)="([^"]*)")re");
    for (std::sregex_iterator it(xml.begin(), xml.end(), value), end; it != end; ++it) {
        std::map<std::string, std::string> a;
        const std::string attrs = (*it)[1];
        for (std::sregex_iterator j(attrs.begin(), attrs.end(), attr); j != end; ++j) a[(*j)[1]] = (*j)[2];
        out.push_back(a["measurand"] + " " + a["unit"] + " " + a["context"] + " " + a["format"] + " " + a["location"] +
                      " = " + std::string((*it)[2]));
    }
    return out;
}

TEST_F(RequestsTest, MeterValuesCarryFourSampledValuesOfTheConnectorAndTransaction) {
    map.set(ocpps::slot::START_CONNECTOR, 0x0102);  // its first byte is the connector
    map.set(ocpps::slot::TRANSACTION_ID, 4711);
    map.set(SHRMEM_OUTPUT_ENERGY_TEXT, "12.3456");
    map.set(SHRMEM_ENERGY_OFFSET, 1000);
    map.set(SHRMEM_GET_V1, 4012);            // 401.2 V
    map.set(ocpps::slot::OUTPUT_CURRENT, 1255);  // 125.5 A
    map.set(ocpps::slot::OUTPUT_POWER, 50321);   // W
    std::int32_t last = 0;
    Answer("meterValuesResponse", "");
    ASSERT_EQ(requests.cmdMeterValues(ocpps::ReadMeter(map, &last)), 0);
    EXPECT_EQ(last, 13345);
    EXPECT_EQ(Element(transport.sent, "wsa5:Action"), "/MeterValues");
    EXPECT_EQ(Element(transport.sent, "ns2:connectorId"), "2");
    EXPECT_EQ(Element(transport.sent, "ns2:transactionId"), "4711");
    EXPECT_EQ(Element(transport.sent, "ns2:timestamp"), "2021-03-04T05:06:07Z");
    EXPECT_EQ(SampledValues(transport.sent),
              (std::vector<std::string>{
                  "Energy.Active.Import.Register kWh Sample.Periodic Raw Body = 13.35",
                  "Power.Active.Import kW Sample.Periodic Raw Body = 50",
                  "Current.Import Amp Sample.Periodic Raw Body = 125",
                  "Voltage Volt Sample.Periodic Raw Body = 401",
              }));
}

TEST_F(RequestsTest, EnergyRegisterNeverGoesBelowWhatWasSent) {
    struct Case {
        const char* text;
        std::int32_t offset;
        std::string sent;
    } cases[] = {
        {"5.0009", 0, "5.00"},   // truncated to whole Wh
        {"7.25", 0, "7.25"},
        {"0.0", 0, "7.25"},      // the energy text was reset
        {"garbage", 0, "7.25"},
        {"1e300", 0, "2147483.65"},  // beyond 32 bits: the largest register
        {"-1e300", -5, "2147483.65"},
    };
    std::int32_t last = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        map.clear(SHRMEM_OUTPUT_ENERGY_TEXT);
        map.set(SHRMEM_OUTPUT_ENERGY_TEXT, c.text);
        map.set(SHRMEM_ENERGY_OFFSET, c.offset);
        EXPECT_EQ(ocpps::ReadMeter(map, &last).energyKWh, c.sent);
    }
}

TEST_F(RequestsTest, DiagnosticsAndFirmwareStatusGoOutByTheirNames) {
    struct Case {
        int (Requests::*send)();
        regmap::U8 status;
        std::uint8_t code;
        const char* action;
        const char* name;  // nullptr: refused before sending
    } cases[] = {
        {&Requests::cmdDiagnosticsStatusNtf, ocpps::slot::DIAGNOSTICS_STATUS, 0, "/DiagnosticsStatusNotification", "Uploaded"},
        {&Requests::cmdDiagnosticsStatusNtf, ocpps::slot::DIAGNOSTICS_STATUS, 1, "/DiagnosticsStatusNotification", "UploadFailed"},
        {&Requests::cmdDiagnosticsStatusNtf, ocpps::slot::DIAGNOSTICS_STATUS, 2, "", nullptr},
        {&Requests::cmdFirmwareStatusNtf, ocpps::slot::FIRMWARE_STATUS, 0, "/FirmwareStatusNotification", "Downloaded"},
        {&Requests::cmdFirmwareStatusNtf, ocpps::slot::FIRMWARE_STATUS, 1, "/FirmwareStatusNotification", "DownloadFailed"},
        {&Requests::cmdFirmwareStatusNtf, ocpps::slot::FIRMWARE_STATUS, 2, "/FirmwareStatusNotification", "InstallationFailed"},
        {&Requests::cmdFirmwareStatusNtf, ocpps::slot::FIRMWARE_STATUS, 3, "/FirmwareStatusNotification", "Installed"},
        {&Requests::cmdFirmwareStatusNtf, ocpps::slot::FIRMWARE_STATUS, 4, "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " " + std::to_string(c.code));
        map.set(c.status, c.code);
        transport.sent.clear();
        transport.Answer("<cs:diagnosticsStatusNotificationResponse/>");
        if (std::string(c.action).find("Firmware") != std::string::npos)
            transport.Answer("<cs:firmwareStatusNotificationResponse/>");
        const int r = (requests.*c.send)();
        if (c.name == nullptr) {
            EXPECT_NE(r, 0);
            EXPECT_TRUE(transport.sent.empty());
            continue;
        }
        EXPECT_EQ(r, 0);
        EXPECT_EQ(Element(transport.sent, "wsa5:Action"), c.action);
        EXPECT_EQ(Element(transport.sent, "ns2:status"), c.name);
    }
}

TEST_F(RequestsTest, IntervalFileReadsFourLittleEndianBytes) {
    const std::string file = root.Make("/Storage") + "/[OCPP15S]MeterValSmplIntvl";
    struct Case {
        const char* name;
        std::string bytes;  // "-" for no file
        std::int32_t value;
    } cases[] = {
        {"missing", "-", 60},
        {"empty", "", 60},
        {"two bytes", std::string("\x2c\x01", 2), 300},
        {"four bytes", std::string("\x00\x00\x00\x00", 4), 0},
        {"longer", std::string("\x0f\x00\x00\x00\xff\xff", 6), 15},
        {"negative", std::string("\xff\xff\xff\xff", 4), -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(file.c_str());
        if (c.bytes != "-") {
            ASSERT_TRUE(platform::ReplaceFile(file, c.bytes));
        }
        std::int32_t v = 12345;
        EXPECT_TRUE(ocpps::FlashRW(false, ocpps::kMeterIntervalFile, &v));
        EXPECT_EQ(v, c.value);
    }
    std::int32_t v = 0x01020304;
    ASSERT_TRUE(ocpps::FlashRW(true, ocpps::kMeterIntervalFile, &v));
    EXPECT_EQ(platform::ReadTextFile(file), std::string("\x04\x03\x02\x01", 4));
    v = 0;
    ocpps::FlashRW(false, ocpps::kMeterIntervalFile, &v);
    EXPECT_EQ(v, 0x01020304);
}

}  // namespace
