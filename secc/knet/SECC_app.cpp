#include <cstring>

#include "knet.h"

namespace plc {

ClnConn sdpcln_conn[1];
ClnConnBuf sdpcln_conn_buf;
ClnConnBuf* sdp_conn = &sdpcln_conn_buf;
std::uint8_t SECC_State = 0;
std::uint8_t Flag_SECCDisReqGet = 0;
common::TimeStamp UDP_MSG_StartTime;
std::uint16_t nTCP_PORT = 51181;

void SECC_UDP_init() { std::memset(&sdpcln_conn_buf, 0, sizeof sdpcln_conn_buf); }

void SDPcln_conn_init() {
    sdp_conn = &sdpcln_conn_buf;
    SECC_UDP_init();
}

void sdpcln_init() { std::memset(sdpcln_conn, 0, sizeof sdpcln_conn); }

int SECC_UPD_Listen() {
    ClnConn& s = sdpcln_conn[0];
    if (s.state != 0) return 2;
    UdpConn* c = net_udp_connect(nullptr, 0, kSdpPort, SECC_appcall);
    if (!c) return 3;
    c->appIndex = 0;
    s = ClnConn{};
    s.conn = c;
    s.kltout = mdbcln_kltout;
    s.state = 1;
    s.flags = CLN_OPEN | CLN_CONNECTED;
    s.txdata = sdp_conn->tx;
    s.rxbuf = sdp_conn->rx;
    s.txmax = kClnBufSize;
    return 0;
}

void SDP_BuildResponse(std::uint8_t out[28]) {
    static const std::uint8_t kHeader[8] = {0x01, 0xFE, 0x90, 0x01, 0x00, 0x00, 0x00, 0x14};
    std::memcpy(out, kHeader, 8);
    std::uint8_t* a = out + 8;
    std::memset(a, 0, 16);
    a[0] = 0xFE;
    a[1] = 0x80;
    const std::uint8_t* m = db->bytes;
    a[8] = m[0] ^ 0x02;
    a[9] = m[1];
    a[10] = m[2];
    a[11] = 0xFF;
    a[12] = 0xFE;
    a[13] = m[3];
    a[14] = m[4];
    a[15] = m[5];
    Put16(out + 24, nTCP_PORT);
    out[26] = 0x10;  // no transport-layer security
    out[27] = 0x00;  // TCP
}

int sdpcln_send(int index, std::uint8_t* data, std::uint16_t len, std::uint16_t max) {
    if (!data) return 5;
    if (len == 0) return 4;
    if (len > max) return 3;
    if (index != 0) return 6;
    ClnConn& s = sdpcln_conn[0];
    if (!(s.flags & CLN_CONNECTED)) return 1;
    if (s.state != 2) return 2;
    s.txdata = data;
    s.txlen = len;
    s.txmax = max;
    s.flags = static_cast<std::uint16_t>((s.flags & 0x03) | CLN_SENDPEND);
    return 0;
}

int SECC_UDP_Send() {
    ClnConn& s = sdpcln_conn[0];
    s.state = 2;
    s.flags = static_cast<std::uint16_t>(s.flags & ~(CLN_SENDPEND | CLN_SENT));
    SDP_BuildResponse(sdp_conn->tx);
    sdp_conn->txlen = 28;
    return sdpcln_send(0, sdp_conn->tx, 28, kClnBufSize);
}

void SECC_UDP_Decode(const std::uint8_t* data, std::uint16_t len) {
    // An SDP request is exactly a V2GTP header of payload type 0x9000 with
    // its two bytes; its security and transport wishes change nothing.
    if (len == 10 && data[0] == 0x01 && data[1] == 0xFE && Get16(data + 2) == 0x9000 && Get32(data + 4) == 2)
        Flag_SECCDisReqGet = 1;
}

void UDP_Data_Decode() {
    ClnConn& s = sdpcln_conn[0];
    constexpr std::uint16_t want = CLN_OPEN | CLN_CONNECTED | CLN_NEWDATA;
    if (SECC_State != 3 || (s.flags & want) != want || s.state != 2) return;
    s.flags = static_cast<std::uint16_t>(s.flags & ~CLN_NEWDATA);
    SECC_UDP_Decode(s.rxbuf, s.rxlen);
}

void SECC_StateMachine() {
    switch (SECC_State) {
        case 0:
            SECC_UDP_init();
            SECC_State = 1;
            break;
        case 1:
            SECC_UPD_Listen();
            SECC_State = 3;
            UDP_MSG_StartTime = common::MonotonicNow();
            break;
        case 3:
            if (Flag_SECCDisReqGet) {
                Flag_SECCDisReqGet = 0;
                SECC_UDP_Send();
                SECC_State = 254;
            }
            break;
        case 254:
            if (Flag_SECCDisReqGet) {
                Flag_SECCDisReqGet = 0;
                SECC_UDP_Send();
            }
            SECC_State = 0;
            break;
        default: break;
    }
}

void SECC_appcall() {
    UdpConn* c = udp_current_conn;
    if (!c || c->appIndex != 0) return;
    ClnConn& s = sdpcln_conn[0];
    if (s.flags & CLN_SENDPEND) {
        if (s.txlen < kClnBufSize && s.txlen <= kUdpAppRoom) {
            std::memcpy(udp_net_app_data(), s.txdata, s.txlen);
            net_send_len = s.txlen;
            s.state = 3;
            s.flags = static_cast<std::uint16_t>((s.flags & ~CLN_SENDPEND) | CLN_SENT);
        } else {
            s.flags |= CLN_OVERFLOW;
            s.state = 2;
            s.txlen = 0;
        }
        return;
    }
    if (api_flags & API_NEWDATA) {
        if (net_data_len <= kClnBufSize && s.rxbuf) {
            std::memcpy(s.rxbuf, udp_net_app_data(), net_data_len);
            s.rxlen = net_data_len;
            s.state = 2;
            s.flags = static_cast<std::uint16_t>((s.flags & ~CLN_SENT) | CLN_NEWDATA);
        } else {
            s.flags |= CLN_OVERFLOW;
            s.state = 2;
        }
    }
}

}  // namespace plc
