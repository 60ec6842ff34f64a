// Quillon's SOAP server and its main process in one test: a request is fed
// to the server as the bytes of an HTTP POST; while the server waits for its
// command, each sleep of the test clock runs the main process's pass over
// the same register map.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "clock.h"
#include "command.h"
#include "command_area.h"
#include "commands.h"
#include "config_keys.h"
#include "files.h"
#include "local_list.h"
#include "quillon.h"
#include "regmap_fields.h"
#include "server.h"
#include "stepped_clock.h"
#include "store_flash.h"
#include "testroot.h"

namespace {

using namespace regmap;
namespace cmd = ocpps::cmd;

constexpr const char* kHeader =
    "<s:Header><cp:chargeBoxIdentity s:mustUnderstand=\"true\">CB-0001</cp:chargeBoxIdentity>"
    "<a:MessageID>urn:uuid:5c1e0b6a-0001-4a8e-9d2e-3f4a5b6c7d8e</a:MessageID>"
    "<a:From><a:Address>http://cs.example/ocpp15</a:Address></a:From>"
    "<a:ReplyTo><a:Address>http://www.w3.org/2005/08/addressing/anonymous</a:Address></a:ReplyTo>"
    "<a:To s:mustUnderstand=\"true\">http://10.0.0.7:8080/ChargeBox/OCPP15</a:To>"
    "<a:Action s:mustUnderstand=\"true\">/%s</a:Action></s:Header>";

std::string Envelope(const std::string& operation, const std::string& body) {
    char header[1024];
    std::snprintf(header, sizeof header, kHeader, operation.c_str());
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:a=\"http://www.w3.org/2005/08/addressing\" xmlns:cp=\"urn://Ocpp/Cp/2012/06/\">" +
           std::string(header) + "<s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string Post(const std::string& operation, const std::string& envelope, const std::string& path = "/ChargeBox/OCPP15") {
    return "POST " + path + " HTTP/1.1\r\nHost: 10.0.0.7:8080\r\n"
           "Content-Type: application/soap+xml; charset=utf-8; action=\"/" + operation + "\"\r\n"
           "Content-Length: " + std::to_string(envelope.size()) + "\r\n\r\n" + envelope;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        root.Make("/Storage/SystemLog");
        root.Make("/dev");
        std::ofstream(root.path() + "/dev/mtdblock4", std::ios::binary) << std::string(common::kFlashImageSize, '\0');
        q.map = map;
        q.heartbeatIntervalS = 300;
        q.meterIntervalS = 60;
        map.set(SHRMEM_SERIAL_NUMBER, "SN0042");
        clock.onSleep = [this] {
            // The main process's own sleeps (the lock's 5 ms) do not start another pass.
            if (!mainRuns || inMain) return;
            inMain = true;
            ocpps::ServeCommands(q);
            inMain = false;
        };
    }

    // The reply to one request, HTTP head and envelope.
    std::string Call(const std::string& operation, const std::string& body) {
        return Raw(Post(operation, Envelope(operation, body)));
    }
    std::string Raw(const std::string& request) {
        ocpps::ChargePointServer server(map, 5000);
        return server.Serve(request);
    }
    std::string Flash(std::size_t offset, std::size_t len) {
        std::string image = platform::ReadTextFile(root.path() + "/dev/mtdblock4", common::kFlashImageSize);
        return image.substr(offset, len);
    }
    std::uint8_t Byte(std::uint32_t offset) { return bytes[offset]; }

    TestRoot root;
    SteppedClock clock;
    platform::ScopedClock scoped{clock};
    platform::RecordingRunner runner;
    platform::ScopedRunner scopedRunner{runner};
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kMapSize);
    RegisterMap map{bytes.data(), kMapSize};
    ocpps::Quillon q;
    bool mainRuns = true;
    bool inMain = false;
};

bool Has(const std::string& reply, const std::string& text) { return reply.find(text) != std::string::npos; }

