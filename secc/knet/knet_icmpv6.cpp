#include <cstring>

#include "knet.h"

namespace plc {

std::uint8_t Flag_Icmpv6_Req = 0;
std::uint8_t bSendICMPv6_NS = 0;

namespace {

constexpr std::uint8_t ICMP_RS = 133, ICMP_NS = 135, ICMP_NA = 136;
constexpr std::uint16_t kNdLen = 32;  // NS and NA with one link-layer option

// The vehicle's address, taken when its solicitation of the station was
// decided: later frames overwrite the buffer before the solicitation goes out.
std::uint8_t g_vehicle_addr[16];

// Options of a neighbour discovery message from `at` to the end of the
// message: each needs a length of at least one 8-byte unit and must end
// within the packet, or the message is not used at all.
bool OptionsFit(std::uint16_t at, std::uint16_t len) {
    const std::uint8_t* m = L4();
    while (at < len) {
        if (len - at < 2 || m[at + 1] == 0 || m[at + 1] * 8u > static_cast<unsigned>(len - at)) return false;
        at = static_cast<std::uint16_t>(at + m[at + 1] * 8u);
    }
    return true;
}

bool Unspecified(const std::uint8_t* a) {
    for (int i = 0; i < 16; ++i)
        if (a[i]) return false;
    return true;
}

// The first router or neighbour solicitation from an address of the vehicle
// makes the station solicit the vehicle in turn, once.
bool DecideSolicitation() {
    if (bSendICMPv6_NS != 0 || Unspecified(IpSrc())) return false;
    std::memcpy(g_vehicle_addr, IpSrc(), 16);
    Flag_Icmpv6_Req |= 0x01;
    bSendICMPv6_NS = 1;
    return true;
}

void FinishIcmp(std::uint16_t len) {
    std::uint8_t* m = L4();
    m[2] = m[3] = 0;
    Put16(m + 2, net_v6_chksum_field(m, len, 58));
    net_data_len = static_cast<std::uint16_t>(kL4 + len);
}

// Answers a solicitation of the station's own address with an advertisement
// built over it.
void v6_neigh_sol(std::uint16_t len) {
    std::uint8_t* ip = IpHdr();
    std::uint8_t* m = L4();
    const std::uint8_t* own = knet_own_address();
    if (len < kNdLen || m[24] != 1 || ip[7] != 255 || m[1] != 0 || m[9] == 0xFF || !own ||
        std::memcmp(m + 8, own, 16) != 0 || Unspecified(IpSrc())) {
        net_drop();
        return;
    }
    std::uint8_t dst[16];
    std::memcpy(dst, IpSrc(), 16);
    v6_build_header(kNdLen, 58, dst);
    std::memset(m, 0, kNdLen);
    m[0] = ICMP_NA;
    m[4] = 0x60;  // solicited, override
    std::memcpy(m + 8, own, 16);
    m[24] = 2;
    m[25] = 1;
    std::memcpy(m + 26, db->bytes, 6);
    FinishIcmp(kNdLen);
    net_next_process = nullptr;
}

void net_icmpv6_send_NS() {
    std::uint8_t* f = eth_frame_buf;
    std::memset(eth_buf, 0, kFrameBufSize);
    const std::uint8_t* target = g_vehicle_addr;
    f[0] = 0x33;
    f[1] = 0x33;
    f[2] = 0xFF;
    std::memcpy(f + 3, target + 13, 3);
    std::uint8_t dst[16] = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xFF};
    std::memcpy(dst + 13, target + 13, 3);
    v6_build_header(kNdLen, 58, dst);
    std::uint8_t* m = L4();
    m[0] = ICMP_NS;
    std::memcpy(m + 8, target, 16);
    m[24] = 1;
    m[25] = 1;
    std::memcpy(m + 26, db->bytes, 6);
    FinishIcmp(kNdLen);
}

}  // namespace

void net_icmpv6_input() {
    std::uint16_t len = IpPayloadLen();
    if (len < 4 || net_v6_chksum(L4(), len, 58) != 0xFFFF) {
        ++knet_counters.badChecksum;
        net_drop();
        return;
    }
    const std::uint8_t type = L4()[0];
    const std::uint16_t options = type == ICMP_RS ? 8 : 24;
    if ((type == ICMP_RS || type == ICMP_NS) && (len < options || !OptionsFit(options, len))) {
        ++knet_counters.badHeader;
        net_drop();
        return;
    }
    switch (type) {
        case ICMP_RS:
            UDP_MSG_StartTime = common::MonotonicNow();
            DecideSolicitation();
            net_drop();
            return;
        case ICMP_NS:
            if (bSendICMPv6_NS == 0) {
                // The first solicitation goes unanswered: the station asks
                // the vehicle first.
                DecideSolicitation();
                net_drop();
                return;
            }
            v6_neigh_sol(len);
            return;
        default:
            net_drop();
            return;
    }
}

void net_icmpv6_polling() {
    net_data_len = 0;
    if (Flag_Icmpv6_Req & 0x01) {
        Flag_Icmpv6_Req = static_cast<std::uint8_t>(Flag_Icmpv6_Req & ~0x01);
        if (knet_own_address()) net_icmpv6_send_NS();
    } else if (Flag_Icmpv6_Req & 0x04) {
        Flag_Icmpv6_Req = static_cast<std::uint8_t>(Flag_Icmpv6_Req & ~0x04);
    } else if (Flag_Icmpv6_Req & 0x02) {
        Flag_Icmpv6_Req = static_cast<std::uint8_t>(Flag_Icmpv6_Req & ~0x02);
    }
}

}  // namespace plc
