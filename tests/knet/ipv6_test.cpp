// IPv6 input, link-local address, neighbour cache and neighbour discovery.
#include <gtest/gtest.h>

#include <cstring>

#include "knet_rig.h"

using namespace knettest;

namespace {

// Uses up the first solicitation, which the station answers only by asking
// the vehicle in turn.
void SpendFirstSolicitation(KnetRig& rig) {
    rig.Receive(NeighbourSolicitation(kEvAddr, kStationSolicited, kStationAddr));
    rig.Pass();
    rig.Take();
}

bool AnsweredWithAdvertisement(KnetRig& rig) {
    auto sent = rig.Take();
    return sent.size() == 1 && Parse(sent[0].frame).upper[0] == 136;
}

}  // namespace

TEST(KnetAddressTest, LinkLocalAddressComesFromTheMacByModifiedEui64) {
    KnetRig rig;
    EXPECT_EQ(plc::Ipv6State, 6);
    ASSERT_NE(plc::knet_own_address(), nullptr);
    EXPECT_EQ(0, std::memcmp(plc::knet_own_address(), kStationAddr.data(), 16));
    EXPECT_EQ(plc::addr_tab[0].prefixLen, 64);
}

TEST(KnetNeighbourDiscoveryTest, FirstSolicitationAsksTheVehicleThenSolicitationsAreAnswered) {
    KnetRig rig;
    rig.Receive(NeighbourSolicitation(kEvAddr, kStationSolicited, kStationAddr));
    EXPECT_TRUE(rig.Take().empty()) << "the first solicitation goes unanswered";
    // A frame from elsewhere overwrites the buffer before the pass sends.
    rig.Receive(UdpDatagram(kStationAddr, 1000, 2000, {1, 2, 3}));
    rig.Pass();
    auto sent = rig.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, 1);
    Out ns = Parse(sent[0].frame);
    EXPECT_TRUE(ns.checksumOk);
    EXPECT_EQ(sent[0].frame.size(), 86u);
    EXPECT_EQ(ns.ethDst, (Mac{0x33, 0x33, 0xFF, 0x33, 0x44, 0x55}));
    EXPECT_EQ(ns.ethSrc, kStationMac);
    EXPECT_EQ(ns.dst, (Addr{0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0x33, 0x44, 0x55}));
    EXPECT_EQ(ns.src, kStationAddr);
    EXPECT_EQ(ns.hopLimit, 255);
    EXPECT_EQ(ns.upper[0], 135);
    EXPECT_EQ(0, std::memcmp(ns.upper.data() + 8, kEvAddr.data(), 16)) << "target: the soliciting vehicle";
    EXPECT_EQ(Bytes(ns.upper.begin() + 24, ns.upper.end()), (Bytes{1, 1, 0x00, 0x01, 0x87, 0x0A, 0x0B, 0x0C}));

    rig.Receive(NeighbourSolicitation(kEvAddr, kStationSolicited, kStationAddr));
    sent = rig.Take();
    ASSERT_EQ(sent.size(), 1u);
    Out na = Parse(sent[0].frame);
    EXPECT_TRUE(na.checksumOk);
    EXPECT_EQ(sent[0].frame.size(), 86u);
    EXPECT_EQ(na.ethDst, kEvMac) << "learnt from the solicitation itself";
    EXPECT_EQ(na.dst, kEvAddr);
    EXPECT_EQ(na.src, kStationAddr);
    EXPECT_EQ(na.upper[0], 136);
    EXPECT_EQ(na.upper[4], 0x60);
    EXPECT_EQ(0, std::memcmp(na.upper.data() + 8, kStationAddr.data(), 16));
    EXPECT_EQ(Bytes(na.upper.begin() + 24, na.upper.end()), (Bytes{2, 1, 0x00, 0x01, 0x87, 0x0A, 0x0B, 0x0C}));

    // Once in the life of the program: no further solicitation of the vehicle.
    rig.Pass();
    EXPECT_TRUE(rig.Take().empty());
}

