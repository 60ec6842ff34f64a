// The V2G session against a vehicle played by the test: V2GTP framing, the
// handshake, the sequence time-out on the test clock, the dispatcher's order
// and session checks and the answers of the set-up services.
#include "session_rig.h"

namespace {

using namespace v2grig;

// ------------------------------------------------------------ V2GTP header

TEST(V2gtpHeader, AcceptsOnlyOneWholeExiMessage) {
    struct Case {
        const char* what;
        std::uint8_t b0, b1, t0, t1;
        std::uint32_t lengthField;
        std::uint32_t received;
        bool ok;
    } cases[] = {
        {"256 EXI bytes, 264 received", 0x01, 0xFE, 0x80, 0x01, 256, 264, true},
        {"one byte missing", 0x01, 0xFE, 0x80, 0x01, 256, 263, false},
        {"one byte too many", 0x01, 0xFE, 0x80, 0x01, 256, 265, false},
        {"inverse version wrong", 0x01, 0x00, 0x80, 0x01, 256, 264, false},
        {"version 2", 0x02, 0xFE, 0x80, 0x01, 256, 264, false},
        {"SDP payload type", 0x01, 0xFE, 0x90, 0x00, 256, 264, false},
        {"payload type 0x8002", 0x01, 0xFE, 0x80, 0x02, 256, 264, false},
        {"length that wraps with the header", 0x01, 0xFE, 0x80, 0x01, 0xFFFFFFF8u, 0, false},
        {"empty payload", 0x01, 0xFE, 0x80, 0x01, 0, 8, true},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> m(c.received < 8 ? 8 : c.received, 0);
        std::uint8_t h[8] = {c.b0, c.b1, c.t0, c.t1, static_cast<std::uint8_t>(c.lengthField >> 24),
                             static_cast<std::uint8_t>(c.lengthField >> 16), static_cast<std::uint8_t>(c.lengthField >> 8),
                             static_cast<std::uint8_t>(c.lengthField)};
        std::memcpy(m.data(), h, 8);
        std::uint32_t payload = 12345;
        EXPECT_EQ(plc::read_v2gtpHeader(m.data(), c.received, &payload), c.ok ? 0 : -1) << c.what;
        if (c.ok) {
            EXPECT_EQ(payload, c.lengthField) << c.what;
        }
    }
    // Counts shorter than the header are refused before any field is read.
    const std::uint8_t valid[8] = {0x01, 0xFE, 0x80, 0x01, 0, 0, 0, 0};
    for (std::uint32_t n = 0; n < 8; ++n) {
        std::uint32_t payload = 0;
        EXPECT_EQ(plc::read_v2gtpHeader(valid, n, &payload), -1) << n;
    }
}

TEST_F(SessionTest, BadFrameIsDroppedButRestartsTheSequenceTimer) {
    Bytes m = Handshake({{kDin, 2, 0, 1}});
    m[1] = 0x00;
    clock.Advance(30000);
    EXPECT_TRUE(Exchange(m).empty());
    EXPECT_EQ(plc::isHandshake, 1);
    clock.Advance(59999);
    plc::V2G_Service();
    EXPECT_EQ(plc::V2GPhase, 0);
}

// ---------------------------------------------------------------- handshake

TEST_F(SessionTest, DinTwoZeroSchemaOneIsAnsweredWithTheExactTwelveBytes) {
    Bytes a = Exchange(Handshake({{kDin, 2, 0, 1}}));
    EXPECT_EQ(a, (Bytes{0x01, 0xFE, 0x80, 0x01, 0x00, 0x00, 0x00, 0x04, 0x80, 0x40, 0x00, 0x40}));
    EXPECT_EQ(plc::isHandshake, 0);
    EXPECT_EQ(plc::nSystemStatus, 0x06010000u);
}

TEST_F(SessionTest, HandshakeChoosesTheFirstDinEntryOfOurMajorVersion) {
    struct Case {
        const char* what;
        std::vector<Offer> offers;
        std::uint32_t code;  // 0 OK, 1 minor deviation, 2 no negotiation
        int schemaId;        // -1: none in the answer
    } cases[] = {
        {"ISO first, DIN second", {{kIso, 2, 0, 7}, {kDin, 2, 0, 9}}, 0, 9},
        {"DIN 2.1", {{kDin, 2, 1, 3}}, 1, 3},
        {"DIN 1.0 only", {{kDin, 1, 0, 3}}, 2, -1},
        {"DIN 3.0 then DIN 2.0", {{kDin, 3, 0, 4}, {kDin, 2, 0, 5}}, 0, 5},
        {"longer namespace", {{std::string(kDin) + "X", 2, 0, 3}}, 2, -1},
        {"beginning of the namespace", {{"urn:din:70121:2012:Msg", 2, 0, 3}}, 2, -1},
        {"DIN fifth", {{kIso, 2, 0, 1}, {kIso, 1, 0, 2}, {"a", 1, 0, 3}, {"b", 1, 0, 4}, {kDin, 2, 0, 6}}, 0, 6},
        {"DIN seventh", {{"a", 1, 0, 1}, {"b", 1, 0, 1}, {"c", 1, 0, 1}, {"d", 1, 0, 1}, {"e", 1, 0, 1},
                         {"f", 1, 0, 1}, {kDin, 2, 0, 8}}, 0, 8},
        {"ISO only", {{kIso, 2, 0, 1}}, 2, -1},
    };
    for (const Case& c : cases) {
        SetUp();
        Bytes a = Exchange(Handshake(c.offers));
        ASSERT_GE(a.size(), 8u) << c.what;
        EXPECT_EQ(a, HandshakeAnswer(c.code, c.schemaId)) << c.what;
        EXPECT_EQ(plc::isHandshake, 0) << c.what;
        // No common protocol ends the session.
        EXPECT_EQ(plc::V2GPhase, c.code == 2 ? plc::kV2gPhaseNoNegotiation : 0) << c.what;
    }
}

TEST_F(SessionTest, UndecodableHandshakeIsTakenAgainAsHandshake) {
    const std::uint8_t junk[] = {0x80, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(Exchange(Frame(junk, sizeof junk)).empty());
    EXPECT_EQ(plc::isHandshake, 1);
    EXPECT_FALSE(Exchange(Handshake({{kDin, 2, 0, 1}})).empty());
    EXPECT_EQ(plc::isHandshake, 0);
}

TEST_F(SessionTest, AHandshakeAnswerFromTheVehicleIsRefusedAsUndecodable) {
    // A supportedAppProtocolRes decodes into the response half of the
    // document, which the session never hands the decoder.
    EXPECT_TRUE(Exchange(HandshakeAnswer(0, 1)).empty());
    EXPECT_EQ(plc::isHandshake, 1);
    EXPECT_FALSE(Exchange(Handshake({{kDin, 2, 0, 1}})).empty());
}

// -------------------------------------------------------- sequence time-out

TEST_F(SessionTest, SequenceTimeoutAtSixtySecondsEndsTheSessionAndTheLateRequestIsRefused) {
    ToSessionSetup();
    clock.Advance(59999);
    plc::V2G_Service();
    EXPECT_EQ(plc::V2GPhase, 0);
    EXPECT_EQ(plc::nSystemStatus & 0xFF, 0u);
    clock.Advance(1);
    plc::V2G_Service();
    EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseTimeout);
    EXPECT_EQ(plc::nSystemStatus, 0x060C00FEu);  // the session ended by the time-out
    ASSERT_TRUE(Ask(kServiceDiscovery));
    EXPECT_EQ(answer.store->serviceDiscoveryRes.ResponseCode, plc::kRespFAILED_SequenceError);
    EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseTimeout);
}

