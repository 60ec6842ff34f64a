// SLAC on the station's side: against the vehicle simulator over the
// emulated modem's line, with the modem's attenuation profiles; the messages
// byte for byte; the averages rule; messages of another run or cut short.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <fstream>

#include "command.h"
#include "ev_slac.h"
#include "link_rig.h"
#include "link_seams.h"
#include "testroot.h"

using namespace plc;

namespace {

using Bytes = std::vector<std::uint8_t>;

greenphy::ModemConfig SlacModem() {
    greenphy::ModemConfig c;
    c.requireMatch = true;
    for (std::size_t g = 0; g < c.attenuation.size(); ++g) c.attenuation[g] = static_cast<std::uint8_t>(10 + g);
    return c;
}

// The station and a simulated vehicle on the modem's line.
struct SlacRig {
    explicit SlacRig(evsim::Fault fault = evsim::Fault::None, greenphy::ModemConfig c = SlacModem(),
                     greenphy::PcapWriter* pcap = nullptr)
        : rig(c, pcap) {
        evsim::EvConfig ec;
        ec.fault = fault;
        ev = std::make_unique<evsim::EvSlac>(ec, &evLine);
    }
    void Pass() {
        rig.Pass();
        ev->Step();
    }
    bool RunUntil(const std::function<bool()>& done, int max = 20000) {
        for (int i = 0; i < max; ++i) {
            if (done()) return true;
            Pass();
        }
        return done();
    }
    // Modem configured, then the vehicle plugs in.
    void PlugIn() {
        rig.SetPilot(0);
        ASSERT_TRUE(rig.RunUntil([] { return QCA7k_PowerOn == 1; }));
        rig.Pass();
        rig.SetPilot(4);
    }
    Bytes StationMac() const {
        Bytes m;
        for (auto w : MACAddress) m.insert(m.end(), {std::uint8_t(w >> 8), std::uint8_t(w)});
        return m;
    }