TEST(KnetNeighbourDiscoveryTest, RouterSolicitationRaisesTheOneSolicitationOfTheVehicle) {
    KnetRig rig;
    rig.Receive(RouterSolicitation(kEvAddr));
    EXPECT_TRUE(rig.Take().empty());
    rig.Pass();
    auto sent = rig.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Parse(sent[0].frame).upper[0], 135);
    rig.Receive(NeighbourSolicitation(kEvAddr, kStationSolicited, kStationAddr));
    EXPECT_TRUE(AnsweredWithAdvertisement(rig));
}

TEST(KnetNeighbourDiscoveryTest, OnlyWellFormedSolicitationsOfTheStationsOwnAddressAreAnswered) {
    const Addr other = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x01, 0x87, 0xFF, 0xFE, 0x0A, 0x0B, 0x0D};
    const Addr unspecified{};
    struct Case {
        const char* name;
        Bytes frame;
        bool answered;
    } cases[] = {
        {"to the solicited-node group", NeighbourSolicitation(kEvAddr, kStationSolicited, kStationAddr), true},
        {"unicast to the station", NeighbourSolicitation(kEvAddr, kStationAddr, kStationAddr), true},
        {"to all nodes", NeighbourSolicitation(kEvAddr, kAllNodes, kStationAddr), true},
        {"hop limit 64", NeighbourSolicitation(kEvAddr, kStationSolicited, kStationAddr, 64), false},
        {"no source link-layer option", NeighbourSolicitation(kEvAddr, kStationSolicited, kStationAddr, 255, false), false},
        {"another node's address", NeighbourSolicitation(kEvAddr, kAllNodes, other), false},
        {"duplicate address check from ::", NeighbourSolicitation(unspecified, kStationSolicited, kStationAddr), false},
    };
    for (const Case& c : cases) {
        KnetRig rig;
        SpendFirstSolicitation(rig);
        rig.Receive(c.frame);
        EXPECT_EQ(AnsweredWithAdvertisement(rig), c.answered) << c.name;
    }
}

TEST(KnetIpv6InputTest, PacketsWithBadLengthForeignDestinationOrChecksumAreDropped) {
    const Addr foreign = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
    const Addr otherGroup = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0x0A, 0x0B, 0x0D};
    auto withDelta = [](int delta) {
        Bytes f = NeighbourSolicitation(kEvAddr, kStationSolicited, kStationAddr);
        std::uint16_t len = static_cast<std::uint16_t>(((f[18] << 8) | f[19]) + delta);
        f[18] = static_cast<std::uint8_t>(len >> 8);
        f[19] = static_cast<std::uint8_t>(len);
        return f;
    };
    auto flipped = [](std::size_t at) {
        Bytes f = NeighbourSolicitation(kEvAddr, kStationSolicited, kStationAddr);
        f[at] ^= 0x01;
        return f;
    };
    auto truncated = [](std::size_t n) {
        Bytes f = NeighbourSolicitation(kEvAddr, kStationSolicited, kStationAddr);
        f.resize(n);
        return f;
    };
    struct Case {
        const char* name;
        Bytes frame;
        bool answered;
    } cases[] = {
        {"intact", NeighbourSolicitation(kEvAddr, kStationSolicited, kStationAddr), true},
        {"payload length one more", withDelta(1), false},
        {"payload length one less", withDelta(-1), false},
        {"foreign unicast destination", NeighbourSolicitation(kEvAddr, foreign, kStationAddr), false},
        {"another solicited-node group", NeighbourSolicitation(kEvAddr, otherGroup, kStationAddr), false},
        {"checksum byte flipped", flipped(54 + 2), false},
        {"target byte flipped", flipped(54 + 23), false},
        {"truncated inside the IPv6 header", truncated(50), false},
    };
    for (const Case& c : cases) {
        KnetRig rig;
        SpendFirstSolicitation(rig);
        rig.Receive(c.frame);
        EXPECT_EQ(AnsweredWithAdvertisement(rig), c.answered) << c.name;
    }
}

