#include <cstring>

#include "knet.h"

namespace plc {

UdpConn* udp_conn_table = nullptr;
UdpConn* udp_current_conn = nullptr;
std::uint8_t udp_v6raddr[16];
std::uint16_t lastport = 4096;

UdpConn* net_udp_connect(const std::uint8_t* raddr, std::uint16_t rport, std::uint16_t lport, void (*callback)()) {
    UdpConn* c = udp_conn_table;
    if (c->lport != 0) return nullptr;
    if (lport == 0) {
        do {
            lastport = lastport >= 31999 ? 4096 : static_cast<std::uint16_t>(lastport + 1);
        } while (lastport == c->lport);
        lport = lastport;
    }
    c->lport = lport;
    c->rport = rport;
    c->callback = callback;
    if (raddr) std::memcpy(c->raddr, raddr, 16);
    else std::memset(c->raddr, 0, 16);
    return c;
}

namespace {

void net_udp_send_nolen(std::uint16_t dataLen) {
    UdpConn* c = udp_current_conn;
    std::uint16_t udpLen = static_cast<std::uint16_t>(dataLen + 8);
    std::uint8_t dst[16];
    std::memcpy(dst, c->raddr, 16);
    v6_build_header(udpLen, 17, dst);
    std::uint8_t* u = L4();
    Put16(u, c->lport);
    Put16(u + 2, c->rport);
    Put16(u + 4, udpLen);
    Put16(u + 6, 0);
    Put16(u + 6, net_v6_chksum_field(u, udpLen, 17));
    net_data_len = static_cast<std::uint16_t>(kL4 + udpLen);
}

void net_udp_sendout() {
    if (net_send_len == 0 || net_send_len > kUdpAppRoom) {
        net_send_len = 0;
        net_data_len = 0;
        return;
    }
    static const std::uint8_t kZero[16] = {};
    if (std::memcmp(udp_v6raddr, kZero, 16) != 0) std::memcpy(udp_current_conn->raddr, udp_v6raddr, 16);
    std::uint16_t n = net_send_len;
    net_send_len = 0;
    net_udp_send_nolen(n);
}

}  // namespace

void net_udp_input() {
    std::uint16_t len = IpPayloadLen();
    const std::uint8_t* u = L4();
    if (len < 8 || Get16(u + 4) != len) {
        ++knet_counters.badHeader;
        net_drop();
        return;
    }
    if (net_v6_chksum(u, len, 17) != 0xFFFF) {
        ++knet_counters.badChecksum;
        net_drop();
        return;
    }
    UdpConn* c = udp_conn_table;
    if (c->lport == 0 || c->lport != Get16(u + 2)) {
        net_drop();
        return;
    }
    udp_current_conn = c;
    c->rport = Get16(u);
    UDP_MSG_StartTime = common::MonotonicNow();
    net_data_len = static_cast<std::uint16_t>(len - 8);
    api_flags = API_NEWDATA;
    net_send_len = 0;
    std::memcpy(udp_v6raddr, IpSrc(), 16);
    std::memcpy(c->raddr, IpSrc(), 16);
    if (c->callback) c->callback();
    net_udp_sendout();
}

void net_udp_polling() {
    net_data_len = 0;
    net_send_len = 0;
    api_flags = API_POLL;
    if (udp_current_conn->callback) udp_current_conn->callback();
    net_udp_sendout();
}

void SDP_ReleaseUdpPort() {
    if (udp_conn_table) udp_conn_table->lport = 0;
}

}  // namespace plc
