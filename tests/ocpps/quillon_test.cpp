#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "clock.h"
#include "fake_transport.h"
#include "files.h"
#include "quillon.h"
#include "regmap_fields.h"
#include "testroot.h"
#include "utc_time.h"

namespace {

using namespace regmap;
namespace slot = ocpps::slot;

// A central system that answers each request by its action, or stays silent.
struct ScriptedCs {
    std::vector<std::string> actions;
    std::string bootStatus = "Accepted";
    bool silent = false;

    std::string Answer(const std::string& request) {
        const auto at = request.find("SOAPAction: \"/");
        const std::string action = request.substr(at + 14, request.find('"', at + 14) - at - 14);
        actions.push_back(action);
        if (silent) return "";
        const std::string time = "<cs:currentTime>2021-03-04T05:06:07Z</cs:currentTime>";
        if (action == "BootNotification")
            return FakeTransport::Http("<cs:bootNotificationResponse><cs:status>" + bootStatus + "</cs:status>" + time +
                                       "<cs:heartbeatInterval>60</cs:heartbeatInterval></cs:bootNotificationResponse>");
        if (action == "Heartbeat") return FakeTransport::Http("<cs:heartbeatResponse>" + time + "</cs:heartbeatResponse>");
        const std::string info = "<cs:idTagInfo><cs:status>Accepted</cs:status></cs:idTagInfo>";
        if (action == "Authorize") return FakeTransport::Http("<cs:authorizeResponse>" + info + "</cs:authorizeResponse>");
        if (action == "StartTransaction")
            return FakeTransport::Http("<cs:startTransactionResponse><cs:transactionId>5</cs:transactionId>" + info +
                                       "</cs:startTransactionResponse>");
        if (action == "StopTransaction") return FakeTransport::Http("<cs:stopTransactionResponse/>");
        std::string element = action;
        element[0] = static_cast<char>(element[0] - 'A' + 'a');
        return FakeTransport::Http("<cs:" + element + "Response/>");
    }
    std::vector<std::string> Take() {
        auto a = actions;
        actions.clear();
        return a;
    }
};

class QuillonTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        root.Make("/Storage/SystemLog");
        clock.SetWallSeconds(UtcSeconds(2021, 3, 1, 0, 0, 0));
        map.set(SHRMEM_OCPP_URL, "http://cs.example/ocpp15");
        map.set(SHRMEM_ID_TAG, "ABC123");
        for (std::uint32_t b = 445; b <= 449; ++b) bytes[b] = 0xFF;
        q.map = map;
        ASSERT_TRUE(ocpps::StartUp(q));
        for (std::uint32_t b = 445; b <= 449; ++b) EXPECT_EQ(bytes[b], 0) << b;
        transport.respond = [this](const std::string& r) { return cs.Answer(r); };
        transport.Install(q.requests->proxy().soap);
    }
    // Quillon started again on the same map, e.g. after its files changed.
    bool Restart() {
        if (!ocpps::StartUp(q)) return false;
        transport.Install(q.requests->proxy().soap);
        return true;
    }
    void Boot() {
        ASSERT_EQ(ocpps::BootStep(q, 0), 0);
        cs.Take();
    }
    std::string Log() { return platform::ReadTextFile(root.path() + "/Storage/SystemLog/[2021.03]SystemLog", 1 << 20); }
    bool Online() const { return (bytes[448] & 0x80) != 0; }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kMapSize);
    RegisterMap map{bytes.data(), kMapSize};
    ocpps::Quillon q;
    FakeTransport transport;
    ScriptedCs cs;
};

TEST_F(QuillonTest, BootRetriesWithGrowingPausesAndAcceptedSetsClockAndOnline) {
    cs.silent = true;
    EXPECT_EQ(ocpps::BootStep(q, 0), 5000);
    EXPECT_EQ(ocpps::BootStep(q, 1), 10000);
    EXPECT_EQ(ocpps::BootStep(q, 20), 300000);
    EXPECT_FALSE(Online());
    cs.silent = false;
    cs.bootStatus = "Rejected";
    EXPECT_EQ(ocpps::BootStep(q, 0), 630000);
    EXPECT_FALSE(Online());
    cs.bootStatus = "Accepted";
    const std::int64_t before = clock.MonotonicMs();
    EXPECT_EQ(ocpps::BootStep(q, 0), 0);
    EXPECT_EQ(clock.MonotonicMs() - before, 30000);
    EXPECT_EQ(clock.WallSeconds(), UtcSeconds(2021, 3, 4, 5, 6, 7));
    EXPECT_EQ(map.get(SHRMEM_CLOCK_CHANGED), 1);
    EXPECT_TRUE(Online());
    EXPECT_EQ(q.heartbeatIntervalS, 60);
}