TEST_F(ServerTest, ResetReplyHeaderIsBuiltFromTheRequestAndTheHardResetPends) {
    const std::string reply = Call("Reset", "<cp:resetRequest><cp:type>Hard</cp:type></cp:resetRequest>");
    EXPECT_TRUE(Has(reply, "HTTP/1.1 200 OK")) << reply;
    EXPECT_TRUE(Has(reply, "action=\"/ResetResponse\"")) << reply;
    EXPECT_TRUE(Has(reply, "<wsa5:RelatesTo>urn:uuid:5c1e0b6a-0001-4a8e-9d2e-3f4a5b6c7d8e</wsa5:RelatesTo>")) << reply;
    EXPECT_TRUE(Has(reply, ">/ResetResponse</wsa5:Action>")) << reply;
    EXPECT_TRUE(Has(reply, ">http://10.0.0.7:8080/ChargeBox/OCPP15</wsa5:To>")) << reply;
    EXPECT_TRUE(Has(reply, "<wsa5:Address>http://cs.example/ocpp15</wsa5:Address>")) << reply;
    EXPECT_FALSE(Has(reply, "MessageID")) << reply;
    EXPECT_FALSE(Has(reply, "chargeBoxIdentity")) << reply;
    EXPECT_TRUE(Has(reply, "<ns1:resetResponse>")) << reply;
    EXPECT_TRUE(Has(reply, "<ns1:status>Accepted</ns1:status>")) << reply;
    EXPECT_EQ(Byte(cmd::RESET_PENDING.offset), 1);
    EXPECT_EQ(Byte(cmd::RESET_TYPE.offset), 0);
    EXPECT_EQ(Byte(447) | Byte(448) | Byte(446) | Byte(449), 0x80);  // only the online bit
}

TEST_F(ServerTest, ResetWhileChargingStopsTheChargeFirst) {
    map.set(cmd::CHARGER_STATE, 1);
    Call("Reset", "<cp:resetRequest><cp:type>Soft</cp:type></cp:resetRequest>");
    EXPECT_EQ(Byte(410), 6);
    EXPECT_EQ(Byte(cmd::RESET_TYPE.offset), 1);
}

TEST_F(ServerTest, CommandNotTakenInTimeIsWithdrawnAndNeverExecuted) {
    mainRuns = false;
    const std::string reply = Call("Reset", "<cp:resetRequest><cp:type>Hard</cp:type></cp:resetRequest>");
    EXPECT_TRUE(Has(reply, "Fault")) << reply;
    EXPECT_TRUE(Has(reply, "did not execute the command in time")) << reply;
    EXPECT_FALSE(Has(reply, "/ResetResponse")) << reply;
    EXPECT_EQ(Byte(448), 0);
    ocpps::ServeCommands(q);
    EXPECT_EQ(Byte(cmd::RESET_PENDING.offset), 0);
}

TEST_F(ServerTest, CommandClaimedBeforeTheTimeOutIsAnswered) {
    mainRuns = false;
    // The main process claims the command just before the wait ends and
    // finishes it after: the answer waits for it.
    int sleeps = 0;
    clock.onSleep = [&] {
        ++sleeps;
        if (sleeps == 99) {
            ASSERT_TRUE(ocpps::ClaimCommand(map, ocpps::command::RemoteStartTransaction));
        }
        if (sleeps == 120) {
            map.set(cmd::RSTART_STATUS, 0);
            ocpps::FinishCommand(map, ocpps::command::RemoteStartTransaction);
        }
    };
    map.set(cmd::RSTART_STATUS, 1);
    const std::string reply =
        Call("RemoteStartTransaction", "<cp:remoteStartTransactionRequest><cp:idTag>TAG1</cp:idTag></cp:remoteStartTransactionRequest>");
    EXPECT_TRUE(Has(reply, "<ns1:status>Accepted</ns1:status>")) << reply;
    EXPECT_EQ(sleeps, 120);
}

TEST_F(ServerTest, RequestThatFailsAnywhereChangesNothing) {
    const std::string good = Envelope("Reset", "<cp:resetRequest><cp:type>Hard</cp:type></cp:resetRequest>");
    const std::string cases[] = {
        Post("Reset", good.substr(0, good.size() - 12)),                          // envelope end missing
        Post("Reset", Envelope("Reset", "<cp:resetRequest><cp:type>Warm</cp:type></cp:resetRequest>")),
        Post("Reset", Envelope("Reset", "<cp:resetRequest></cp:resetRequest>")),  // type missing
        Post("Reset", good, "/other"),
        "GET /ChargeBox/OCPP15 HTTP/1.1\r\nHost: x\r\n\r\n",
        std::string("\x16\x03\x01\x02\x00", 5),
    };
    for (const std::string& request : cases) {
        const std::string reply = Raw(request);
        EXPECT_FALSE(Has(reply, "200 OK")) << request << "\n" << reply;
        EXPECT_EQ(Byte(448), 0) << request;
        EXPECT_EQ(Byte(cmd::RESET_PENDING.offset), 0) << request;
    }
}