// The vehicle closing or resetting the connection ends the session within
// the pass that sees the slot freed: nothing stays armed.
TEST_F(SessionTest, ConnectionGoneEndsTheSessionAtOnce) {
    ToSessionSetup();
    regmap::RegisterMap m(map.data());
    m.set(regmap::SHRMEM_CCS_EV_READY_TO_CHARGE, 1);
    m.set(regmap::SHRMEM_CCS_EV_TARGET_VOLTAGE, 400);
    m.set(regmap::SHRMEM_CCS_EV_TARGET_CURRENT, 100);
    plc::mdbcln_close(0);
    plc::V2G_Service();
    EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseLost);
    EXPECT_EQ(plc::nSystemStatus, 0x060C0000u);
    EXPECT_EQ(m.get(regmap::SHRMEM_CCS_EV_READY_TO_CHARGE), 0);
    EXPECT_EQ(m.get(regmap::SHRMEM_CCS_EV_TARGET_VOLTAGE), 0);
    EXPECT_EQ(m.get(regmap::SHRMEM_CCS_EV_TARGET_CURRENT), 0);
    EXPECT_EQ(plc::V2G_SessionID_Check(AnswerHeader()), 0);
}

TEST_F(SessionTest, NoTimeoutOutsideTheV2gState) {
    plc::DINState = 5;
    clock.Advance(600000);
    plc::V2G_Service();
    EXPECT_EQ(plc::V2GPhase, 0);
}

