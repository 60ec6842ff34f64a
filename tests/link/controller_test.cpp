// Marlet's controller: the standby chain against the emulated modem, the
// modem reset policy, the pilot test and the session state machine.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "link_rig.h"
#include "link_seams.h"

using namespace plc;

namespace {

bool PowerOn() { return QCA7k_PowerOn == 1; }

std::vector<std::uint8_t> ModemMac(const LinkRig& rig) {
    return std::vector<std::uint8_t>(rig.modem->config().mac, rig.modem->config().mac + 6);
}

std::vector<std::uint8_t> StationMac() {
    std::vector<std::uint8_t> m;
    for (auto w : MACAddress) {
        m.push_back(static_cast<std::uint8_t>(w >> 8));
        m.push_back(static_cast<std::uint8_t>(w));
    }
    return m;
}

bool SawReset(const LinkRig& rig) {
    for (auto [line, v] : rig.gpio->writes)
        if (line == 79 && v == 0) return true;
    return false;
}

TEST(Controller, StandbyChainCompletesAgainstTheModem) {
    LinkRig rig;
    rig.SetPilot(0);
    ASSERT_TRUE(rig.RunUntil(PowerOn));
    rig.Pass();
    EXPECT_EQ(StationMac(), ModemMac(rig));
    EXPECT_EQ(std::vector<std::uint8_t>(MAC_EVSE, MAC_EVSE + 6), ModemMac(rig));
    EXPECT_EQ(rig.StatusWord(), 0x0B000000u);
    // The modem runs on our key.
    EXPECT_EQ(std::memcmp(rig.modem->nid(), NID, 7), 0);
    EXPECT_EQ(std::memcmp(rig.modem->nmk(), test_NMK, 16), 0);
    EXPECT_EQ(rig.modem->mgmtRequests[0xA000], 1u);
    EXPECT_EQ(rig.modem->mgmtRequests[0x6008], 1u);
    EXPECT_GE(rig.modem->mgmtRequests[0xA038], 1u);
    EXPECT_EQ(rig.modem->frameErrors + rig.modem->protocolErrors, 0u);
    EXPECT_FALSE(SawReset(rig));
    // Standby stays quiet once the modem is confirmed.
    auto requests = rig.modem->mgmtRequests;
    for (int i = 0; i < 100; ++i) rig.Pass();
    EXPECT_EQ(rig.modem->mgmtRequests, requests);
    EXPECT_EQ(rig.StatusWord(), 0x0B000000u);
}

// The chip stops answering in confirmed standby: its transfers fail (the
// emulator is gone) or it drops out of running (held in reset, signature
// lost). The driver leaves its running state, the status says so instead of
// "configured", and once the chip answers again the controller takes it
// through the management chain, so a vehicle plugged in afterwards starts SLAC.
TEST(Controller, ModemThatStopsAnsweringIsNoticedAndConfiguredAgain) {
    for (bool failTransfers : {true, false}) {
        SCOPED_TRACE(failTransfers ? "transfers fail" : "chip drops out");
        LinkRig rig;
        rig.SetPilot(0);
        ASSERT_TRUE(rig.RunUntil(PowerOn));
        rig.Pass();
        ASSERT_EQ(rig.StatusWord(), 0x0B000000u);
        auto requests = rig.modem->mgmtRequests;
        if (failTransfers) rig.bus->failing = true;
        else rig.modem->SetResetLine(0);
        ASSERT_TRUE(rig.RunUntil([&] { return rig.PhyState() != PHY_RUN; }, 100));
        rig.Pass();
        EXPECT_EQ(QCA7k_PowerOn, 0);
        EXPECT_EQ(rig.map[2197], 0x09);
        rig.bus->failing = false;
        rig.modem->SetResetLine(1);
        ASSERT_TRUE(rig.RunUntil(PowerOn));
        rig.Pass();
        EXPECT_EQ(rig.StatusWord(), 0x0B000000u);
        EXPECT_EQ(rig.modem->mgmtRequests[0xA000], requests[0xA000] + 1);
        EXPECT_EQ(std::memcmp(rig.modem->nid(), NID, 7), 0);
        rig.SetPilot(4);
        ASSERT_TRUE(rig.RunUntil([] { return DINState == 1; }, 10));
    }
}

// The controller sleeps seconds inside the decoder (the modem applies a key):
// a chip that drops out and comes back meanwhile is still taken through the
// management chain again.
TEST(Controller, ModemThatDropsOutWhileTheControllerSleepsIsConfiguredAgain) {
    LinkRig rig;
    rig.SetPilot(0);
    ASSERT_TRUE(rig.RunUntil(PowerOn));
    auto requests = rig.modem->mgmtRequests;
    rig.bus->failing = true;
    for (int i = 0; i < 10 && rig.PhyState() == PHY_RUN; ++i) rig.DriverStep();
    rig.bus->failing = false;
    ASSERT_TRUE(rig.SyncDriver());  // back before the controller's next pass
    ASSERT_TRUE(rig.RunUntil([&] { return rig.modem->mgmtRequests[0xA000] > requests[0xA000]; }, 100));
    ASSERT_TRUE(rig.RunUntil(PowerOn));
    EXPECT_EQ(std::memcmp(rig.modem->nid(), NID, 7), 0);
}

TEST(Controller, SilentModemIsResetAfterTenUnansweredRequests) {
    greenphy::ModemConfig c;
    c.managementSilent = true;
    LinkRig rig(c);
    rig.SetPilot(0);
    ASSERT_TRUE(rig.RunUntil([&] { return SawReset(rig); }));
    EXPECT_EQ(rig.modem->mgmtRequests[0xA000], 10u);
    // The reset completes and the chain starts over.
    ASSERT_TRUE(rig.RunUntil([&] { return rig.modem->mgmtRequests[0xA000] > 10u; }));
    EXPECT_EQ(rig.modem->resets, 1u);
    EXPECT_EQ(rig.gpio->writes.back(), std::make_pair(79, 1));
    EXPECT_EQ(QCA7k_PowerOn, 0);
}

TEST(Controller, RefusedKeyIsRetriedAndForcesANewKeyWithAReset) {
    greenphy::ModemConfig c;
    c.setKeyResult = 0;  // taken as a refusal
    LinkRig rig(c);
    rig.SetPilot(0);
    ASSERT_TRUE(rig.RunUntil([&] { return SawReset(rig); }, 20000));
    EXPECT_EQ(rig.modem->mgmtRequests[0x6008], 10u);
    EXPECT_EQ(rig.modem->mgmtRequests[0xA038], 0u);
    EXPECT_EQ(QCA7k_PowerOn, 0);
    // A new key is due: after the reset the key request comes first.
    ASSERT_TRUE(rig.RunUntil([&] { return rig.modem->mgmtRequests[0x6008] == 11u; }));
    EXPECT_EQ(rig.modem->mgmtRequests[0xA000], 1u);
    EXPECT_EQ(rig.modem->mgmtRequests[0xA038], 0u);
    EXPECT_EQ(bupdate_CM_Set_Key, 0);
}

TEST(Controller, PilotStatesThreeToFiveCountAsConnected) {
    LinkRig rig;
    for (std::uint8_t v = 0; v < 8; ++v) {
        SCOPED_TRACE(int(v));
        rig.SetPilot(0);
        rig.clock.Advance(1001);
        DIN_GetChargingStatus();  // any earlier vehicle is gone
        rig.SetPilot(v);
        EXPECT_EQ(DIN_GetChargingStatus(), (v >= 3 && v <= 5) ? 1 : 0);
    }
}

TEST(Controller, PilotDropUpToOneSecondKeepsTheSessionLongerResetsOnce) {
    LinkRig rig;
    rig.SetPilot(4);
    ASSERT_EQ(DIN_GetChargingStatus(), 1);
    DINState = 3;
    auto resets = nSessionResetCnt;
    rig.SetPilot(2);
    rig.clock.SetWallSeconds(0);  // a calendar clock jump moves no time-out
    rig.clock.Advance(1000);
    EXPECT_EQ(DIN_GetChargingStatus(), 1);
    EXPECT_EQ(DINState, 3);
    EXPECT_EQ(nSessionResetCnt, resets);
    rig.clock.Advance(1);
    EXPECT_EQ(DIN_GetChargingStatus(), 0);
    EXPECT_EQ(DINState, 0);
    EXPECT_EQ(nSessionResetCnt, resets + 1);
    rig.clock.Advance(5000);
    EXPECT_EQ(DIN_GetChargingStatus(), 0);
    EXPECT_EQ(nSessionResetCnt, resets + 1);
    // The reset cleared the frame segment and put the version back.
    EXPECT_EQ(rig.segment[24572], 0x00);
    EXPECT_EQ(rig.segment[24573], 0x08);
    EXPECT_EQ(rig.segment[24574], 0x17);
    EXPECT_EQ(rig.segment[24575], 0x00);
}

TEST(Controller, SilentVehicleFailsSlacAndTheModemIsResetAtUnplug) {
    LinkRig rig;
    rig.SetPilot(0);
    ASSERT_TRUE(rig.RunUntil(PowerOn));
    rig.SetPilot(4);
    ASSERT_TRUE(rig.RunUntil([] { return DINState == 1; }));
    EXPECT_EQ(rig.StatusWord() >> 24, 0x01u);
    rig.clock.Advance(50001);
    ASSERT_TRUE(rig.RunUntil([] { return DINState == 255; }, 10));
    rig.Pass();
    EXPECT_EQ(rig.StatusWord(), 0x010000FEu);
    // It stays until the vehicle leaves.
    rig.clock.Advance(100000);
    rig.Pass();
    EXPECT_EQ(rig.StatusWord(), 0x010000FEu);
    EXPECT_FALSE(SawReset(rig));
    rig.SetPilot(1);
    rig.clock.Advance(1001);
    rig.Pass();
    ASSERT_TRUE(rig.RunUntil([&] { return SawReset(rig); }, 10));
    EXPECT_EQ(DINState, 0);
    // The confirmed modem is asked for its network again after the reset.
    ASSERT_TRUE(rig.RunUntil(PowerOn));
}

struct StepCase {
    std::uint8_t state;
    std::uint8_t v2gPhase;
    std::uint8_t nextState;
    std::uint32_t status;  // 0: unchanged
};

TEST(Controller, SessionEndStates) {
    const StepCase cases[] = {
        {6, 0, 6, 0},          {6, 21, 7, 0},         {6, 253, 255, 0},     {6, 255, 255, 0},
        {7, 0, 8, 0x07000000}, {8, 0, 10, 0x08000000}, {10, 0, 10, 0x0A000000},
    };
    LinkRig rig;
    rig.SetPilot(4);
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.state) * 1000 + c.v2gPhase);
        DINState = c.state;
        V2GPhase = c.v2gPhase;
        nSystemStatus = 0x06000000;
        if (c.state == 8) Flag_CloseTCP = 1;
        DIN_Controller();
        EXPECT_EQ(DINState, c.nextState);
        EXPECT_EQ(nSystemStatus, c.status ? c.status : 0x06000000u);
    }
}