TEST(KnetIpv6InputTest, EchoRequestAndUnknownNextHeadersGetNoAnswer) {
    KnetRig rig;
    SpendFirstSolicitation(rig);
    Ip6 ip;
    Bytes echo = {128, 0, 0, 0, 0, 1, 0, 1, 'p', 'i', 'n', 'g'};
    rig.Receive(Frame(ip, echo, 2));
    ip.nextHeader = 43;
    rig.Receive(Frame(ip, Bytes(8, 0), -1));
    ip.nextHeader = 99;
    rig.Receive(Frame(ip, Bytes(8, 0), -1));
    rig.Pass();
    EXPECT_TRUE(rig.Take().empty());
}

TEST(KnetIpv6InputTest, FramesLongerThanTheFrameBufferAreDroppedWhole) {
    KnetRig rig;
    SpendFirstSolicitation(rig);
    Bytes f = NeighbourSolicitation(kEvAddr, kStationSolicited, kStationAddr);
    Bytes longFrame = f;
    longFrame.resize(plc::kMaxFrame + 1, 0xEE);
    rig.Receive(longFrame);
    EXPECT_TRUE(rig.Take().empty());
    EXPECT_EQ(plc::knet_counters.tooLong, 1u);
    // The pieces carved behind the frame buffer are untouched.
    for (int i = 0; i < plc::kNeighEntries; ++i) EXPECT_NE(plc::neb_tab[i].age, 0xEEEE);
    EXPECT_EQ(0, std::memcmp(plc::knet_own_address(), kStationAddr.data(), 16));
}

TEST(KnetNeighbourCacheTest, SeventeenthNeighbourReplacesTheFirstAndEachIsFoundForItsAnswer) {
    KnetRig rig;
    SpendFirstSolicitation(rig);  // the vehicle is neighbour 0
    for (std::uint8_t i = 1; i <= 16; ++i) {
        Ip6 ip;
        ip.src[15] = i;
        ip.ethSrc[5] = i;
        ip.nextHeader = 59;
        rig.Receive(Frame(ip, Bytes(8, 0), -1));
    }
    // Neighbour 16 took entry 0, the vehicle's.
    EXPECT_EQ(plc::neb_tab[0].addr[15], 16);
    EXPECT_EQ(plc::neb_tab[9].addr[15], 9);
    Addr nine = kEvAddr;
    nine[15] = 9;
    Mac mac = kEvMac;
    mac[5] = 9;
    Bytes ns = NeighbourSolicitation(nine, kStationSolicited, kStationAddr);
    std::memcpy(ns.data() + 6, mac.data(), 6);
    rig.Receive(ns);
    auto sent = rig.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Parse(sent[0].frame).ethDst, mac);
    // Refreshed in place: no other entry was taken.
    EXPECT_EQ(plc::neb_tab[9].addr[15], 9);
    EXPECT_EQ(plc::neb_tab[0].addr[15], 16);
}

TEST(KnetNeighbourDiscoveryTest, RouterSolicitationWhoseOptionRunsPastThePacketRaisesNothing) {
    KnetRig rig;
    Bytes m = {133, 0, 0, 0, 0, 0, 0, 0, 1, 2};  // a link-layer option claiming 16 bytes in 8
    m.insert(m.end(), kEvMac.begin(), kEvMac.end());
    Ip6 ip;
    ip.dst = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    ip.ethDst = {0x33, 0x33, 0, 0, 0, 2};
    rig.Receive(Frame(ip, m, 2));
    rig.Pass();
    EXPECT_TRUE(rig.Take().empty());
    EXPECT_EQ(plc::bSendICMPv6_NS, 0);
    // The same solicitation well formed raises the station's solicitation.
    rig.Receive(RouterSolicitation(kEvAddr));
    rig.Pass();
    EXPECT_EQ(rig.Take().size(), 1u);
}