TEST_F(ServerTest, EveryRequestTheRuntimeCannotTakeGetsASenderFaultWithHttp400) {
    const std::string good = Envelope("Reset", "<cp:resetRequest><cp:type>Hard</cp:type></cp:resetRequest>");
    const std::string entity =
        "<?xml version=\"1.0\"?><!DOCTYPE s:Envelope [<!ENTITY a \"Hard\">]>" + good.substr(good.find("<s:Envelope"));
    const struct {
        const char* what;
        std::string request;
    } cases[] = {
        {"not XML", Post("Reset", "hello world")},
        {"envelope cut short", Post("Reset", good.substr(0, good.size() / 2))},
        {"document type", Post("Reset", entity)},
        {"document type after a comment", Post("Reset", "<!-- c --><!DOCTYPE x>" + good)},
        {"unknown operation", Post("Reset", Envelope("Reset", "<cp:explodeRequest/>"))},
        {"element name outside ASCII", Post("Reset", Envelope("Reset", "<cp:\xff\xfe\x01Request/>"))},
        {"value outside its enumeration", Post("Reset", Envelope("Reset", "<cp:resetRequest><cp:type>Warm</cp:type></cp:resetRequest>"))},
        {"body short of its length", Post("Reset", good).substr(0, Post("Reset", good).size() - 40)},
        {"empty body", Post("Reset", "")},
        {"not HTTP", std::string("\x16\x03\x01\x02\x00", 5)},
        {"chunk size not hexadecimal", "POST /ChargeBox/OCPP15 HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"},
    };
    for (const auto& c : cases) {
        const std::string reply = Raw(c.request);
        EXPECT_EQ(reply.rfind("HTTP/1.1 400 ", 0), 0u) << c.what << "\n" << reply;
        EXPECT_TRUE(Has(reply, "application/soap+xml")) << c.what << "\n" << reply;
        EXPECT_TRUE(Has(reply, "Sender</")) << c.what << "\n" << reply;
        EXPECT_TRUE(Has(reply, "http://www.w3.org/2003/05/soap-envelope")) << c.what << "\n" << reply;
        EXPECT_TRUE(std::all_of(reply.begin(), reply.end(), [](char b) { return static_cast<unsigned char>(b) < 0x7F; }))
            << c.what << "\n" << reply;
        EXPECT_EQ(Byte(448) | Byte(447), 0) << c.what;
        EXPECT_EQ(Byte(cmd::RESET_PENDING.offset), 0) << c.what;
    }
    // The same server goes on serving.
    EXPECT_TRUE(Has(Raw(Post("Reset", good)), "HTTP/1.1 200 OK"));
}

TEST_F(ServerTest, Soap11EnvelopeGetsTheVersionMismatchFaultWithTheUpgradeHeader) {
    const std::string body =
        "<?xml version=\"1.0\"?><e:Envelope xmlns:cp=\"urn://Ocpp/Cp/2012/06/\" "
        "xmlns:e='http://schemas.xmlsoap.org/soap/envelope/'><e:Body><cp:resetRequest><cp:type>Hard</cp:type>"
        "</cp:resetRequest></e:Body></e:Envelope>";
    const std::string reply = Raw(Post("Reset", body));
    EXPECT_EQ(reply.rfind("HTTP/1.1 500 ", 0), 0u) << reply;
    EXPECT_TRUE(Has(reply, "Content-Type: text/xml")) << reply;
    EXPECT_TRUE(Has(reply, "<env:Envelope xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\">")) << reply;
    EXPECT_TRUE(Has(reply, "<faultcode>env:VersionMismatch</faultcode>")) << reply;
    EXPECT_TRUE(Has(reply, "<upg:Upgrade xmlns:upg=\"http://www.w3.org/2003/05/soap-envelope\">"
                           "<upg:SupportedEnvelope qname=\"ns1:Envelope\" "
                           "xmlns:ns1=\"http://www.w3.org/2003/05/soap-envelope\"/></upg:Upgrade>")) << reply;
    EXPECT_EQ(Byte(448), 0);
    EXPECT_EQ(Byte(cmd::RESET_PENDING.offset), 0);
}

TEST_F(ServerTest, BodyOverTheBoundIsRefusedFromItsLengthOrOnceItsChunksPassIt) {
    const std::string head = "POST /ChargeBox/OCPP15 HTTP/1.1\r\nContent-Type: application/soap+xml\r\n";
    std::string reply = Raw(head + "Content-Length: 16777217\r\n\r\n<");
    EXPECT_EQ(reply.rfind("HTTP/1.1 413 ", 0), 0u) << reply;
    EXPECT_TRUE(Has(reply, "Sender</")) << reply;
    const std::string chunk(1 << 20, ' ');
    std::string chunked = head + "Transfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 17; ++i) chunked += "100000\r\n" + chunk + "\r\n";
    reply = Raw(chunked + "0\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 413 ", 0), 0u) << reply.substr(0, 300);
    // Chunks within the bound make a request like any other.
    const std::string envelope = Envelope("Reset", "<cp:resetRequest><cp:type>Soft</cp:type></cp:resetRequest>");
    char size[16];
    std::snprintf(size, sizeof size, "%zx", envelope.size() - 10);
    reply = Raw(head + "Transfer-Encoding: chunked\r\nSOAPAction: \"/Reset\"\r\n\r\n" + size + "\r\n" +
                envelope.substr(0, envelope.size() - 10) + "\r\na\r\n" + envelope.substr(envelope.size() - 10) +
                "\r\n0\r\n\r\n");
    EXPECT_TRUE(Has(reply, "HTTP/1.1 200 OK")) << reply;
    EXPECT_EQ(Byte(cmd::RESET_TYPE.offset), 1);
}