TEST(Controller, V2GPortThatCannotBeOpenedFailsTheSession) {
    LinkRig rig;
    rig.SetPilot(4);
    DINState = 4;
    DIN_Controller();
    EXPECT_EQ(DINState, 5);
    EXPECT_EQ(nSystemStatus, 0x05000000u);
    DINState = 4;  // the slot is open already: a second listen is refused
    DIN_Controller();
    EXPECT_EQ(DINState, 255);
    EXPECT_EQ(nSystemStatus, 0x030000FFu);
}

TEST(Controller, EvMacIsPublishedWhenSdpStartsAndClearedInStandby) {
    LinkRig rig;
    ASSERT_TRUE(rig.SyncDriver());
    const std::uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    std::memcpy(CM_SLAC_MATCHREQ_Form + 21, mac, 6);
    nSystemStatus = 0x02000000;
    UpdateCCSMacStatus();
    EXPECT_EQ(rig.map[2207], 0);
    nSystemStatus = 0x03000000;
    testing::internal::CaptureStdout();
    UpdateCCSMacStatus();
    UpdateCCSMacStatus();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[IF_MAIN][891]Mac id: 1:2:3:4:5:6 \n");
    EXPECT_EQ(rig.map[2207], 1);
    EXPECT_EQ(std::memcmp(&rig.map[2208], mac, 6), 0);
    rig.SetPilot(0);
    rig.Pass();
    EXPECT_EQ(rig.map[2207], 0);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(rig.map[2208 + i], 0);
}