    LinkRig rig;
    greenphy::FdLine evLine{rig.sp[1], false};
    std::unique_ptr<evsim::EvSlac> ev;
};

using State = evsim::EvSlac::State;

TEST(Slac, VehicleIsMatchedWithTheModemsKeyAndOnlyThenAdmitted) {
    SlacRig s;
    s.PlugIn();
    // Before the match the modem lets no data frame of the vehicle through.
    auto ipv6 = LinkRig::MakeFrame(80, 1);
    std::memcpy(ipv6.data() + 6, evsim::EvConfig{}.mac.data(), 6);
    s.rig.PeerSend(ipv6);
    ASSERT_TRUE(s.RunUntil([&] { return s.ev->state() == State::Matched && DINState >= 2; }));
    EXPECT_EQ(s.rig.modem->notAdmitted, 1u);
    // The address set-up passes straight on to SDP.
    s.rig.Pass();
    EXPECT_EQ(s.rig.StatusWord(), 0x03000000u);
    EXPECT_EQ(EVSE_State, 2);
    EXPECT_EQ(bupdate_CM_Set_Key, 1);
    EXPECT_EQ(s.ev->nid(), Bytes(NID, NID + 7));
    EXPECT_EQ(s.ev->nmk(), Bytes(test_NMK, test_NMK + 16));
    EXPECT_EQ(std::memcmp(s.rig.modem->nid(), NID, 7), 0);
    EXPECT_EQ(std::memcmp(s.rig.modem->nmk(), test_NMK, 16), 0);
    EXPECT_EQ(Bytes(s.ev->station().begin(), s.ev->station().end()), s.StationMac());
    // Ten sounds, ten profiles, and the averages of what the modem measured.
    EXPECT_EQ(s.ev->soundsReported(), 10);
    EXPECT_EQ(s.ev->averages(), s.rig.modem->config().attenuation);
    EXPECT_EQ(s.rig.modem->profiles, 10u);
    EXPECT_EQ(nLinkCounters.mmeRejected, 0u);
    // Now a data frame of the vehicle reaches the station.
    auto before = s.rig.modem->notAdmitted;
    s.rig.PeerSend(ipv6);
    for (int i = 0; i < 5; ++i) s.Pass();
    EXPECT_EQ(s.rig.modem->notAdmitted, before);
    EXPECT_EQ(LoadByte(kRxBufNum), 0);  // taken by the IP stack's entry
    // The vehicle's MAC is published once SDP starts.
    DINState = 3;
    nSystemStatus = 0x03000000;
    testing::internal::CaptureStdout();
    UpdateCCSMacStatus();
    testing::internal::GetCapturedStdout();
    const evsim::Mac evMac = evsim::EvConfig{}.mac;
    EXPECT_EQ(Bytes(&s.rig.map[2208], &s.rig.map[2214]), Bytes(evMac.begin(), evMac.end()));
}

// The vehicle's first CM_SLAC_PARM.REQ can arrive in the very pass in which
// the station sees the pilot become active: it is answered, not left for
// the vehicle's retry.
TEST(Slac, FirstParmRequestOfAPlugInIsAnswered) {
    SlacRig s;
    s.rig.SetPilot(0);
    ASSERT_TRUE(s.rig.RunUntil([] { return QCA7k_PowerOn == 1; }));
    s.rig.Pass();
    s.ev->Step();  // the request is on the line before the station's next pass
    s.rig.SetPilot(4);
    ASSERT_TRUE(s.RunUntil([&] { return s.ev->state() == State::Matched; }));
    EXPECT_EQ(s.ev->parmRequests(), 1);
}

TEST(Slac, MisbehavingVehiclesAreNotMatched) {
    {
        SCOPED_TRACE("silent");
        SlacRig s(evsim::Fault::Silent);
        s.PlugIn();
        ASSERT_TRUE(s.RunUntil([] { return DINState == 1; }, 10));
        s.rig.clock.Advance(50001);
        ASSERT_TRUE(s.RunUntil([] { return DINState == 255; }, 10));
        s.rig.Pass();
        EXPECT_EQ(s.rig.StatusWord(), 0x010000FEu);
    }
    {
        SCOPED_TRACE("wrong run ID");
        SlacRig s(evsim::Fault::WrongRunId);
        s.PlugIn();
        bool sentAttenChar = false;
        s.RunUntil([&] {
            sentAttenChar |= nCM_ATTN_CHAR_IND_Cnt > 0;
            return s.ev->state() == State::Failed;
        });
        EXPECT_EQ(s.ev->state(), State::Failed);
        EXPECT_FALSE(sentAttenChar);
        EXPECT_NE(EVSE_State, 2);
        EXPECT_GT(nLinkCounters.mmeRejected, 0u);
        EXPECT_EQ(s.rig.modem->profiles, 10u);  // measured, but not for this run
    }
    {
        SCOPED_TRACE("match naming another station");
        SlacRig s(evsim::Fault::ForeignMatch);
        s.PlugIn();
        ASSERT_TRUE(s.RunUntil([&] { return s.ev->matchRequests() == 1; }));
        // No answer; SLAC starts over within 100 ms.
        ASSERT_TRUE(s.RunUntil([] { return nSystemStatus == 0x01000000u; }, 60));
        EXPECT_EQ(DINState, 1);
        EXPECT_EQ(fgSLACMATCHReqSend, 0);
        s.RunUntil([&] { return s.ev->state() == State::Failed; });
        EXPECT_EQ(s.ev->state(), State::Failed);
        EXPECT_NE(EVSE_State, 2);
        EXPECT_EQ(s.ev->matchRequests(), 1);
    }
}

struct AverageCase {
    const char* name;
    int profiles;
    std::uint8_t groups;
    std::vector<std::vector<std::uint8_t>> rows;  // first groups of each row; the rest repeat the last value
    Bytes want;                                   // first bytes of the 58; the rest as `tail`
    std::uint8_t tail;
};

TEST(Slac, AveragesAndTheirBoundary) {
    // 57 groups of 39 and one of 38 add up to 2261; one more is 2262.
    const AverageCase cases[] = {
        {"total 2261 reported as is", 1, 58, {{38, 39}}, {38, 39, 39}, 39},
        {"total 2262 reported as 37", 1, 58, {{39, 39}}, {37, 37}, 37},
        {"mean truncated", 2, 58, {{10, 1}, {11, 1}}, {10, 1}, 1},
        {"groups beyond the profile's are 0", 1, 3, {{50, 60, 70, 80}}, {50, 60, 70, 0}, 0},
        {"no profile", 0, 58, {}, {0}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::memset(DBSound, 0, sizeof(DBSound));
        for (std::size_t r = 0; r < c.rows.size(); ++r)
            for (std::size_t g = 0; g < kAttenGroups; ++g)
                DBSound[r][g] = g < c.rows[r].size() ? c.rows[r][g] : c.rows[r].back();
        nCM_PROFILE_Cnt = c.profiles;
        nAttenGroupCnt = c.groups;
        std::uint8_t out[kAttenGroups];
        AttenuationAverages(out);
        Bytes want = c.want;
        want.resize(kAttenGroups, c.tail);
        EXPECT_EQ(Bytes(out, out + kAttenGroups), want);
    }
}

Bytes Cat(std::initializer_list<Bytes> parts, std::size_t len) {
    Bytes b;
    for (const auto& p : parts) b.insert(b.end(), p.begin(), p.end());
    b.resize(len, 0);
    return b;
}

TEST(Slac, AnswersAreBuiltByteForByte) {
    LinkRig rig;
    const Bytes station = {0x00, 0xB0, 0x52, 0x11, 0x22, 0x33}, ev = {0x02, 0xEE, 0x01, 0x02, 0x03, 0x04},
                sounder = {0x02, 0xEE, 0x0A, 0x0B, 0x0C, 0x0D}, pev = {0x02, 0x50, 0x51, 0x52, 0x53, 0x54};
    const Bytes run = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
    const Bytes nid(NID, NID + 7), nmk(test_NMK, test_NMK + 16);
    MACAddress[0] = 0x00B0, MACAddress[1] = 0x5211, MACAddress[2] = 0x2233;
    EV_MACAddress[0] = 0x02EE, EV_MACAddress[1] = 0x0102, EV_MACAddress[2] = 0x0304;
    wTemp_MAC[0] = 0x02EE, wTemp_MAC[1] = 0x0A0B, wTemp_MAC[2] = 0x0C0D;
    std::memcpy(CM_SLAC_PARMREQ_Form + 2, run.data(), 8);
    std::memcpy(CM_SLAC_MATCHREQ_Form + 21, pev.data(), 6);
    nCM_PROFILE_Cnt = 2;
    nAttenGroupCnt = 58;
    std::memset(DBSound, 0, sizeof(DBSound));
    for (std::size_t g = 0; g < kAttenGroups; ++g) DBSound[0][g] = DBSound[1][g] = static_cast<std::uint16_t>(g);
    Bytes averages;
    for (std::size_t g = 0; g < kAttenGroups; ++g) averages.push_back(static_cast<std::uint8_t>(g));
    struct Case {
        const char* name;
        void (*encode)();
        Bytes want;
    };
    const Case cases[] = {
        {"CM_SLAC_PARM.CNF", Encode_CM_SLAC_PARM_CNF_MME,
         Cat({ev, station, {0x88, 0xE1, 0x01, 0x65, 0x60, 0, 0}, Bytes(6, 0xFF), {10, 6, 1}, ev, {0, 0}, run}, 60)},
        {"CM_ATTEN_CHAR.IND", Encode_CM_ATTN_CHAR_IND_MME,
         Cat({ev, station, {0x88, 0xE1, 0x01, 0x6E, 0x60, 0, 0}, {0, 0}, sounder, run, Bytes(34, 0), {2, 58}, averages},
             130)},
        {"CM_SLAC_MATCH.CNF", Encode_CM_SLAC_MATCH_CNF_MME,
         Cat({ev, station, {0x88, 0xE1, 0x01, 0x7D, 0x60, 0, 0}, {0, 0, 86, 0}, Bytes(17, 0), pev, Bytes(17, 0), station,
              run, Bytes(8, 0), nid, {0}, nmk},
             109)},
    };
    std::size_t slot = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.encode();
        EXPECT_EQ(QueuedFrame(slot++), c.want);
    }
}

// A message put into the current receive slot as the modem would deliver it.
void Deliver(const Bytes& frame) {
    std::uint8_t idx = LoadByte(kRxBufIdx);
    std::memcpy(RxSlot(idx), frame.data(), frame.size());
    StoreWord(RxSlotLength(idx), static_cast<std::uint16_t>(frame.size()));
    StoreWord(RxSlotFlag(idx), 1);
    StoreByte(kRxBufIdx, static_cast<std::uint8_t>((idx + 1) % kRxSlots));
    CountUp(kRxBufNum);
    MMEDecode();
}

// A management message from `src`, padded to 60 bytes as the line delivers it.
Bytes Mme(const Bytes& src, std::uint16_t mmtype, const Bytes& payload) {
    return Cat({Bytes(6, 0xFF), src, {0x88, 0xE1, 0x01, std::uint8_t(mmtype), std::uint8_t(mmtype >> 8), 0, 0}, payload},
               std::max<std::size_t>(60, 19 + payload.size()));
}

// In the sounding of a run: which later messages count. Each case delivers
// one message after CM_SLAC_PARM.REQ and an accepted CM_START_ATTEN_CHAR.IND;
// a sound counts down the sounds expected, a profile is stored.
TEST(Slac, OnlyWholeMessagesOfTheRunsVehicleCount) {
    const Bytes ev = {0x02, 0xEE, 0x01, 0x02, 0x03, 0x04}, other = {0x02, 0xEE, 0x09, 0x09, 0x09, 0x09};
    const Bytes run = {1, 2, 3, 4, 5, 6, 7, 8}, otherRun = {1, 2, 3, 4, 5, 6, 7, 9};
    auto sound = [&](const Bytes& src, const Bytes& id) {
        return Mme(src, 0x6076, Cat({Bytes(19, 0), {9}, id}, 52));
    };
    auto profile = [&](const Bytes& pevMac, std::uint8_t groups, std::size_t frameLen) {
        Bytes p = Cat({pevMac, {groups, 0}, Bytes(groups, 20)}, 8 + groups);
        Bytes f = Mme({0x00, 0xB0, 0x52, 0, 0, 9}, 0x6086, p);
        f.resize(frameLen, 0);
        return f;
    };
    struct Case {
        const char* name;
        Bytes frame;
        int sounds, profiles;  // expected afterwards
    };
    Bytes cutSound = sound(ev, run);
    cutSound.resize(19 + 27);
    const Case cases[] = {
        {"sound of the run", sound(ev, run), 9, 0},
        {"sound of another run", sound(ev, otherRun), 10, 0},
        {"sound of another vehicle", sound(other, run), 10, 0},
        {"sound cut before its run ID", cutSound, 10, 0},
        {"profile of 58 groups", profile(ev, 58, 19 + 66), 10, 1},
        {"profile announcing 59 groups", profile(ev, 59, 19 + 67), 10, 0},
        {"profile shorter than its groups", profile(ev, 58, 19 + 60), 10, 0},
        {"profile of another vehicle", profile(other, 58, 19 + 66), 10, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LinkRig rig;
        rig.SetPilot(4);
        DINState = 1;
        Deliver(Mme(ev, 0x6064, Cat({{0, 0}, run}, 10)));
        nSystemStatus = 0x01606500;  // the confirm went out
        Deliver(Mme(ev, 0x606A, Cat({{0, 0, 10, 6, 1}, ev, run}, 19)));
        ASSERT_EQ(fgCMSTARTATTENCHARIndSend, 1);
        auto rejected = nLinkCounters.mmeRejected;
        Deliver(c.frame);
        EXPECT_EQ(nEV_Sound_Cnt, c.sounds);
        EXPECT_EQ(nCM_PROFILE_Cnt, c.profiles);
        bool counted = c.sounds != 10 || c.profiles != 0;
        EXPECT_EQ(nLinkCounters.mmeRejected, rejected + (counted ? 0u : 1u));
        EXPECT_EQ(LoadByte(kRxBufNum), 0);  // consumed either way
    }
}

// tshark, an independent reader of HomePlug AV, decodes every frame of a
// whole run (station, modem and vehicle) with the values the station sent.
TEST(Slac, CaptureOfAWholeRunDecodesInTshark) {
    if (access("/usr/bin/tshark", X_OK) != 0) GTEST_SKIP() << "tshark is not installed";
    // The command runner runs only programs inside the test's root.
    TestRoot root;
    ASSERT_EQ(symlink("/usr/bin/tshark", (root.Make("/usr/bin") + "/tshark").c_str()), 0);
    const std::string pcapPath = root.path() + "/slac.pcap";
    {
        greenphy::PcapWriter pcap;
        ASSERT_TRUE(pcap.Open(pcapPath));
        SlacRig s(evsim::Fault::None, SlacModem(), &pcap);
        s.PlugIn();
        ASSERT_TRUE(s.RunUntil([&] { return s.ev->state() == State::Matched && DINState >= 2; }));
    }
    platform::Command cmd{"tshark -r slac.pcap -V", {"tshark", "-r", pcapPath, "-V"}, "/slac.txt", "", false};
    ASSERT_EQ(platform::Runner().Run(cmd), 0);
    std::ifstream in(root.path() + "/slac.txt");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("Malformed"), std::string::npos);
    EXPECT_EQ(text.find("Expert Info"), std::string::npos);
    const char* expected[] = {
        "GET_SW.CNF", "CM_SET_KEY.REQ", "NW_INFO.CNF", "CM_SLAC_PARM.REQ", "CM_SLAC_PARM.CNF",
        "CM_START_ATTEN_CHAR.IND", "CM_MNBC_SOUND.IND", "CM_ATTEN_PROFILE.IND", "CM_ATTEN_CHAR.IND",
        "CM_ATTEN_CHAR.RSP", "CM_SLAC_MATCH.REQ", "CM_SLAC_MATCH.CNF", "Device ID: QCA7000",
    };
    for (const char* e : expected) EXPECT_NE(text.find(e), std::string::npos) << e;
    // The values the station sent, as the reader sees them.
    const std::string nid = "30:31:32:33:34:35:36", nmk = "c0c1c2c3c4c5c6c7c8c9cacbcccdcecf";
    const std::string values[] = {
        "M-Sound Count: 0x0a", "M-Sound MPDU Time Out (N*100 msec): 6", "Number of Sounds: 10",
        "Number of Groups: 58", "Avg. Attenuation of group #58 (dB): 67", "Length: 0x0056",
        "Network ID: " + nid, "Network Membership Key (NMK): " + nmk, "New Key: " + nmk,
    };
    for (const auto& v : values) EXPECT_NE(text.find(v), std::string::npos) << v;
}

}  // namespace