TEST_F(ServerTest, ChangeAvailabilityFollowsTheStationStateAndPersistsTheFlag) {
    struct Case {
        std::uint8_t state, flag;
        const char* type;
        const char* status;
        std::uint8_t flagAfter;
    } cases[] = {
        {1, 0, "Inoperative", "Scheduled", 1}, {0, 0, "Inoperative", "Accepted", 1},
        {0, 1, "Operative", "Accepted", 0},    {4, 0, "Operative", "Rejected", 0},
        {16, 0, "Operative", "Scheduled", 0},  {2, 1, "Operative", "Accepted", 0},
    };
    for (const Case& c : cases) {
        map.set(cmd::CHARGER_STATE, c.state);
        map.set(cmd::AVAILABILITY, c.flag);
        const std::string reply = Call("ChangeAvailability",
                                       std::string("<cp:changeAvailabilityRequest><cp:connectorId>1</cp:connectorId><cp:type>") +
                                           c.type + "</cp:type></cp:changeAvailabilityRequest>");
        EXPECT_TRUE(Has(reply, std::string("<ns1:status>") + c.status + "</ns1:status>")) << c.type << int(c.state) << reply;
        EXPECT_EQ(Byte(451), c.flagAfter);
        EXPECT_EQ(Flash(451, 1)[0], static_cast<char>(c.flagAfter));
        EXPECT_EQ(Flash(65536 + 451, 1)[0], static_cast<char>(c.flagAfter));
        const std::string sum = Flash(65532, 4);
        EXPECT_EQ(sum, std::string({0, 0, 0, static_cast<char>(c.flagAfter)}));
    }
}

TEST_F(ServerTest, RemoteStartAndStopActOnlyInTheirStates) {
    map.set(cmd::CHARGER_STATE, 1);
    std::string r = Call("RemoteStartTransaction",
                         "<cp:remoteStartTransactionRequest><cp:idTag>TAG1</cp:idTag></cp:remoteStartTransactionRequest>");
    EXPECT_TRUE(Has(r, "Rejected")) << r;
    EXPECT_EQ(Byte(408), 0);
    map.set(cmd::CHARGER_STATE, 0);
    r = Call("RemoteStartTransaction",
             "<cp:remoteStartTransactionRequest><cp:connectorId>2</cp:connectorId><cp:idTag>TAG1</cp:idTag>"
             "</cp:remoteStartTransactionRequest>");
    EXPECT_TRUE(Has(r, "Accepted")) << r;
    EXPECT_EQ(Byte(408), 0x27);
    EXPECT_EQ(Byte(409), 0x10);
    EXPECT_EQ(map.get(cmd::RSTART_CONNECTOR_ID), 2);
    EXPECT_EQ(map.get(cmd::RSTART_ID_TAG), "TAG1");

    map.set(ocpps::slot::TRANSACTION_ID, 42);
    struct Case {
        std::uint8_t state;
        int id;
        const char* status;
    } cases[] = {{0, 42, "Rejected"}, {1, 41, "Rejected"}, {8, 42, "Rejected"}, {32, 42, "Accepted"}, {1, 0, "Accepted"}};
    for (const Case& c : cases) {
        map.set(cmd::CHARGER_STATE, c.state);
        map.set(cmd::STOP_CHARGING, 0);
        r = Call("RemoteStopTransaction", "<cp:remoteStopTransactionRequest><cp:transactionId>" + std::to_string(c.id) +
                                              "</cp:transactionId></cp:remoteStopTransactionRequest>");
        EXPECT_TRUE(Has(r, c.status)) << int(c.state) << " " << c.id << r;
        EXPECT_EQ(Byte(410), std::string(c.status) == "Accepted" ? 6 : 0) << int(c.state) << " " << c.id;
    }
}