// One supervised time-out: the state it is armed in, the time stamp it runs
// from and its length; nothing happens at the limit, `acted` holds one
// millisecond later.
struct TimeoutCase {
    const char* name;
    std::uint8_t state;
    std::uint32_t status;
    common::TimeStamp* since;
    std::int64_t limitMs;
    std::function<void()> arm;
    std::function<bool()> acted;
};

bool SlacRestarted() { return DINState == 1 && nSystemStatus == 0x01000000u; }

TEST(Controller, SessionTimeoutsActOneMillisecondAfterTheirLimit) {
    const TimeoutCase cases[] = {
        {"no CM_SLAC_PARM.REQ", 1, 0x01000000, &nTT_EVSE_SLAC_INIT, 50000, [] {},
         [] { return DINState == 255 && nSystemStatus == 0x010000FEu; }},
        {"PARM.CNF not sent", 1, 0x01606400, &nTP_MATCH_RESPONSE, 100, [] { fgCMSLACPARMReqSend = 1; }, SlacRestarted},
        {"PARM.CNF resent", 1, 0x01606500, &nTT_MATCH_SEQUENCE, 100, [] {}, [] { return fgCMSLACPARMReqSend == 1; }},
        {"no START_ATTEN_CHAR", 1, 0x01606500, &nTT_MATCH_SEQUENCE, 1200, [] { nCM_SLAC_PARM_CNF_Cnt = 5; },
         [] { return DINState == 0 && nSystemStatus == 0x01000000u && nCM_SLAC_PARM_CNF_Cnt == 0; }},
        {"sounding ends, accepted", 1, 0x01607600, &nTT_EVSE_MATCH_MNBC, 600, [] { fgCMSTARTATTENCHARIndSend = 1; },
         [] { return fgCMMNBCSOUNDIndSend == 1 && fgCMATTENPROFILEIndSend == 1 && DINState == 1; }},
        {"sounding ends, not accepted", 1, 0x01608600, &nTT_EVSE_MATCH_MNBC, 600, [] {},
         [] { return DINState == 0; }},
        {"ATTEN_CHAR.IND resent", 1, 0x01606E00, &nTT_MATCH_RESPONSE, 200, [] { nCM_ATTN_CHAR_IND_Cnt = 3; },
         [] { return fgCMSTARTATTENCHARIndSend && fgCMMNBCSOUNDIndSend && fgCMATTENPROFILEIndSend; }},
        {"ATTEN_CHAR.IND given up", 1, 0x01606E00, &nTT_MATCH_RESPONSE, 200, [] { nCM_ATTN_CHAR_IND_Cnt = 4; },
         [] { return DINState == 255 && nSystemStatus == 0x01606EFEu; }},
        {"no MATCH.REQ", 1, 0x01606F00, &nTT_EVSE_MATCH_SESSION, 10000, [] {}, SlacRestarted},
        {"MATCH.CNF not sent", 1, 0x01607C00, &nTT_MATCH_JOIN, 100, [] {}, SlacRestarted},
        {"match not joined", 1, 0x01607D00, &nTP_MATCH_RESPONSE, 12000, [] {}, SlacRestarted},
        {"no SDP request", 3, 0x03000000, &UDP_MSG_StartTime, 60000, [] { SECC_State = 3; },
         [] { return DINState == 255 && nSystemStatus == 0x030000FEu && SECC_State == 255; }},
        {"no TCP connection", 5, 0x05000000, &TCP_MSG_StartTime, 60000, [] {},
         [] { return DINState == 255 && nSystemStatus == 0x050000FEu; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LinkRig rig;
        rig.SetPilot(4);
        DINState = c.state;
        nSystemStatus = c.status;
        c.arm();
        *c.since = common::MonotonicNow();
        rig.clock.Advance(c.limitMs);
        DIN_Controller();
        EXPECT_FALSE(c.acted());
        EXPECT_EQ(DINState, c.state);
        rig.clock.Advance(1);
        DIN_Controller();
        EXPECT_TRUE(c.acted());
    }
}

TEST(Controller, ConfirmedMatchMovesToAddressSetUpAndAsksForANewKey) {
    LinkRig rig;
    rig.SetPilot(4);
    DINState = 1;
    nSystemStatus = 0x01607D00;
    nTP_MATCH_RESPONSE = common::MonotonicNow();
    EVSE_State = 2;
    bupdate_CM_Set_Key = 0;
    DIN_Controller();
    EXPECT_EQ(DINState, 2);
    EXPECT_EQ(nSystemStatus, 0x02000000u);
    EXPECT_EQ(bupdate_CM_Set_Key, 1);
}

// A standby request that got no answer: raised again after its interval,
// and a reset of the modem once its counter passes 10.
struct RetryCase {
    const char* name;
    std::uint32_t status;
    common::TimeStamp* sentAt;
    std::int64_t intervalMs;
    std::uint8_t* request;
    std::uint8_t* counter;
    bool forcesNewKey;
};

TEST(Controller, StandbyRequestsAreRetriedAndTheEleventhAttemptResetsTheModem) {
    const RetryCase cases[] = {
        {"VS_SW_VER", 0x0BA00000, &nVS_SW_VER_ST, 200, &fgVSSWVER_Req, &fgVSSWVER_Cnt, false},
        {"CM_SET_KEY", 0x0B600800, &nCM_SET_KEY_ST, 300, &fg_CMSETKEYReqSend, &fg_CMSETKEYReqSendCnt, true},
        {"VS_NW_INFO", 0x0BA03800, &nVS_NW_INFO_ST, 400, &fgVSNWINFO_Req, &fgVSNWINFO_Cnt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LinkRig rig;
        fgVSSWVER_Cnf = c.forcesNewKey ? 1 : 0;
        bupdate_CM_Set_Key = 0;
        std::vector<std::uint8_t> nid(NID, NID + 7);
        nSystemStatus = c.status;
        *c.counter = 9;
        *c.sentAt = common::MonotonicNow();
        rig.clock.Advance(c.intervalMs);
        Task_Standby();
        EXPECT_EQ(*c.request, 0);
        EXPECT_EQ(*c.counter, 9);
        rig.clock.Advance(1);
        Task_Standby();
        EXPECT_EQ(*c.request, 1);
        EXPECT_EQ(*c.counter, 10);
        EXPECT_EQ(LoadWord(kResetFlag), 0);

        // The tenth retry is the eleventh attempt.
        *c.request = 0;
        rig.clock.Advance(c.intervalMs + 1);
        Task_Standby();
        EXPECT_EQ(LoadWord(kResetFlag), 1);
        EXPECT_EQ(DINState, 0);
        if (c.forcesNewKey) {
            // A new key is made and set into the modem first.
            EXPECT_NE(std::vector<std::uint8_t>(NID, NID + 7), nid);
            EXPECT_EQ(fg_CMSETKEYReqSend, 1);
            EXPECT_EQ(fg_CMSETKEYReqSendCnt, 1);
            EXPECT_EQ(fgVSNWINFO_Req, 0);
            EXPECT_EQ(nSystemStatus, 0x0B600800u);
        } else {
            EXPECT_EQ(std::vector<std::uint8_t>(NID, NID + 7), nid);
            EXPECT_EQ(fgVSSWVER_Req, 1);
            EXPECT_EQ(fgVSSWVER_Cnt, 1);
            EXPECT_EQ(nSystemStatus, 0x0BA00000u);
        }
    }
}

// When the vehicle leaves, the modem is reset after a failed session or
// when its last reset is more than three hours old.
struct UnplugCase {
    std::uint8_t result;
    std::int64_t sinceResetMs;
    bool reset;
};

TEST(Controller, UnplugResetsTheModemAfterAFailureOrThreeHours) {
    const UnplugCase cases[] = {
        {0x00, 0, false},         {0xFE, 0, true}, {0xFF, 0, true}, {0x01, 0, false},
        {0x00, 10800999, false}, {0x00, 10801000, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.result) << " after " << c.sinceResetMs);
        LinkRig rig;
        rig.SetPilot(4);
        ASSERT_EQ(DIN_GetChargingStatus(), 1);
        // The last reset is `sinceResetMs` old when the vehicle counts as gone.
        QCA7K_Reset_ST = common::TimeStamp{common::MonotonicNow().ms + 1001 - c.sinceResetMs};
        DINState = 255;
        nSystemStatus = 0x03000000u | c.result;
        rig.SetPilot(1);
        ASSERT_EQ(DIN_GetChargingStatus(), 1);
        rig.clock.Advance(1001);
        EXPECT_EQ(DIN_GetChargingStatus(), 0);
        EXPECT_EQ(DINState, 0);
        EXPECT_EQ(LoadWord(kResetFlag), c.reset ? 1 : 0);
        if (c.reset) {
            EXPECT_EQ(common::ElapsedMs(QCA7K_Reset_ST), 0);
        }
    }
}

TEST(Controller, CompletedSessionLeavesANewKeyForTheNextVehicle) {
    LinkRig rig;
    rig.SetPilot(0);
    ASSERT_TRUE(rig.RunUntil(PowerOn));
    std::vector<std::uint8_t> firstNid(NID, NID + 7);
    auto requests = rig.modem->mgmtRequests;
    rig.SetPilot(4);
    ASSERT_TRUE(rig.RunUntil([] { return DINState == 1; }));
    // As a completed session leaves it: SessionStop answered, key used up.
    DINState = 10;
    bupdate_CM_Set_Key = 1;
    rig.Pass();
    EXPECT_EQ(rig.StatusWord(), 0x0A000000u);
    rig.SetPilot(0);
    rig.clock.Advance(1001);
    rig.Pass();
    ASSERT_TRUE(rig.RunUntil(PowerOn));
    EXPECT_NE(std::vector<std::uint8_t>(NID, NID + 7), firstNid);
    EXPECT_EQ(std::memcmp(rig.modem->nid(), NID, 7), 0);
    EXPECT_EQ(std::memcmp(rig.modem->nmk(), test_NMK, 16), 0);
    EXPECT_EQ(rig.modem->mgmtRequests[0x6008], requests[0x6008] + 1);
    EXPECT_GT(rig.modem->mgmtRequests[0xA038], requests[0xA038]);
    EXPECT_EQ(rig.modem->mgmtRequests[0xA000], requests[0xA000]);
    EXPECT_FALSE(SawReset(rig));
    EXPECT_EQ(bupdate_CM_Set_Key, 0);
}


using Bytes = std::vector<std::uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const auto& p : parts) b.insert(b.end(), p.begin(), p.end());
    b.resize(std::max<std::size_t>(b.size(), 60), 0);
    return b;
}

