#include <cstring>

#include "knet.h"

namespace plc {

ClnConn mdbcln_conn[1];
ClnConnBuf mdbcln_conn_buf;
ClnConnBuf* mdb_conn = &mdbcln_conn_buf;

void mdbcln_conn_init() {
    mdb_conn = &mdbcln_conn_buf;
    std::memset(&mdbcln_conn_buf, 0, sizeof mdbcln_conn_buf);
    mdbcln_conn_buf.state = 0;
    mdbcln_conn_buf.index = 0;
}

void mdbcln_init() { std::memset(mdbcln_conn, 0, sizeof mdbcln_conn); }

int mdbcln_Listen(int index, std::uint16_t port, std::uint8_t* txbuf, std::uint8_t* rxbuf) {
    if (index != 0) return 1;
    ClnConn& s = mdbcln_conn[0];
    if (s.state != 0) return 2;
    net_tcp_listen(port, mdbcln_appcall);
    s.kltout = mdbcln_kltout;
    s.state = 1;
    s.flags = CLN_OPEN;
    s.txdata = txbuf;
    s.rxbuf = rxbuf;
    s.txmax = kClnBufSize;
    s.rxgather = 0;
    return 0;
}

void mdbcln_close(int index) {
    if (index != 0) return;
    ClnConn& s = mdbcln_conn[0];
    s.state = s.flags = s.request = s.txlen = s.txmax = 0;
    s.kltout = 0;
    s.txdata = nullptr;
    s.conn = nullptr;
    s.txdone = s.txinflight = s.rxgather = 0;
}

std::uint16_t mdbcln_rx_room(int index) {
    if (index != 0) return 0;
    const ClnConn& s = mdbcln_conn[0];
    if (s.flags & CLN_NEWDATA) return 0;
    return static_cast<std::uint16_t>(kClnBufSize - s.rxgather);
}

std::uint16_t mdbcln_status_get(int index) { return index == 0 ? mdbcln_conn[0].flags : 0; }

int mdbcln_send(int index, std::uint8_t* data, std::uint16_t len, std::uint16_t max) {
    if (!data) return 5;
    if (len == 0) return 4;
    if (len > max) return 3;
    if (index != 0) return 6;
    ClnConn& s = mdbcln_conn[0];
    if (!(s.flags & CLN_CONNECTED)) return 1;
    if (s.state != 2) return 2;
    s.txdata = data;
    s.txlen = len;
    s.txmax = max;
    s.txdone = s.txinflight = 0;
    s.flags = static_cast<std::uint16_t>((s.flags & 0x03) | CLN_SENDPEND);
    return 0;
}

void knet_copy_exidata(std::uint16_t len, const std::uint8_t* data) {
    std::uint16_t n = len > kClnBufSize ? kClnBufSize : len;
    std::memcpy(mdb_conn->tx, data, n);
    mdb_conn->txlen = n;
}

int V2G_TCP_Listen() { return mdbcln_Listen(0, nTCP_PORT, mdb_conn->tx, mdb_conn->rx); }
int V2G_TCP_WaitConnection() { return (mdbcln_conn[0].flags & CLN_CONNECTED) ? 1 : 0; }

namespace {

// The part of the answer that goes into the next segment.
std::uint16_t NextPart(const ClnConn& s) {
    std::uint16_t room = tcp_send_room();
    std::uint16_t left = static_cast<std::uint16_t>(s.txlen - s.txdone);
    return left < room ? left : room;
}

// Whether the first n bytes of b can begin a V2GTP header of a message
// that fits the slot.
bool HeaderSoFar(const std::uint8_t* b, std::uint32_t n) {
    static constexpr std::uint8_t kStart[4] = {0x01, 0xFE, 0x80, 0x01};
    for (std::uint32_t i = 0; i < n && i < 4; ++i) {
        if (b[i] != kStart[i]) return false;
    }
    return n < 8 || 8u + Get32(b + 4) <= kClnBufSize;
}

// Takes the bytes of one segment into the receive buffer. A V2GTP message
// split over segments is gathered up to its announced length before the
// session is told; bytes that are no V2GTP header are handed on as they came
// (the session refuses them).
void TakeData(ClnConn& s) {
    // A fragment that never became a header (a vehicle's malformed bytes)
    // must not swallow the whole message that follows it.
    if (s.rxgather > 0 && HeaderSoFar(tcp_net_app_data, net_data_len)) {
        std::uint8_t head[8];
        std::uint32_t n = s.rxgather < 8 ? s.rxgather : 8;
        std::memcpy(head, s.rxbuf, n);
        for (std::uint32_t i = 0; n < 8 && i < net_data_len; ++i) head[n++] = tcp_net_app_data[i];
        if (!HeaderSoFar(head, n)) s.rxgather = 0;
    }
    if (s.rxgather + net_data_len > kClnBufSize) {
        s.flags |= CLN_OVERFLOW;
        s.state = 2;
        s.rxgather = 0;
        return;
    }
    std::memcpy(s.rxbuf + s.rxgather, tcp_net_app_data, net_data_len);
    s.rxgather = static_cast<std::uint16_t>(s.rxgather + net_data_len);
    const std::uint8_t* b = s.rxbuf;
    bool v2gtpStart = b[0] == 0x01 && (s.rxgather < 2 || b[1] == 0xFE);
    if (v2gtpStart) {
        if (s.rxgather < 8) return;
        std::uint32_t need = 8u + Get32(b + 4);
        if (need > kClnBufSize) {
            s.flags |= CLN_OVERFLOW;
            s.state = 2;
            s.rxgather = 0;
            return;
        }
        if (s.rxgather < need) return;
    }
    s.rxlen = s.rxgather;
    s.rxgather = 0;
    s.state = 2;
    s.flags = static_cast<std::uint16_t>((s.flags & ~CLN_SENT) | CLN_NEWDATA);
}

}  // namespace

void mdbcln_appcall() {
    TcpConn* c = tcp_current_conn;
    if (!c || c->appIndex != 0) return;
    ClnConn& s = mdbcln_conn[0];
    if (api_flags & API_CONNECTED) {
        s.state = 2;
        s.flags |= CLN_CONNECTED;
        s.conn = c;
        s.rxgather = 0;
        if (!(api_flags & API_NEWDATA)) return;
    }
    if (api_flags & API_ACKDATA) {
        s.txdone = static_cast<std::uint16_t>(s.txdone + s.txinflight);
        s.txinflight = 0;
    }
    if (api_flags & API_POLL) {
        if ((s.flags & CLN_SENDPEND) && s.txdata && s.txdone < s.txlen) {
            std::uint16_t n = NextPart(s);
            if (n == 0) return;  // the vehicle's window is closed: the answer waits
            std::memcpy(tcp_net_app_data, s.txdata + s.txdone, n);
            net_send_len = n;
            s.txinflight = n;
            s.state = 3;
            if (s.txdone + n >= s.txlen) s.flags = static_cast<std::uint16_t>((s.flags & ~CLN_SENDPEND) | CLN_SENT);
        } else if (s.request & CLN_REQ_CLOSE) {
            mdbcln_close(0);
            api_flags = API_CLOSE;
        } else if (!(s.flags & CLN_SENDPEND)) {
            // Polls come only with nothing outstanding: the answer arrived.
            s.state = 2;
        }
        return;
    }
    if (api_flags & API_NEWDATA) {
        if (s.request & CLN_REQ_CLOSE) {
            mdbcln_close(0);
            api_flags = API_CLOSE;
            return;
        }
        TakeData(s);
        return;
    }
    if (api_flags & API_REXMIT) {
        std::memcpy(tcp_net_app_data, s.txdata + s.txdone, s.txinflight);
        net_send_len = s.txinflight;
        return;
    }
    if (api_flags & (API_TIMEDOUT | API_CLOSE | API_ABORT)) mdbcln_close(0);
}

}  // namespace plc
