// Marlet's controller: the standby chain against the emulated modem, the
// modem reset policy, the pilot test and the session state machine.
#include <gtest/gtest.h>

#include <cstring>

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

TEST(Controller, NotYetBuiltStackFailsTheSessionHonestly) {
    LinkRig rig;
    rig.SetPilot(4);
    DINState = 4;  // the V2G port cannot be opened yet
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

}  // namespace