TEST_F(ServerTest, ReservationLifeThroughReserveAndCancel) {
    auto reserve = [&](int id) {
        return Call("ReserveNow", "<cp:reserveNowRequest><cp:connectorId>1</cp:connectorId>"
                                  "<cp:expiryDate>2030-01-01T00:00:00Z</cp:expiryDate><cp:idTag>TAG7</cp:idTag>"
                                  "<cp:reservationId>" + std::to_string(id) + "</cp:reservationId></cp:reserveNowRequest>");
    };
    EXPECT_TRUE(Has(reserve(256), "<ns1:status>Accepted</ns1:status>"));
    EXPECT_EQ(Byte(cmd::RESERVED.offset), 1);
    ASSERT_EQ(q.ownStatus.size(), 1u);
    EXPECT_EQ(q.ownStatus.back().info, "Charging Point Reserved");
    EXPECT_EQ(q.ownStatus.back().status, 4);
    // Another one while it holds: Occupied, the first one's fields stay.
    EXPECT_TRUE(Has(reserve(9), "<ns1:status>Occupied</ns1:status>"));
    EXPECT_EQ(map.get(cmd::RSV_ID), 256);
    // A reservationId whose low byte is zero is compared whole.
    const std::string cancel0 =
        Call("CancelReservation", "<cp:cancelReservationRequest><cp:reservationId>512</cp:reservationId></cp:cancelReservationRequest>");
    EXPECT_TRUE(Has(cancel0, "Rejected")) << cancel0;
    EXPECT_EQ(Byte(cmd::RESERVED.offset), 1);
    const std::string cancel =
        Call("CancelReservation", "<cp:cancelReservationRequest><cp:reservationId>256</cp:reservationId></cp:cancelReservationRequest>");
    EXPECT_TRUE(Has(cancel, "Accepted")) << cancel;
    EXPECT_EQ(Byte(cmd::RESERVED.offset), 0);
    EXPECT_EQ(q.ownStatus.back().info, "Charging Point Reservation Canceled");

    EXPECT_TRUE(Has(reserve(3), "Accepted"));
    map.set(cmd::CHARGER_STATE, 4);
    EXPECT_TRUE(Has(reserve(4), "<ns1:status>Faulted</ns1:status>"));
    EXPECT_EQ(Byte(cmd::RESERVED.offset), 0);
    EXPECT_EQ(map.get(cmd::RSV_ID), 0);
    map.set(cmd::CHARGER_STATE, 8);
    EXPECT_TRUE(Has(reserve(5), "<ns1:status>Rejected</ns1:status>"));
}

TEST_F(ServerTest, GetConfigurationAnswersTheTableOrTheKeysAsked) {
    map.set(SHRMEM_FW_VERSION, 0x01020A1Fu);
    map.set(SHRMEM_MAX_OUTPUT_POWER, 25);
    std::string r = Call("GetConfiguration", "<cp:getConfigurationRequest/>");
    std::size_t entries = 0;
    for (std::size_t at = r.find("<ns1:configurationKey>"); at != std::string::npos; at = r.find("<ns1:configurationKey>", at + 1)) ++entries;
    EXPECT_EQ(entries, 12u) << r;
    for (const char* key : {"SystemSN", "SystemFirmwareVersion", "HmiFirmwareVersion", "MeterValuesSampledData"}) {
        const std::size_t at = r.find(std::string("<ns1:key>") + key + "</ns1:key>");
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_EQ(r.compare(r.find("<ns1:readonly>", at), 24, "<ns1:readonly>true</ns1:"), 0) << key;
    }
    EXPECT_TRUE(Has(r, "<ns1:value>v01.02.0A.1F</ns1:value>")) << r;
    EXPECT_TRUE(Has(r, "<ns1:value>SN0042</ns1:value>")) << r;
    EXPECT_FALSE(Has(r, "unknownKey"));

    // More keys than the table has, one twice, one unknown.
    std::string keys;
    for (int i = 0; i < 14; ++i) keys += "<cp:key>heartbeatinterval</cp:key>";
    r = Call("GetConfiguration", "<cp:getConfigurationRequest>" + keys + "<cp:key>NoSuchKey</cp:key></cp:getConfigurationRequest>");
    entries = 0;
    for (std::size_t at = r.find("<ns1:key>HeartBeatInterval</ns1:key>"); at != std::string::npos;
         at = r.find("<ns1:key>HeartBeatInterval</ns1:key>", at + 1)) ++entries;
    EXPECT_EQ(entries, 14u) << r;
    EXPECT_TRUE(Has(r, "<ns1:value>300</ns1:value>")) << r;
    EXPECT_TRUE(Has(r, "<ns1:unknownKey>NoSuchKey</ns1:unknownKey>")) << r;
    EXPECT_EQ(map.get(cmd::GETCONF_KEY_COUNT), 15);
}