TEST_F(QuillonTest, RequestBitsAreServedInOrderAndClearedAfterTheirAnswers) {
    Boot();
    bytes[445] = 0x3F;
    ocpps::Pass(q);
    EXPECT_EQ(cs.Take(), (std::vector<std::string>{"Authorize", "StartTransaction", "StopTransaction", "StatusNotification"}));
    EXPECT_EQ(bytes[445], 0);
    EXPECT_EQ(map.get(slot::AUTH_STATUS), 0);
    EXPECT_EQ(map.get(slot::TRANSACTION_ID), 5);
    const std::string log = Log();
    for (const char* line : {"[OCPP]main:Authorize OK", "[OCPP]main:StartTransaction OK", "[OCPP]main:StopTransaction OK",
                             "[OCPP]main:StatusNotification OK", "[OCPP]main:MeterValue OK"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
}

TEST_F(QuillonTest, WithoutTheCentralSystemRequestsFailAndTheOnlineBitGoes) {
    Boot();
    cs.silent = true;
    bytes[445] = 0x01 | 0x08;
    ocpps::Pass(q);
    EXPECT_EQ(map.get(slot::AUTH_STATUS), 255);
    EXPECT_FALSE(Online());
    EXPECT_EQ(bytes[445], 0);
    const std::string log = Log();
    EXPECT_NE(log.find("[OCPP]main:Authorize NG"), std::string::npos);
    EXPECT_EQ(log.find("StatusNotification OK"), std::string::npos);  // only when answered
}

TEST_F(QuillonTest, OneRecordGoesToBothConnectorsWhenItsLowByteIsSet) {
    Boot();
    struct Case {
        std::int32_t connector;
        int sends;
        std::int32_t left;
    } cases[] = {{5, 2, 2}, {0, 1, 0}, {0x100, 1, 0x100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.connector);
        map.set(OCPP15_STS_CONNECTOR, c.connector);
        bytes[445] = 0x08;
        ocpps::Pass(q);
        EXPECT_EQ(cs.Take().size(), static_cast<std::size_t>(c.sends));
        EXPECT_EQ(map.get(OCPP15_STS_CONNECTOR), c.left);
    }
}

TEST_F(QuillonTest, ReservingIdTagStartsWithItsReservation) {
    Boot();
    map.set(SHRMEM_OCPP15_RESERVED, 1);
    std::memcpy(map.bytes(Bytes{7343, 20}), "abc123", 6);
    map.set(S32Le{7383}, 4242);
    map.set(S32Le{7339}, static_cast<std::int32_t>(UtcSeconds(2021, 3, 5, 0, 0, 0)));
    bytes[445] = 0x02;
    ocpps::Pass(q);
    EXPECT_EQ(map.get(slot::START_RESERVATION), 4242);
    EXPECT_EQ(map.get(SHRMEM_OCPP15_RESERVED), 0);
    EXPECT_EQ(map.get(S32Le{7383}), 0);
}

TEST_F(QuillonTest, ExpiredReservationIsClearedAndReportedOnceTheSlotIsFree) {
    Boot();
    map.set(SHRMEM_OCPP15_RESERVED, 1);
    std::memset(map.bytes(Bytes{7335, 53}), 0x5A, 53);
    map.set(S32Le{7339}, static_cast<std::int32_t>(UtcSeconds(2021, 3, 4, 5, 6, 8)));
    ocpps::Pass(q);
    EXPECT_EQ(map.get(SHRMEM_OCPP15_RESERVED), 1);  // not yet
    clock.Advance(1000);
    map.set(OCPP15_STS_INFO, "Bastide's record");
    bytes[445] = 0x08;  // still being sent: it is not replaced
    cs.silent = true;
    // Send fails, the bit clears; then the own record takes the free slot.
    ocpps::Pass(q);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 7335, bytes.begin() + 7389), std::vector<std::uint8_t>(54, 0));
    EXPECT_EQ(map.get(OCPP15_STS_INFO), "Charging Point Reservation Time Out");
    EXPECT_EQ(map.get(OCPP15_STS_STATUS), 0);
    EXPECT_EQ(map.get(OCPP15_STS_ERROR_CODE), 3);
    EXPECT_EQ(map.get(OCPP15_STS_VENDOR_ERROR), "No Error");
    EXPECT_EQ(bytes[445] & 0x08, 0x08);
}

