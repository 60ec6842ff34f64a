// The V2G session against a vehicle played by the test: the vehicle's
// requests are encoded with the project's request records, delivered through
// the V2G connection slot, and the answers decoded back into records.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "IF_HPCC_GreenPHY.h"
#include "IF_Main.h"
#include "appHand_DataDeserialization.h"
#include "appHand_dataSerialization.h"
#include "clock.h"
#include "din_binding.h"
#include "knet.h"
#include "regmap.h"
#include "regmap_fields.h"
#include "v2g_session.h"

namespace v2grig {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Frame(const std::uint8_t* exi, std::uint32_t n) {
    Bytes m(8 + n);
    const std::uint8_t h[8] = {0x01, 0xFE, 0x80, 0x01, static_cast<std::uint8_t>(n >> 24),
                               static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                               static_cast<std::uint8_t>(n)};
    for (std::uint32_t i = 0; i < 8; ++i) m[i] = h[i];
    for (std::uint32_t i = 0; i < n; ++i) m[8 + i] = exi[i];
    return m;
}

struct Offer {
    std::string ns;
    std::uint32_t major;
    std::uint32_t minor;
    std::uint8_t schemaId;
};

inline constexpr char kDin[] = "urn:din:70121:2012:MsgDef";
inline constexpr char kIso[] = "urn:iso:15118:2:2010:MsgDef";

inline Bytes Handshake(const std::vector<Offer>& offers) {
    static AnonType_supportedAppProtocolReq req;
    init_AnonType_supportedAppProtocolReq(&req);
    for (const Offer& o : offers) {
        AppProtocolType& e = req.AppProtocol[req.arrayLen++];
        init_AppProtocolType(&e);
        for (char c : o.ns) e.ProtocolNamespace.characters[e.ProtocolNamespace.charactersLen++] = static_cast<unsigned char>(c);
        e.VersionNumberMajor = o.major;
        e.VersionNumberMinor = o.minor;
        e.SchemaID = o.schemaId;
        e.Priority = 1;
    }
    EXIDocumentType_appHand d{&req, nullptr, kAppHandReqPresent};
    static appHandService service;
    std::uint8_t bytes[64];
    std::uint32_t chars[64];
    std::uint8_t buf[1024] = {};
    std::uint32_t len = 0;
    init_appHandSerializer(&service, 64, bytes, 0, 64, chars, 0, sizeof buf, 8);
    EXPECT_EQ(serialize_appHand(&service, buf, &len, &d), 0);
    return Frame(buf + 8, len);
}

// The framed supportedAppProtocolRes the vehicle expects.
inline Bytes HandshakeAnswer(std::uint32_t code, int schemaId) {
    AnonType_supportedAppProtocolRes res{};
    res.ResponseCode = code;
    if (schemaId >= 0) {
        res.SchemaID = static_cast<std::uint8_t>(schemaId);
        res.isUsed = kSchemaIdUsed;
    }
    EXIDocumentType_appHand d{nullptr, &res, kAppHandResPresent};
    static appHandService service;
    std::uint8_t bytes[64];
    std::uint32_t chars[64];
    std::uint8_t buf[100] = {};
    std::uint32_t len = 0;
    init_appHandSerializer(&service, 64, bytes, 0, 64, chars, 0, sizeof buf, 8);
    EXPECT_EQ(serialize_appHand(&service, buf, &len, &d), 0);
    return Frame(buf + 8, len);
}

// A DIN document with its records, as the vehicle builds it.
struct Din {
    std::unique_ptr<DinMessageStore> store = std::make_unique<DinMessageStore>();
    EXIDocumentType doc{};
    std::unique_ptr<DinService> service = std::make_unique<DinService>();
    Din() {
        dinInitDocument(&doc, store.get());
        dinInitService(service.get(), &doc);
    }
    Bytes Encode(int bit, const std::uint8_t* sessionId, std::uint32_t idLen) {
        std::memcpy(store->header.SessionID.bytes, sessionId, idLen);
        store->header.SessionID.bytesLen = idLen;
        doc.V2G_Message.Body.isUsed = std::uint64_t{1} << bit;
        std::uint8_t buf[1024] = {};
        std::uint32_t len = 0;
        EXPECT_EQ(dinSerializeMessage(service.get(), buf, sizeof buf, 8, &len), 0);
        return Frame(buf + 8, len);
    }
    // Decodes an answer (framed) into this document; false when it does not decode.
    bool Decode(Bytes m) {
        dinInitDocument(&doc, store.get());
        dinInitService(service.get(), &doc);
        return dinDeserializeMessage(service.get(), m.data(), static_cast<std::uint32_t>(m.size() - 8), 8) == 0;
    }
};

// Body bits of the requests (their responses are the next bit up).
enum Req : int {
    kSessionSetup = 0,
    kServiceDiscovery = 2,
    kServiceDetail = 4,
    kServicePaymentSelection = 6,
    kContractAuthentication = 10,
    kChargeParameterDiscovery = 12,
    kPowerDelivery = 14,
    kChargingStatus = 16,
    kSessionStop = 20,
    kCableCheck = 26,
    kPreCharge = 28,
    kCurrentDemand = 30,
    kWeldingDetection = 32,
};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        map.assign(262144, 0);
        map[2160] = 4;  // pilot in state C: the vehicle is plugged in and may charge
        plc::MeterSMPtr = map.data();
        // The station's limits as the supervisor's defaults give them.
        regmap::RegisterMap(map.data()).set(regmap::SHRMEM_CCS_EVSE_MAX_CURRENT, 125);
        regmap::RegisterMap(map.data()).set(regmap::SHRMEM_CCS_EVSE_MAX_POWER, 100);
        regmap::RegisterMap(map.data()).set(regmap::SHRMEM_CCS_EVSE_MAX_VOLTAGE, 500);
        plc::DINState = 6;
        plc::isHandshake = 1;
        plc::V2GPhase = 0;
        plc::nSystemStatus = 0x06000000;
        plc::V2G_SessionReset();
        plc::MACAddress[0] = 0x0211;
        plc::MACAddress[1] = 0x2233;
        plc::MACAddress[2] = 0x4455;
        plc::mdbcln_conn_init();
        plc::mdbcln_init();
        plc::mdbcln_conn[0].state = 2;
        plc::mdbcln_conn[0].flags = plc::CLN_OPEN | plc::CLN_CONNECTED;
        plc::mdbcln_conn[0].rxbuf = plc::mdb_conn->rx;
        plc::V2G_MSG_Sequence_StartTime = common::MonotonicNow();
    }

    // Delivers one message and runs one pass; the answer queued, or empty.
    Bytes Exchange(const Bytes& m) {
        std::memcpy(plc::mdb_conn->rx, m.data(), m.size());
        plc::mdbcln_conn[0].rxlen = static_cast<std::uint16_t>(m.size());
        plc::mdbcln_conn[0].state = 2;
        plc::mdbcln_conn[0].flags = plc::CLN_OPEN | plc::CLN_CONNECTED | plc::CLN_NEWDATA;
        plc::mdb_conn->txlen = 0;
        plc::V2G_Service();
        EXPECT_EQ(plc::mdbcln_conn[0].flags & plc::CLN_NEWDATA, 0);
        if (!(plc::mdbcln_conn[0].flags & plc::CLN_SENDPEND)) return {};
        return Bytes(plc::mdb_conn->tx, plc::mdb_conn->tx + plc::mdb_conn->txlen);
    }

    // Sends a request of the vehicle and decodes the answer into `answer`.
    bool Ask(int bit, const std::function<void(DinMessageStore&)>& fill = nullptr, const std::uint8_t* id = nullptr,
             std::uint32_t idLen = 8) {
        Din req;
        if (fill) fill(*req.store);
        Bytes a = Exchange(req.Encode(bit, id ? id : sessionId, id ? idLen : 8));
        if (a.empty() || !answer.Decode(a)) return false;
        EXPECT_NE(answer.doc.V2G_Message.Body.isUsed & (std::uint64_t{1} << (bit + 1)), 0u);
        return true;
    }

    std::uint8_t Step() const { return static_cast<std::uint8_t>(plc::nSystemStatus >> 16); }
    const MessageHeaderType& AnswerHeader() const { return answer.store->header; }

    void ToSessionSetup() {
        ASSERT_FALSE(Exchange(Handshake({{kDin, 2, 0, 1}})).empty());
        ASSERT_TRUE(Ask(kSessionSetup));
        ASSERT_EQ(answer.store->sessionSetupRes.ResponseCode, plc::kRespOK_NewSessionEstablished);
        std::memcpy(sessionId, AnswerHeader().SessionID.bytes, 8);
    }

    // A refusal ends the session: the vehicle comes back with a new one.
    void NewSession() {
        plc::V2G_SessionReset();
        plc::isHandshake = 1;
        plc::V2GPhase = 0;
        plc::nSystemStatus = 0x06000000;
        ToSessionSetup();
    }

    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
    std::vector<std::uint8_t> map;
    std::uint8_t sessionId[8] = {};
    Din answer;
};

}  // namespace v2grig