TEST_F(ServerTest, ChangeConfigurationRules) {
    struct Case {
        const char* key;
        const char* value;
        const char* status;
        std::uint32_t offset;  // 0: no byte
        int byteAfter;
    } cases[] = {
        {"MaxChargingDuration", "0", "Rejected", 444, 0},     {"MaxChargingDuration", "300", "Rejected", 444, 0},
        {"MaxChargingDuration", "255", "Accepted", 444, 255}, {"MaxOutputPower", "30", "Rejected", 443, 25},
        {"MaxOutputPower", "-5", "Rejected", 443, 25},        {"MaxOutputPower", "20", "Accepted", 443, 20},
        {"MaxOutputPower", "12kW", "Rejected", 443, 20},      {"OfflineLimitPower", "26", "Rejected", 2205, 0},
        {"offlinelimitpower", "25", "Accepted", 2205, 25},    {"AuthenticationMode", "0", "Accepted", 442, 0},
        {"AuthenticationMode", "4", "Rejected", 442, 0},      {"OfflinePolicy", "4", "Accepted", 767, 4},
        {"MaxOutputCurrent", "255", "Rejected", 2204, 0},     {"MaxOutputCurrent", "254", "Accepted", 2204, 254},
        {"BlinkRepeat", "3", "NotSupported", 0, 0},           {"HeartBeatInterval", "0", "Accepted", 0, 0},
        {"HeartBeatInterval", "x", "Rejected", 0, 0},
    };
    for (const Case& c : cases) {
        const std::string r = Call("ChangeConfiguration", std::string("<cp:changeConfigurationRequest><cp:key>") + c.key +
                                                              "</cp:key><cp:value>" + c.value +
                                                              "</cp:value></cp:changeConfigurationRequest>");
        EXPECT_TRUE(Has(r, std::string("<ns1:status>") + c.status + "</ns1:status>")) << c.key << "=" << c.value << r;
        if (c.offset) {
            EXPECT_EQ(Byte(c.offset), c.byteAfter) << c.key << "=" << c.value;
            EXPECT_EQ(static_cast<std::uint8_t>(Flash(c.offset, 1)[0]), c.byteAfter) << c.key << "=" << c.value;
        }
    }
    EXPECT_EQ(Byte(2048), 255);
    EXPECT_EQ(q.heartbeatIntervalS, 0);
    Call("ChangeConfiguration", "<cp:changeConfigurationRequest><cp:key>MeterValueSampleInterval</cp:key>"
                                "<cp:value>15</cp:value></cp:changeConfigurationRequest>");
    EXPECT_EQ(q.meterIntervalS, 15);
    EXPECT_EQ(platform::ReadTextFile(root.path() + "/Storage/[OCPP15S]MeterValSmplIntvl"), std::string("\x0f\0\0\0", 4));
}

TEST_F(ServerTest, DataTransferVendorsAndMessages) {
    const std::string vanto = "Vanto Electronic";
    const std::string dr = ocpps::kDrVendorId;
    auto call = [&](const std::string& vendor, const std::string& message, const std::string& data) {
        return Call("DataTransfer", "<cp:dataTransferRequest><cp:vendorId>" + vendor + "</cp:vendorId><cp:messageId>" +
                                        message + "</cp:messageId><cp:data>" + data + "</cp:data></cp:dataTransferRequest>");
    };
    map.bytes(Bytes{438, 2})[0] = 65;
    map.bytes(Bytes{440, 2})[0] = 30;
    std::string r = call(vanto, "information", "");
    EXPECT_TRUE(Has(r, "Accepted")) << r;
    EXPECT_TRUE(Has(r, "inlet_temp:25,outlet_temp:- 10</ns1:data>")) << r;
    r = call("vanto electronic", "Other", "d&amp;1");
    EXPECT_TRUE(Has(r, "UnknownMessageId")) << r;
    EXPECT_TRUE(Has(r, "<ns1:data>d&amp;1</ns1:data>")) << r;
    r = call("Someone", "information", "abc");
    EXPECT_TRUE(Has(r, "UnknownVendorId")) << r;

    struct Case {
        const char* power;
        int byte443;
    } cases[] = {{"500", 1}, {"26000", 25}, {"12500", 12}};
    for (const Case& c : cases) {
        r = call(dr, "SetDRConfig",
                 std::string("{\"ConnectorsConfig\": [{\"ConnectorID\": 1, \"ChargePointMaxPower\": ") + c.power + "}]}");
        EXPECT_TRUE(Has(r, "<ns1:status>Accepted</ns1:status>")) << r;
        EXPECT_EQ(Byte(443), c.byte443) << c.power;
        EXPECT_TRUE(Has(r, "\"ChargePointMaxPower\": " + std::to_string(c.byte443 * 1000) + ",")) << r;
        EXPECT_EQ(static_cast<std::uint8_t>(Flash(443, 1)[0]), c.byte443);
    }
    r = call(dr, "GetStatus", "{\"ConnectorsConfig\": []}");
    EXPECT_TRUE(Has(r, "<ns1:status>Rejected</ns1:status>")) << r;
    EXPECT_TRUE(Has(r, "\"ConnectorID\": 1,")) << r;
    r = call(dr, "SetDRConfig", "\"ChargePointMaxPower\": 9000 \"ConnectorsConfig\":");  // not JSON
    EXPECT_TRUE(Has(r, "Rejected")) << r;
    EXPECT_EQ(Byte(443), 12);
}