// ------------------------------------------------ order and session checks

TEST_F(SessionTest, OrderTable) {
    // Before SessionSetup no step but SessionSetup is in order.
    for (int step = 0x03; step <= 0x0C; ++step) {
        plc::nLast_SystemStatus = 0x06010000u;
        EXPECT_EQ(plc::V2GFlowCheck(static_cast<std::uint8_t>(step)), 0) << step;
    }
    ToSessionSetup();
    struct Case {
        std::uint8_t prev, step;
        int ok;
    } cases[] = {
        {0x01, 0x02, 0}, {0x02, 0x02, 0}, {0x02, 0x03, 1}, {0x03, 0x05, 1}, {0x03, 0x04, 0}, {0x05, 0x04, 1},
        {0x04, 0x04, 1}, {0x04, 0x06, 1}, {0x06, 0x06, 1}, {0x05, 0x06, 0}, {0x06, 0x07, 1}, {0x07, 0x07, 1},
        {0x07, 0x08, 1}, {0x08, 0x08, 1}, {0x08, 0x0A, 0}, {0x08, 0x09, 1}, {0x02, 0x09, 0}, {0x06, 0x09, 0},
        {0x09, 0x09, 0}, {0x09, 0x0A, 0},  // no start accepted yet: no CurrentDemand
        {0x03, 0x0B, 1}, {0x02, 0x0C, 1}, {0x00, 0x01, 1}, {0x02, 0x01, 0}, {0x0C, 0x0D, 0}, {0x0C, 0xFF, 0},
    };
    for (const Case& c : cases) {
        plc::nLast_SystemStatus = 0x06000000u | static_cast<std::uint32_t>(c.prev) << 16;
        EXPECT_EQ(plc::V2GFlowCheck(c.step), c.ok) << int(c.prev) << " -> " << int(c.step);
    }
}

TEST(V2gDataConv, MultiplierClampedAndDivisionTruncates) {
    struct Case {
        std::int8_t m;
        std::int16_t v;
        std::int32_t out;
    } cases[] = {{0, 1250, 1250}, {-1, 1250, 125}, {-1, 4100, 410}, {3, 32767, 32767000}, {5, 7, 7000},
                 {-7, 12345, 12}, {-1, -15, -1}, {2, -300, -30000}, {-3, 999, 0}};
    for (const Case& c : cases) EXPECT_EQ(plc::V2G_DataConv(c.m, c.v), c.out) << int(c.m) << " " << c.v;
}

