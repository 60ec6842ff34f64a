#include <cstring>

#include "knet.h"

namespace plc {

KnetPort knet_port;
KnetCounters knet_counters;

alignas(8) std::uint8_t current_memory_buf[kPoolSize];
namespace {
std::size_t g_pool_used = 0;
}

std::uint8_t* eth_buf = nullptr;
std::uint8_t* eth_frame_buf = nullptr;
DeviceBlock* db = nullptr;
AddrEntry* addr_tab = nullptr;
NeighEntry* neb_tab = nullptr;

NetStep net_next_process = nullptr;
std::uint16_t net_data_len = 0;
std::uint16_t net_send_len = 0;
std::uint16_t api_flags = 0;
std::uint8_t eth_mac_addr[6];
std::uint8_t Ipv6State = 0;
std::uint16_t utickTimer[13];

void memory_init() {
    std::memset(current_memory_buf, 0, sizeof current_memory_buf);
    g_pool_used = 0;
}

void* mem_reg(std::size_t n) {
    n = (n + 7) & ~static_cast<std::size_t>(7);
    if (n > kPoolSize - g_pool_used) return nullptr;
    void* p = current_memory_buf + g_pool_used;
    g_pool_used += n;
    return p;
}

void v6_memory_assign() {
    memory_init();
    eth_buf = static_cast<std::uint8_t*>(mem_reg(kFrameBufSize));
    udp_conn_table = static_cast<UdpConn*>(mem_reg(sizeof(UdpConn)));
    tcp_conn_table = static_cast<TcpConn*>(mem_reg(sizeof(TcpConn)));
    db = static_cast<DeviceBlock*>(mem_reg(sizeof(DeviceBlock)));
    addr_tab = static_cast<AddrEntry*>(mem_reg(sizeof(AddrEntry) * kAddrEntries));
    neb_tab = static_cast<NeighEntry*>(mem_reg(sizeof(NeighEntry) * kNeighEntries));
    eth_frame_buf = eth_buf + 2;
    udp_current_conn = udp_conn_table;
    tcp_current_conn = tcp_conn_table;
    tcp_net_app_data = eth_frame_buf + kL4 + 20;
    net_next_process = nullptr;
    net_data_len = net_send_len = api_flags = 0;
}
// Every piece fits the pool with room to spare.
static_assert(kFrameBufSize + 3 * 8 + 192 + 4 * 20 + 16 * 24 + 64 + 128 < kPoolSize);

void net_process() {
    while (net_next_process) {
        NetStep step = net_next_process;
        net_next_process = nullptr;
        step();
    }
}

void net_drop() {
    net_data_len = 0;
    net_next_process = nullptr;
}

void timer_init() { std::memset(utickTimer, 0, sizeof utickTimer); }
void Excep_TMR0_CMIA0() { ++utickTimer[1]; }

void knet_setethaddr() { std::memcpy(eth_mac_addr, db->bytes, 6); }

void v6_Initial() {
    v6_memory_assign();
    for (int i = 0; i < 3; ++i) {
        std::uint16_t w = knet_port.stationMac ? knet_port.stationMac[i] : 0;
        db->bytes[2 * i] = static_cast<std::uint8_t>(w >> 8);
        db->bytes[2 * i + 1] = static_cast<std::uint8_t>(w);
    }
    knet_ip_tcp_init();
    v6_neigh_init();
    knet_setethaddr();
}

void v6_autoconfig() {
    int e = kAddrEntries - 1;
    for (int i = 0; i < kAddrEntries; ++i) {
        if (!addr_tab[i].valid) {
            e = i;
            break;
        }
    }
    AddrEntry& a = addr_tab[e];
    std::memset(a.addr, 0, 16);
    a.addr[0] = 0xFE;
    a.addr[1] = 0x80;
    const std::uint8_t* m = db->bytes;
    a.addr[8] = m[0] ^ 0x02;
    a.addr[9] = m[1];
    a.addr[10] = m[2];
    a.addr[11] = 0xFF;
    a.addr[12] = 0xFE;
    a.addr[13] = m[3];
    a.addr[14] = m[4];
    a.addr[15] = m[5];
    a.prefixLen = 64;
    db->bytes[189] = 64;
    a.valid = 1;
}

void knet_LoadDefaults() {
    knet_counters = {};
    Ipv6State = 0;
    Flag_Icmpv6_Req = 0;
    bSendICMPv6_NS = 0;
    SECC_State = 0;
    Flag_SECCDisReqGet = 0;
    Flag_CloseTCP = 0;
    std::memset(listen_ports, 0, sizeof listen_ports);
    sdpcln_init();
    mdbcln_init();
    timer_init();
}

void IPv6_StatMachine() {
    if (Ipv6State != 0) return;
    v6_Initial();
    v6_autoconfig();
    Ipv6State = 6;
}

const std::uint8_t* knet_own_address() { return addr_tab && addr_tab[0].valid ? addr_tab[0].addr : nullptr; }

bool knet_is_own_address(const std::uint8_t* a) {
    for (int i = 0; i < kAddrEntries; ++i)
        if (addr_tab[i].valid && std::memcmp(addr_tab[i].addr, a, 16) == 0) return true;
    return false;
}

void v6_build_header(std::uint16_t payloadLen, std::uint8_t nextHeader, const std::uint8_t* dst) {
    std::uint8_t* f = eth_frame_buf;
    std::memcpy(f + 6, db->bytes, 6);
    Put16(f + 12, 0x86DD);
    std::uint8_t* ip = f + kIp;
    ip[0] = 0x60;
    ip[1] = ip[2] = ip[3] = 0;
    Put16(ip + 4, payloadLen);
    ip[6] = nextHeader;
    ip[7] = 255;
    if (dst != ip + 24) std::memmove(ip + 24, dst, 16);
    const std::uint8_t* own = knet_own_address();
    if (own) std::memcpy(ip + 8, own, 16);
    else std::memset(ip + 8, 0, 16);
}

void R_Ether_Write(const std::uint8_t* frame, std::uint16_t len, std::uint8_t type) {
    if (knet_port.write && len > 0) knet_port.write(frame, len, type);
    net_data_len = 0;
}

namespace {

const std::uint8_t kAllNodes1[16] = {0xFF, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const std::uint8_t kAllNodes2[16] = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const std::uint8_t kAllRouters1[16] = {0xFF, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
const std::uint8_t kAllRouters2[16] = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

// ff02::1:ffXX:XXXX of a valid own address.
bool chk_sol_v6(const std::uint8_t* d) {
    static const std::uint8_t kPrefix[13] = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xFF};
    if (std::memcmp(d, kPrefix, 13) != 0) return false;
    for (int i = 0; i < kAddrEntries; ++i)
        if (addr_tab[i].valid && std::memcmp(addr_tab[i].addr + 13, d + 13, 3) == 0) return true;
    return false;
}

bool GroupWeAreIn(const std::uint8_t* d) {
    return chk_sol_v6(d) || std::memcmp(d, kAllNodes1, 16) == 0 || std::memcmp(d, kAllNodes2, 16) == 0 ||
           std::memcmp(d, kAllRouters1, 16) == 0 || std::memcmp(d, kAllRouters2, 16) == 0;
}

void net_v6_input() {
    std::uint8_t* ip = IpHdr();
    if (net_data_len < 40 || (ip[0] >> 4) != 6 || IpPayloadLen() != net_data_len - 40) {
        ++knet_counters.badIp;
        net_drop();
        return;
    }
    const std::uint8_t* dst = IpDst();
    if (dst[0] == 0xFF) {
        if (!GroupWeAreIn(dst)) {
            // A solicitation the station does not answer still shows the
            // vehicle at work on the link.
            if (ip[6] == 58 && net_data_len > 40 && L4()[0] == 135) UDP_MSG_StartTime = common::MonotonicNow();
            ++knet_counters.notForUs;
            net_drop();
            return;
        }
    } else if (!knet_is_own_address(dst)) {
        ++knet_counters.notForUs;
        net_drop();
        return;
    }
    switch (ip[6]) {
        case 6: net_next_process = net_tcp_input; break;
        case 17: net_next_process = net_udp_input; break;
        case 58: net_next_process = net_icmpv6_input; break;
        default: net_drop(); break;  // extension headers and the rest: no answer
    }
}

// Sends what a step chain left in the buffer.
void SendStanding(std::uint8_t type, bool lookup) {
    if (net_data_len != 0 && Get16(eth_frame_buf + 12) == 0x86DD) {
        if (lookup) neigh_out();
        R_Ether_Write(eth_frame_buf, net_data_len, type);
    }
    net_data_len = 0;
}

}  // namespace

void knet_frame_input(const std::uint8_t* frame, std::size_t len) {
    if (Ipv6State != 6 || eth_buf == nullptr || len == 0) return;
    if (len > kMaxFrame) {
        ++knet_counters.tooLong;
        return;
    }
    std::memset(eth_buf, 0, kFrameBufSize);
    std::memcpy(eth_frame_buf, frame, len);
    net_data_len = static_cast<std::uint16_t>(len);
    if (len < 14 || Get16(eth_frame_buf + 12) != 0x86DD) {
        net_data_len = 0;
        return;
    }
    neigh_in();
    net_next_process = net_v6_input;
    net_process();
    if (net_data_len != 0) SendStanding(IpHdr()[6], true);
    net_data_len = 0;
}

void knet_rutine() {
    if (eth_buf == nullptr) return;
    if (tcp_conn_table->state() != TCP_CLOSED) {
        tcp_current_conn = tcp_conn_table;
        net_next_process = net_tcp_polling;
        net_process();
        SendStanding(6, true);
    }
    if (udp_conn_table->lport != 0) {
        udp_current_conn = udp_conn_table;
        net_next_process = net_udp_polling;
        net_process();
        SendStanding(17, true);
    }
    net_next_process = net_icmpv6_polling;
    net_process();
    SendStanding(1, false);
    if (utickTimer[1] != 0) {
        utickTimer[1] = 0;
        if (tcp_conn_table->state() != TCP_CLOSED) {
            tcp_current_conn = tcp_conn_table;
            net_tcp_timer();
            // A close that ran out in the timer leaves nothing to send.
            net_data_len = 0;
        }
    }
}

}  // namespace plc