TEST_F(QuillonTest, HeartbeatFollowsItsIntervalAndBacksOffWhenUnanswered) {
    Boot();
    ocpps::Pass(q);
    EXPECT_TRUE(cs.Take().empty());
    clock.Advance(60000);
    ocpps::Pass(q);
    EXPECT_EQ(cs.Take(), std::vector<std::string>{"Heartbeat"});
    EXPECT_EQ(clock.WallSeconds(), UtcSeconds(2021, 3, 4, 5, 6, 7));  // idle: the clock follows the central system

    cs.silent = true;
    clock.Advance(60000);
    ocpps::Pass(q);
    EXPECT_FALSE(Online());
    ocpps::Pass(q);
    clock.Advance(4000);
    ocpps::Pass(q);
    EXPECT_EQ(cs.Take().size(), 1u);  // not again on every pass
    clock.Advance(1000);
    ocpps::Pass(q);
    EXPECT_EQ(cs.Take().size(), 1u);
    cs.silent = false;
    clock.Advance(10000);
    ocpps::Pass(q);
    EXPECT_TRUE(Online());
    EXPECT_EQ(cs.Take().size(), 1u);
    const std::string log = Log();
    EXPECT_NE(log.find("Heartbeat has no response"), std::string::npos);
    EXPECT_NE(log.find("Heartbeat has response"), std::string::npos);

    // A new own address is announced at once.
    map.set(SHRMEM_ETH0_IP, 0x0A000005);
    ocpps::Pass(q);
    EXPECT_EQ(cs.Take(), std::vector<std::string>{"Heartbeat"});
    EXPECT_NE(transport.sent.find("<wsa5:Address>http://10.0.0.5:8080/ChargeBox/OCPP15</wsa5:Address>"), std::string::npos);
}

TEST_F(QuillonTest, MeterValuesFollowTheIntervalFileWhileCharging) {
    struct Case {
        const char* name;
        std::string file;  // "-": none
        std::vector<int> sendsAt;  // seconds after charging began, within 100 s
    } cases[] = {
        {"missing file", "-", {0, 60}},
        {"30 s", std::string("\x1e\0\0\0", 4), {0, 30, 60, 90}},
        {"off", std::string(4, '\0'), {}},
    };
    const std::string file = root.Make("/Storage") + "/[OCPP15S]MeterValSmplIntvl";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(file.c_str());
        if (c.file != "-") {
            ASSERT_TRUE(platform::ReplaceFile(file, c.file));
        }
        q = ocpps::Quillon{};
        q.map = map;
        ASSERT_TRUE(Restart());
        Boot();
        q.heartbeatIntervalS = 1000;
        map.set(SHRMEM_CHARGER_STATE, 0);
        ocpps::Pass(q);
        EXPECT_TRUE(cs.Take().empty()) << "not while idle";
        map.set(SHRMEM_CHARGER_STATE, 1);
        std::vector<int> sends;
        for (int t = 0; t < 100; ++t) {
            ocpps::Pass(q);
            for (const auto& a : cs.Take()) {
                EXPECT_EQ(a, "MeterValues");
                sends.push_back(t);
            }
            clock.Advance(1000);
        }
        EXPECT_EQ(sends, c.sendsAt);
    }
}

TEST_F(QuillonTest, UnansweredMeterValuesWaitForTheNextInterval) {
    Boot();
    q.heartbeatIntervalS = 1000;
    map.set(SHRMEM_CHARGER_STATE, 1);
    cs.silent = true;
    ocpps::Pass(q);
    ocpps::Pass(q);
    clock.Advance(59000);
    ocpps::Pass(q);
    EXPECT_EQ(cs.Take().size(), 1u);
    clock.Advance(1000);
    cs.silent = false;
    ocpps::Pass(q);
    EXPECT_EQ(cs.Take(), std::vector<std::string>{"MeterValues"});
    EXPECT_TRUE(Online()) << "meter values do not change the online bit";
}

TEST_F(QuillonTest, DiagnosticsAndFirmwareStatusBitsSendTheirNotifications) {
    Boot();
    map.set(ocpps::slot::DIAGNOSTICS_STATUS, 0);
    map.set(ocpps::slot::FIRMWARE_STATUS, 3);
    bytes[445] = 0xC0;
    ocpps::Pass(q);
    EXPECT_EQ(cs.Take(), (std::vector<std::string>{"DiagnosticsStatusNotification", "FirmwareStatusNotification"}));
    EXPECT_EQ(bytes[445], 0);
    cs.silent = true;
    bytes[445] = 0xC0;
    ocpps::Pass(q);
    EXPECT_EQ(bytes[445], 0) << "not repeated when unanswered";
    EXPECT_TRUE(Online()) << "only the four exchanges of the online rule clear it";
    const std::string log = Log();
    for (const char* line : {"[OCPP]main:DiagStatusNotification OK", "[OCPP]main:FirmwareStatusNotification OK",
                             "[OCPP]main:DiagStatusNotification NG", "[OCPP]main:FirmwareStatusNotification NG"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
}

TEST_F(QuillonTest, TlsWithoutAUsableCaFileDoesNotStart) {
    map.set(SHRMEM_OCPP_MODE, 1);
    map.set(SHRMEM_OCPP_URL, "https://cs.example/ocpp15");
    const std::string ca = root.Make("/Storage") + "/[OCPP15S]CACert.pem";
    for (const char* content : {"-", "not a certificate"}) {
        SCOPED_TRACE(content);
        std::remove(ca.c_str());
        if (std::string(content) != "-") {
            ASSERT_TRUE(platform::ReplaceFile(ca, std::string(content)));
        }
        EXPECT_FALSE(ocpps::StartUp(q));
    }
    EXPECT_NE(Log().find("[OCPP]main:soap_ssl_client_context failure"), std::string::npos);
}

}  // namespace