TEST_F(SessionTest, SessionSetupIssuesRandomIdsAndASecondSetupEndsTheSession) {
    regmap::RegisterMap m(map.data());
    std::fill(map.begin() + 2163, map.begin() + 2196, 0x5A);
    m.set(regmap::SHRMEM_CCS_EVSE_PROCESSING, 0);  // the last vehicle's authorisation
    ToSessionSetup();
    EXPECT_EQ(AnswerHeader().SessionID.bytesLen, 8u);
    const auto& evseId = answer.store->sessionSetupRes.EVSEID;
    EXPECT_EQ(Bytes(evseId.bytes, evseId.bytes + evseId.bytesLen), (Bytes{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(answer.store->sessionSetupRes.isUsed, 0u);  // no DateTimeNow
    EXPECT_EQ(Step(), plc::kStepSessionSetup);
    // The new vehicle starts from nothing and waits for its own authorisation.
    for (std::uint32_t at = 2163; at <= 2195; ++at) {
        bool vehicles = at <= 2173 || (at >= 2184 && at <= 2186) || at >= 2189;
        EXPECT_EQ(map[at], vehicles ? 0 : 0x5A) << at;
    }
    EXPECT_EQ(m.get(regmap::SHRMEM_CCS_EVSE_PROCESSING), 1);
    std::uint8_t first[8];
    std::memcpy(first, sessionId, 8);

    // A second one: refused with the session's own ID, and the session ends.
    ASSERT_TRUE(Ask(kSessionSetup));
    EXPECT_EQ(answer.store->sessionSetupRes.ResponseCode, plc::kRespFAILED_SequenceError);
    EXPECT_EQ(std::memcmp(AnswerHeader().SessionID.bytes, sessionId, 8), 0);
    EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseStopped);
    ASSERT_TRUE(Ask(kServiceDiscovery));
    EXPECT_EQ(answer.store->serviceDiscoveryRes.ResponseCode, plc::kRespFAILED_SequenceError);

    // The next session has an ID of its own; the last one's matches nothing.
    NewSession();
    EXPECT_NE(std::memcmp(sessionId, first, 8), 0);
    ASSERT_TRUE(Ask(kServiceDiscovery, nullptr, first));
    EXPECT_EQ(answer.store->serviceDiscoveryRes.ResponseCode, plc::kRespFAILED_UnknownSession);
}

// Before SessionSetup nothing is served, and an all-zero ID (the ID of no
// session) never matches.
TEST_F(SessionTest, NothingButSessionSetupIsServedBeforeASession) {
    ASSERT_FALSE(Exchange(Handshake({{kDin, 2, 0, 1}})).empty());
    const std::uint8_t zero[8] = {};
    ASSERT_TRUE(Ask(kServiceDiscovery, nullptr, zero));
    EXPECT_EQ(answer.store->serviceDiscoveryRes.ResponseCode, plc::kRespFAILED_SequenceError);
    EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseStopped);
    MessageHeaderType h{};
    h.SessionID.bytesLen = 8;
    EXPECT_EQ(plc::V2G_SessionID_Check(h), 0);
}

TEST_F(SessionTest, SessionCheckWantsExactlyTheEightBytesOfTheCurrentId) {
    struct Case {
        const char* what;
        int changeByte;  // -1: none
        std::uint32_t len;
        std::int32_t code;
    } cases[] = {
        {"first byte different", 0, 8, plc::kRespFAILED_UnknownSession},
        {"last byte different", 7, 8, plc::kRespFAILED_UnknownSession},
        {"four matching bytes", -1, 4, plc::kRespFAILED_UnknownSession},
        {"no bytes", -1, 0, plc::kRespFAILED_UnknownSession},
        {"the current ID", -1, 8, plc::kRespOK},
    };
    for (const Case& c : cases) {
        NewSession();
        std::uint8_t id[8];
        std::memcpy(id, sessionId, 8);
        if (c.changeByte >= 0) id[c.changeByte] ^= 0xFF;
        ASSERT_TRUE(Ask(kServiceDiscovery, nullptr, id, c.len)) << c.what;
        EXPECT_EQ(answer.store->serviceDiscoveryRes.ResponseCode, c.code) << c.what;
        // The answer carries the station's own ID.
        EXPECT_EQ(AnswerHeader().SessionID.bytesLen, 8u) << c.what;
        EXPECT_EQ(std::memcmp(AnswerHeader().SessionID.bytes, sessionId, 8), 0) << c.what;
        // A refused request leaves the step at the session's end.
        EXPECT_EQ(Step(), c.code == plc::kRespOK ? plc::kStepServiceDiscovery : plc::kStepSessionStop) << c.what;
    }
}

TEST_F(SessionTest, ResponseCodeFromTheMapIsKeptInsideItsType) {
    ToSessionSetup();
    regmap::RegisterMap m(map.data());
    m.set(regmap::SHRMEM_CCS_RESPONSE_CODE, 200);
    ASSERT_TRUE(Ask(kServiceDiscovery));
    EXPECT_EQ(answer.store->serviceDiscoveryRes.ResponseCode, plc::kRespFAILED);
    NewSession();
    m.set(regmap::SHRMEM_CCS_RESPONSE_CODE, 6);
    ASSERT_TRUE(Ask(kServiceDiscovery));
    EXPECT_EQ(answer.store->serviceDiscoveryRes.ResponseCode, 6);
}

// ------------------------------------------------------- set-up services

TEST_F(SessionTest, ServiceDiscoveryOffersTheInternetServiceByCategory) {
    ToSessionSetup();
    struct Case {
        bool withCategory;
        std::int32_t category;
        bool list;
    } cases[] = {{false, 0, true}, {true, 0, false}, {true, 1, true}, {true, 2, false}, {true, 3, true}};
    for (const Case& c : cases) {
        plc::nSystemStatus = 0x06020000;
        ASSERT_TRUE(Ask(kServiceDiscovery, [&](DinMessageStore& s) {
            s.serviceDiscoveryReq.ServiceCategory = c.category;
            s.serviceDiscoveryReq.isUsed = c.withCategory ? 0x2 : 0;
        }));
        const ServiceDiscoveryResType& r = answer.store->serviceDiscoveryRes;
        EXPECT_EQ(r.ResponseCode, plc::kRespOK);
        EXPECT_EQ(r.PaymentOptions.PaymentOption.arrayLen, 1u);
        EXPECT_EQ(r.PaymentOptions.PaymentOption.array[0], 1);  // ExternalPayment
        EXPECT_EQ(r.ChargeService.ServiceTag.ServiceID, 1);
        EXPECT_EQ(r.ChargeService.EnergyTransferType, 3);  // DC_extended
        EXPECT_EQ((r.isUsed & 1) != 0, c.list) << c.category;
        if (c.list) {
            ASSERT_EQ(r.ServiceList.Service.arrayLen, 1u);
            EXPECT_EQ(r.ServiceList.Service.array[0].ServiceTag.ServiceID, 22);
            EXPECT_EQ(r.ServiceList.Service.array[0].ServiceTag.ServiceCategory, 1);
        }
    }
}

TEST_F(SessionTest, PaymentSelectionAndAuthorisation) {
    ToSessionSetup();
    ASSERT_TRUE(Ask(kServiceDiscovery));
    // Authorisation straight after discovery is out of order.
    ASSERT_TRUE(Ask(kContractAuthentication));
    EXPECT_EQ(answer.store->contractAuthenticationRes.ResponseCode, plc::kRespFAILED_SequenceError);
    EXPECT_EQ(Step(), plc::kStepSessionStop);

    struct Case {
        std::int32_t option;
        std::vector<std::uint16_t> services;
        std::int32_t code;
    } cases[] = {
        {0, {1}, plc::kRespFAILED_PaymentSelectionInvalid},
        {1, {1, 22}, plc::kRespFAILED_ServiceSelectionInvalid},
        {1, {22, 1}, plc::kRespOK},
    };
    for (const Case& c : cases) {
        NewSession();
        ASSERT_TRUE(Ask(kServiceDiscovery));
        ASSERT_TRUE(Ask(kServicePaymentSelection, [&](DinMessageStore& s) {
            auto& r = s.servicePaymentSelectionReq;
            r.SelectedPaymentOption = c.option;
            for (std::uint16_t id : c.services) r.SelectedServiceList.SelectedService.array[r.SelectedServiceList.SelectedService.arrayLen++].ServiceID = id;
        }));
        EXPECT_EQ(answer.store->servicePaymentSelectionRes.ResponseCode, c.code) << c.option;
    }
    regmap::RegisterMap m(map.data());
    EXPECT_EQ(m.get(regmap::SHRMEM_CCS_EVSE_PROCESSING), 1);  // set by SessionSetup
    ASSERT_TRUE(Ask(kContractAuthentication));
    EXPECT_EQ(answer.store->contractAuthenticationRes.ResponseCode, plc::kRespOK);
    EXPECT_EQ(answer.store->contractAuthenticationRes.EVSEProcessing, 1);
    m.set(regmap::SHRMEM_CCS_EVSE_PROCESSING, 0);
    ASSERT_TRUE(Ask(kContractAuthentication));
    EXPECT_EQ(answer.store->contractAuthenticationRes.EVSEProcessing, 0);
    m.set(regmap::SHRMEM_CCS_EVSE_PROCESSING, 1);
    m.set(regmap::SHRMEM_STOP_BUTTON, 0x08);
    ASSERT_TRUE(Ask(kContractAuthentication));
    EXPECT_EQ(answer.store->contractAuthenticationRes.ResponseCode, plc::kRespFAILED);
    EXPECT_EQ(answer.store->contractAuthenticationRes.EVSEProcessing, 0);
    EXPECT_EQ(Step(), plc::kStepSessionStop);
}

TEST_F(SessionTest, UnsupportedRequestsGetFailedAndEndTheSession) {
    for (int bit : {kServiceDetail, kChargingStatus}) {
        NewSession();
        ASSERT_TRUE(Ask(bit)) << bit;
        EXPECT_EQ(std::memcmp(AnswerHeader().SessionID.bytes, sessionId, 8), 0);
        EXPECT_EQ(plc::nSystemStatus, 0x060C0000u);
        EXPECT_EQ(plc::V2GPhase, plc::kV2gPhaseStopped);
    }
    EXPECT_EQ(answer.store->chargingStatusRes.ResponseCode, plc::kRespFAILED);
}

}  // namespace