TEST(Controller, StandbyRequestsAreBuiltByteForByte) {
    LinkRig rig;
    MACAddress[0] = 0x00B0;
    MACAddress[1] = 0x5211;
    MACAddress[2] = 0x2233;
    const Bytes station = {0x00, 0xB0, 0x52, 0x11, 0x22, 0x33};
    const Bytes modemLocal = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x01};
    const Bytes nid(NID, NID + 7), nmk(test_NMK, test_NMK + 16);
    struct Case {
        const char* name;
        void (*encode)();
        Bytes want;
    };
    const Case cases[] = {
        {"VS_SW_VER.REQ", Encode_VSSWVER_REQ_MME, Cat({modemLocal, station, {0x88, 0xE1, 0x00, 0x00, 0xA0, 0x00, 0xB0, 0x52}})},
        {"VS_NW_INFO.REQ", Encode_VSNWINFO_REQ_MME,
         Cat({modemLocal, station, {0x88, 0xE1, 0x01, 0x38, 0xA0, 0x00, 0x00, 0x00, 0xB0, 0x52}})},
        {"CM_SET_KEY.REQ", Encode_CM_SET_KEY_REQ_MME,
         Cat({station, station, {0x88, 0xE1, 0x01, 0x08, 0x60, 0x00, 0x00},
              {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x04, 0, 0, 0, 0x01}, nid, {0x01}, nmk, {0, 0, 0}})},
    };
    std::size_t slot = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.want.size(), 60u);
        c.encode();
        EXPECT_EQ(QueuedFrame(slot++), c.want);
    }
}

