// The IP stack alone, as the controller drives it: started with the station's
// MAC, fed hand-built Ethernet frames, every frame it hands to the modem link
// captured, time on a test clock and the 10-ms tick driven by the test.
//
// Frames are built here with a checksum of the test's own (RFC 1071 over the
// RFC 8200 pseudo-header), not the stack's.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "clock.h"
#include "knet.h"

namespace knettest {

using Bytes = std::vector<std::uint8_t>;
using Addr = std::array<std::uint8_t, 16>;
using Mac = std::array<std::uint8_t, 6>;

inline constexpr Mac kStationMac = {0x00, 0x01, 0x87, 0x0A, 0x0B, 0x0C};
inline constexpr Mac kEvMac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
// fe80::201:87ff:fe0a:b0c
inline constexpr Addr kStationAddr = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x01, 0x87, 0xFF, 0xFE, 0x0A, 0x0B, 0x0C};
inline constexpr Addr kEvAddr = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0x00, 0x11, 0x22, 0xFF, 0xFE, 0x33, 0x44, 0x55};
inline constexpr Addr kAllNodes = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
// The solicited-node group of the station's address.
inline constexpr Addr kStationSolicited = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0x0A, 0x0B, 0x0C};

struct Sent {
    Bytes frame;
    std::uint8_t type;
};

std::uint16_t Checksum(const Addr& src, const Addr& dst, std::uint8_t nh, const Bytes& upper);

struct Ip6 {
    Mac ethSrc = kEvMac;
    Mac ethDst = kStationMac;
    Addr src = kEvAddr;
    Addr dst = kStationAddr;
    std::uint8_t nextHeader = 58;
    std::uint8_t hopLimit = 255;
    int payloadLenDelta = 0;  // a length field that disagrees with the frame
};
// An Ethernet frame with an IPv6 packet around `upper` (whose checksum field,
// at `csumAt`, is filled unless `csumAt` < 0).
Bytes Frame(const Ip6& ip, Bytes upper, int csumAt);

Bytes NeighbourSolicitation(const Addr& src, const Addr& dst, const Addr& target, std::uint8_t hop = 255,
                            bool withSlla = true);
Bytes RouterSolicitation(const Addr& src);
Bytes UdpDatagram(const Addr& dst, std::uint16_t sport, std::uint16_t dport, const Bytes& data);
Bytes SdpRequest(std::uint8_t version = 0x01, std::uint32_t length = 2);

struct Seg {
    std::uint16_t sport = 49200;
    std::uint16_t dport = 51181;
    std::uint32_t seq = 0;
    std::uint32_t ack = 0;
    std::uint8_t flags = 0x10;
    std::uint16_t window = 64240;
    std::uint16_t urgent = 0;
    Bytes options;
    Bytes data;
};
Bytes TcpSegment(const Seg& s);

// A parsed frame the stack sent.
struct Out {
    Mac ethDst, ethSrc;
    std::uint16_t etherType;
    Addr src, dst;
    std::uint16_t payloadLen;
    std::uint8_t nextHeader, hopLimit;
    Bytes upper;
    bool checksumOk;
    // TCP fields
    std::uint16_t sport() const { return static_cast<std::uint16_t>(upper[0] << 8 | upper[1]); }
    std::uint16_t dport() const { return static_cast<std::uint16_t>(upper[2] << 8 | upper[3]); }
    std::uint32_t seq() const { return Be32(4); }
    std::uint32_t ack() const { return Be32(8); }
    std::uint8_t flags() const { return upper[13]; }
    std::uint16_t window() const { return static_cast<std::uint16_t>(upper[14] << 8 | upper[15]); }
    std::size_t tcpHeader() const { return (upper[12] >> 4) * 4u; }
    Bytes tcpData() const { return Bytes(upper.begin() + static_cast<long>(tcpHeader()), upper.end()); }
    std::uint32_t Be32(std::size_t at) const {
        return static_cast<std::uint32_t>(upper[at]) << 24 | static_cast<std::uint32_t>(upper[at + 1]) << 16 |
               static_cast<std::uint32_t>(upper[at + 2]) << 8 | upper[at + 3];
    }
};
Out Parse(const Bytes& frame);

class KnetRig {
public:
    KnetRig();
    ~KnetRig();
    KnetRig(const KnetRig&) = delete;
    KnetRig& operator=(const KnetRig&) = delete;

    void Receive(const Bytes& frame) { plc::knet_frame_input(frame.data(), frame.size()); }
    // One pass of the controller's stack work: per-pass routine (with the
    // SDP server when it is on), then one 10-ms tick when `tick`.
    void Pass(bool tick = false);
    // One 10-ms tick followed by two passes: the first runs the TCP timer,
    // the second polls with the timer's result, as the controller's 2-ms
    // passes do between two ticks.
    void Tick();
    // The SDP server's share of a controller pass: the stack, the decoder,
    // then one step of the server.
    void SdpPass();
    // Frames sent since the last call.
    std::vector<Sent> Take();

    platform::TestClock clock;

private:
    platform::ScopedClock scoped_{clock};
};

extern std::vector<Sent> g_sent;

}  // namespace knettest