TEST_F(ServerTest, LocalListThroughSendLocalListAndItsVersion) {
    const std::string file = root.path() + "/Storage/OCPPLocalList";
    auto send = [&](const char* type, int version, const std::string& list) {
        return Call("SendLocalList", std::string("<cp:sendLocalListRequest><cp:updateType>") + type +
                                         "</cp:updateType><cp:listVersion>" + std::to_string(version) +
                                         "</cp:listVersion>" + list + "</cp:sendLocalListRequest>");
    };
    auto entry = [](const std::string& tag, const std::string& info) {
        return "<cp:localAuthorisationList><cp:idTag>" + tag + "</cp:idTag>" + info + "</cp:localAuthorisationList>";
    };
    std::string r = send("Full", 5,
                         entry("TAG", "<cp:idTagInfo><cp:status>Accepted</cp:status></cp:idTagInfo>") +
                             entry("TAG2", "<cp:idTagInfo><cp:status>Blocked</cp:status><cp:expiryDate>2030-01-01T00:00:00Z"
                                           "</cp:expiryDate><cp:parentIdTag>TAG</cp:parentIdTag></cp:idTagInfo>") +
                             entry("TA", "<cp:idTagInfo><cp:status>Expired</cp:status></cp:idTagInfo>"));
    EXPECT_TRUE(Has(r, "<ns1:status>Accepted</ns1:status>")) << r;
    EXPECT_EQ(platform::ReadTextFile(file), "TAG:0::0\r\nTAG2:1893456000:TAG:1\r\nTA:0::2\r\n");
    // Replaced entries move to the end; a prefix or a parent is untouched;
    // an entry without idTagInfo goes.
    r = send("Differential", 6,
             entry("TAG", "<cp:idTagInfo><cp:status>Invalid</cp:status></cp:idTagInfo>") + entry("TA", ""));
    EXPECT_TRUE(Has(r, "Accepted")) << r;
    EXPECT_EQ(platform::ReadTextFile(file), "TAG2:1893456000:TAG:1\r\nTAG:0::3\r\n");
    r = send("Differential", 6, entry("X", "<cp:idTagInfo><cp:status>Accepted</cp:status></cp:idTagInfo>"));
    EXPECT_TRUE(Has(r, "VersionMismatch")) << r;
    EXPECT_EQ(platform::ReadTextFile(file), "TAG2:1893456000:TAG:1\r\nTAG:0::3\r\n");
    r = Call("ClearCache", "<cp:clearCacheRequest/>");
    EXPECT_TRUE(Has(r, "Accepted")) << r;
    EXPECT_EQ(platform::ReadTextFile(file), "TAG2:1893456000:TAG:1\r\nTAG:0::3\r\n");
    r = send("Full", 2, "");
    EXPECT_TRUE(Has(r, "Accepted")) << r;
    EXPECT_FALSE(std::ifstream(file).good());
    r = Call("GetLocalListVersion", "<cp:getLocalListVersionRequest/>");
    EXPECT_TRUE(Has(r, "<ns1:listVersion>2</ns1:listVersion>")) << r;
    // A tag that would break the file's lines is refused whole.
    r = send("Full", 3, entry("A:B", "<cp:idTagInfo><cp:status>Accepted</cp:status></cp:idTagInfo>"));
    EXPECT_TRUE(Has(r, "Fault")) << r;
    EXPECT_EQ(map.get(cmd::LOCAL_LIST_VERSION), 2);
}

TEST_F(ServerTest, LocalListWriteFailureAnswersFailedAndKeepsTheVersion) {
    std::filesystem::remove_all(root.path() + "/Storage");
    const std::string r = Call("SendLocalList", "<cp:sendLocalListRequest><cp:updateType>Full</cp:updateType>"
                                                "<cp:listVersion>8</cp:listVersion><cp:localAuthorisationList><cp:idTag>T"
                                                "</cp:idTag><cp:idTagInfo><cp:status>Accepted</cp:status></cp:idTagInfo>"
                                                "</cp:localAuthorisationList></cp:sendLocalListRequest>");
    EXPECT_TRUE(Has(r, "<ns1:status>Failed</ns1:status>")) << r;
    EXPECT_EQ(map.get(cmd::LOCAL_LIST_VERSION), 0);
}