// A VS_SW_VER.CNF in the current receive slot, from `source`.
void ReceiveSwVerCnf(const Bytes& source) {
    Bytes f = Cat({{0x02, 0x56, 0x54, 0x00, 0x00, 0x01}, source, {0x88, 0xE1, 0x00, 0x01, 0xA0, 0x00, 0xB0, 0x52}});
    std::uint8_t idx = LoadByte(kRxBufIdx);
    std::memcpy(RxSlot(idx), f.data(), f.size());
    StoreWord(RxSlotLength(idx), static_cast<std::uint16_t>(f.size()));
    StoreWord(RxSlotFlag(idx), 1);
    StoreByte(kRxBufIdx, static_cast<std::uint8_t>(idx + 1));
    CountUp(kRxBufNum);
}

TEST(Controller, ModemAddressWithAZeroFirstWordDoesNotConfirmTheVersion) {
    const struct {
        Bytes source;
        bool confirms;
    } cases[] = {{{0x00, 0x00, 0x52, 0x01, 0x02, 0x03}, false}, {{0x00, 0x01, 0x00, 0x00, 0x00, 0x00}, true},
                 {{0x00, 0xB0, 0x52, 0x01, 0x02, 0x03}, true}};
    for (const auto& c : cases) {
        LinkRig rig;
        rig.SetPilot(0);
        ReceiveSwVerCnf(c.source);
        MMEDecode();
        EXPECT_EQ(StationMac(), c.source);
        EXPECT_EQ(nSystemStatus, 0x0BA00100u);
        EXPECT_EQ(fgVSSWVER_Cnf, c.confirms ? 1 : 0);
        EXPECT_EQ(fg_CMSETKEYReqSend, c.confirms ? 1 : 0);
        EXPECT_EQ(LoadByte(kRxBufNum), 0);  // the slot was taken
    }
}


TEST(Controller, ConfirmedModemIsResetInStandbyAfterThreeHours) {
    const struct {
        std::uint16_t powerOn;
        std::int64_t sinceResetMs;
        bool reset;
    } cases[] = {{1, 10800999, false}, {1, 10801000, true}, {0, 20000000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.powerOn << " after " << c.sinceResetMs);
        LinkRig rig;
        fgVSSWVER_Cnf = 1;
        bupdate_CM_Set_Key = 0;
        QCA7k_PowerOn = c.powerOn;
        nSystemStatus = 0x0B000000;
        QCA7K_Reset_ST = common::TimeStamp{common::MonotonicNow().ms - c.sinceResetMs};
        Task_Standby();
        EXPECT_EQ(LoadWord(kResetFlag), c.reset ? 1 : 0);
        if (c.reset) {
            // Reset over, the modem's network is checked again.
            EXPECT_EQ(QCA7k_PowerOn, 0);
            EXPECT_EQ(fgVSNWINFO_Req, 1);
            EXPECT_EQ(common::ElapsedMs(QCA7K_Reset_ST), 0);
        }
    }
}

}  // namespace