TEST_F(ServerTest, EditLocalListDropsATornTail) {
    EXPECT_EQ(ocpps::EditLocalList("A:0::0\r\nB:0::0", {}), "A:0::0\r\n");
    EXPECT_EQ(ocpps::EditLocalList("A:0::0", {{"C", true, 1, 7, "A"}}), "C:7:A:1\r\n");
    // An idTag given twice in one list ends as its last entry says.
    EXPECT_EQ(ocpps::EditLocalList("A:0::0\r\nB:0::0\r\nC:0::0\r\n",
                                   {{"A", true, 1, 0, ""}, {"B", false, 0, 0, ""}, {"A", true, 2, 0, ""}, {"B", true, 4, 0, ""}}),
              "C:0::0\r\nA:0::2\r\nB:0::4\r\n");
}

TEST_F(ServerTest, UnlockGetDiagnosticsAndUpdateFirmwareStoreTheirFields) {
    map.set(cmd::CHARGER_STATE, 16);
    std::string r = Call("UnlockConnector", "<cp:unlockConnectorRequest><cp:connectorId>1</cp:connectorId></cp:unlockConnectorRequest>");
    EXPECT_TRUE(Has(r, "<ns1:status>Accepted</ns1:status>")) << r;
    EXPECT_EQ(Byte(410), 6);
    EXPECT_EQ(platform::ReadTextFile(root.path() + "/sys/class/gpio/gpio80/value").substr(0, 1), "0");

    clock.ms = (UINT64_C(1765432100) - 1700000000) * 1000;  // 2025-12-11 05:48:20 UTC
    r = Call("GetDiagnostics", "<cp:getDiagnosticsRequest><cp:location>ftp://127.0.0.1:2121/up</cp:location>"
                               "</cp:getDiagnosticsRequest>");
    EXPECT_TRUE(Has(r, "<ns1:fileName>2025.12.11-05.48_SN0042_OCPP15SDiag.zip</ns1:fileName>")) << r;
    EXPECT_EQ(map.get(cmd::DIAG_LOCATION), "127.0.0.1:2121/up");
    EXPECT_EQ(map.get(cmd::DIAG_START_TIME), 0);

    r = Call("UpdateFirmware", "<cp:updateFirmwareRequest><cp:retrieveDate>2025-12-11T00:00:00Z</cp:retrieveDate>"
                               "<cp:location>ftp://127.0.0.1:2121/d/fw.bin</cp:location><cp:retries>2</cp:retries>"
                               "</cp:updateFirmwareRequest>");
    EXPECT_TRUE(Has(r, "<ns1:updateFirmwareResponse")) << r;
    EXPECT_EQ(map.get(cmd::LOCATION_DATA), "127.0.0.1:2121/d/fw.bin");
    EXPECT_EQ(map.get(cmd::FW_RETRIES), 2);
    EXPECT_EQ(map.get(cmd::FW_STATE), 1);
    // A location that does not fit its slot is refused, not cut.
    r = Call("UpdateFirmware", "<cp:updateFirmwareRequest><cp:retrieveDate>2025-12-11T00:00:00Z</cp:retrieveDate>"
                               "<cp:location>ftp://h/" + std::string(500, 'a') + "</cp:location></cp:updateFirmwareRequest>");
    EXPECT_TRUE(Has(r, "Fault")) << r;
    EXPECT_EQ(map.get(cmd::LOCATION_DATA), "127.0.0.1:2121/d/fw.bin");
}

TEST_F(ServerTest, UpdateFirmwareWhileAnImageWaitsToBeInstalledGetsAFault) {
    map.set(cmd::FW_STATE, 2);
    const std::string r = Call("UpdateFirmware", "<cp:updateFirmwareRequest><cp:retrieveDate>2025-12-11T00:00:00Z</cp:retrieveDate>"
                                                 "<cp:location>ftp://h/d/fw2.bin</cp:location></cp:updateFirmwareRequest>");
    EXPECT_TRUE(Has(r, "HTTP/1.1 500")) << r;
    EXPECT_TRUE(Has(r, "waits to be installed")) << r;
    EXPECT_FALSE(Has(r, "updateFirmwareResponse")) << r;
    EXPECT_EQ(map.get(cmd::FW_STATE), 2);
    EXPECT_EQ(Byte(448), 0x80);
}

}  // namespace
