#include <sys/random.h>

#include <cstring>

#include "knet.h"

namespace plc {

TcpConn* tcp_conn_table = nullptr;
TcpConn* tcp_current_conn = nullptr;
ListenEntry listen_ports[kListenPorts];
std::uint8_t Flag_CloseTCP = 0;
std::uint8_t* tcp_net_app_data = nullptr;

namespace {
void (*g_app_ptr)() = nullptr;  // callback of the listen entry that took the last SYN
}

std::uint32_t knet_initial_seq() {
    std::uint32_t v = 0;
    std::size_t got = 0;
    while (got < sizeof v) {
        ssize_t n = getrandom(reinterpret_cast<std::uint8_t*>(&v) + got, sizeof v - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    return v;
}

void null_app() {}

void knet_ip_tcp_init() {
    std::memset(listen_ports, 0, sizeof listen_ports);
    std::memset(tcp_conn_table, 0, sizeof(TcpConn));
    std::memset(udp_conn_table, 0, sizeof(UdpConn));
    lastport = 4096;
    std::memset(addr_tab, 0, sizeof(AddrEntry) * kAddrEntries);
    mdbcln_init();
    sdpcln_init();
}

void net_tcp_listen(std::uint16_t port, void (*callback)()) {
    for (ListenEntry& e : listen_ports) {
        if (e.port == 0) {
            e.port = port;
            e.callback = callback;
            return;
        }
    }
}

void net_tcp_unlisten(std::uint16_t port) {
    for (ListenEntry& e : listen_ports) {
        if (e.port == port) {
            e.port = 0;
            return;
        }
    }
}

namespace {

TcpConn& Conn() { return *tcp_current_conn; }
void SetState(std::uint8_t s) { Conn().tcpstateflags = static_cast<std::uint8_t>((Conn().tcpstateflags & 0xF0) | s); }
bool Stopped() { return Conn().tcpstateflags & 0x10; }

void Callback() {
    if (Conn().callback) Conn().callback();
}

// What the slot can still take. The SYN-ACK offers the whole window; every
// later segment offers no more than the session's buffer has free, so
// nothing it acknowledges is dropped behind it.
std::uint16_t ReceiveRoom() {
    TcpConn& c = Conn();
    std::uint16_t room = mdbcln_rx_room(c.appIndex);
    return room < c.window ? room : c.window;
}

std::uint16_t AnnouncedWindow(std::uint8_t flags) {
    if (Stopped()) return 0;
    return (flags & TCP_SYN) ? Conn().window : ReceiveRoom();
}

// Sequence space comparison (wrapping).
bool SeqLess(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) < 0; }

// Builds a segment of the current connection over the buffer: the
// application's data (if any) already stands at tcp_net_app_data. `seq`
// replaces the next send number where the segment must carry another.
void net_tcp_send(std::uint8_t flags, std::uint16_t dataLen, const std::uint32_t* seq = nullptr) {
    TcpConn& c = Conn();
    std::uint16_t hdr = (flags & TCP_SYN) ? 24 : 20;
    if (hdr == 24 && dataLen) dataLen = 0;
    std::uint8_t dst[16];
    std::memcpy(dst, c.raddr, 16);
    std::uint16_t tcpLen = static_cast<std::uint16_t>(hdr + dataLen);
    v6_build_header(tcpLen, 6, dst);
    std::uint8_t* t = L4();
    Put16(t, c.lport);
    Put16(t + 2, c.rport);
    Put32(t + 4, seq ? *seq : c.snd_nxt);
    Put32(t + 8, c.rcv_nxt);
    t[12] = static_cast<std::uint8_t>((hdr / 4) << 4);
    t[13] = flags;
    Put16(t + 14, AnnouncedWindow(flags));
    Put16(t + 16, 0);
    Put16(t + 18, 0);
    if (hdr == 24) {
        t[20] = 2;
        t[21] = 4;
        Put16(t + 22, kTcpAnnouncedMss);
    }
    Put16(t + 16, net_v6_chksum_field(t, tcpLen, 6));
    net_data_len = static_cast<std::uint16_t>(kL4 + tcpLen);
}

// An ACK at the edge of what was sent: the answer to a segment that cannot
// belong to the connection (a SYN, an acknowledgement of data never sent).
// The true peer ignores it, or resets from its own sequence numbers, which
// a blind sender does not know.
void SendChallengeAck() {
    const std::uint32_t next = Conn().snd_nxt + Conn().len;
    net_tcp_send(TCP_ACK, 0, &next);
}

// A window probe: an ACK one below the next send number, which the peer
// must answer with its window.
void SendWindowProbe() {
    const std::uint32_t below = Conn().snd_nxt - 1;
    net_tcp_send(TCP_ACK, 0, &below);
}

// The peer's window from a segment the connection accepted. A window that
// closes starts the probe timer, so an opening update that is lost does not
// hold the answer for ever.
void TakeWindow(std::uint16_t wnd) {
    TcpConn& c = Conn();
    if (wnd == 0 && c.sndWnd != 0) {
        c.timer = static_cast<std::uint16_t>(c.rto);
        c.probes = 0;
    }
    c.sndWnd = wnd;
    if (wnd > c.maxSndWnd) c.maxSndWnd = wnd;
}

// An acknowledgement number the peer can have: not beyond what was sent,
// nor further behind it than the peer's largest window.
bool AckPlausible(std::uint32_t ack) {
    const TcpConn& c = Conn();
    return !SeqLess(c.snd_nxt + c.len, ack) && !SeqLess(ack, c.snd_nxt - c.maxSndWnd);
}

// A reset to the sender of the segment in the buffer (which matched no
// connection, or which the connection refused): ports and addresses exchanged.
void net_tcp_reset() {
    std::uint8_t* t = L4();
    if (t[13] & TCP_RST) {
        net_drop();
        return;
    }
    std::uint16_t hdr = static_cast<std::uint16_t>((t[12] >> 4) * 4);
    std::uint32_t seq = Get32(t + 4), ack = Get32(t + 8);
    std::uint32_t segLen = static_cast<std::uint32_t>(IpPayloadLen() - hdr);
    if (t[13] & TCP_SYN) ++segLen;
    if (t[13] & TCP_FIN) ++segLen;
    if (segLen == 0) segLen = 1;
    std::uint16_t sport = Get16(t), dport = Get16(t + 2);
    std::uint8_t dst[16];
    std::memcpy(dst, IpSrc(), 16);
    v6_build_header(20, 6, dst);
    std::memset(t, 0, 20);
    Put16(t, dport);
    Put16(t + 2, sport);
    Put32(t + 4, ack);
    Put32(t + 8, seq + segLen);
    t[12] = 5 << 4;
    t[13] = TCP_RST | TCP_ACK;
    Put16(t + 16, net_v6_chksum_field(t, 20, 6));
    net_data_len = kL4 + 20;
    net_next_process = nullptr;
}

// Ticks before the next retransmission or probe: the time doubles from 7 up
// to 448.
std::uint16_t Backoff(std::uint16_t count) {
    return static_cast<std::uint16_t>(count > 6 ? 448 : (Conn().rto << count));
}

// Sends the connection's own reset and closes it.
void AbortConn() {
    SetState(TCP_CLOSED);
    net_tcp_send(TCP_RST | TCP_ACK, 0);
}

void StartClose() {
    TcpConn& c = Conn();
    net_send_len = 0;
    c.len = 1;
    SetState(TCP_FIN_WAIT_1);
    c.callback = null_app;
    c.nrtx = 0;
    c.timer = static_cast<std::uint16_t>(c.rto);
    net_tcp_send(TCP_FIN | TCP_ACK, 0);
}

// Puts what the application placed (cut to the segment size) on the wire.
void SendPlaced() {
    TcpConn& c = Conn();
    std::uint16_t n = net_send_len;
    if (n > tcp_send_room()) n = tcp_send_room();
    c.len = n;
    c.nrtx = 0;
    c.timer = static_cast<std::uint16_t>(c.rto);
    net_send_len = 0;
    net_tcp_send(TCP_PSH | TCP_ACK, n);
}

void net_tcp_appsend(bool ackDue) {
    TcpConn& c = Conn();
    if (api_flags & API_ABORT) {
        net_send_len = 0;
        AbortConn();
        return;
    }
    if (api_flags & API_CLOSE) {
        StartClose();
        return;
    }
    if (net_send_len && c.len == 0) {
        c.idleTicks = 0;
        SendPlaced();
        return;
    }
    net_send_len = 0;
    if (ackDue) net_tcp_send(TCP_ACK, 0);
    else net_drop();
}

// Options of a SYN: the peer's largest segment, kept at most 260.
void TakeMss(const std::uint8_t* t, std::uint16_t hdr) {
    TcpConn& c = Conn();
    c.mss = c.initialmss = kTcpSegmentSize;
    std::uint16_t i = 20;
    while (i < hdr) {
        std::uint8_t kind = t[i];
        if (kind == 0) break;
        if (kind == 1) {
            ++i;
            continue;
        }
        if (i + 1 >= hdr) break;
        std::uint8_t olen = t[i + 1];
        if (olen < 2 || i + olen > hdr) break;
        if (kind == 2 && olen == 4) {
            std::uint16_t mss = Get16(t + i + 2);
            if (mss < kTcpSegmentSize) c.mss = c.initialmss = mss;
            break;
        }
        i = static_cast<std::uint16_t>(i + olen);
    }
    if (c.mss == 0) c.mss = c.initialmss = kTcpSegmentSize;
}

void net_tcp_found_listen(const std::uint8_t* t, std::uint16_t hdr) {
    TcpConn* c = tcp_conn_table;
    if (c->state() != TCP_CLOSED && c->state() != TCP_TIME_WAIT) {
        net_drop();
        return;
    }
    tcp_current_conn = c;
    std::memset(c, 0, sizeof *c);
    c->timer = kTcpRto;
    c->rto = kTcpRto;
    c->lport = Get16(t + 2);
    c->rport = Get16(t);
    std::memcpy(c->raddr, IpSrc(), 16);
    c->tcpstateflags = TCP_SYN_RCVD;
    c->callback = g_app_ptr;
    c->snd_nxt = knet_initial_seq();
    c->window = kTcpWindow;
    c->len = 1;
    c->rcv_nxt = Get32(t + 4) + 1;
    c->sndWnd = c->maxSndWnd = Get16(t + 14);
    TakeMss(t, hdr);
    net_tcp_send(TCP_SYN | TCP_ACK, 0);
}

void net_tcp_found(std::uint8_t* t, std::uint16_t hdr, std::uint16_t dataLen) {
    TcpConn& c = Conn();
    std::uint8_t flags = t[13];
    std::uint32_t seq = Get32(t + 4), ack = Get32(t + 8);
    api_flags = 0;
    tcp_net_app_data = t + hdr;
    const std::uint8_t st = c.state();

    if (flags & TCP_RST) {
        // Only a reset at the expected sequence number ends the connection: a
        // blind or stale one could otherwise end it from outside.
        bool acceptable = st == TCP_SYN_SENT ? (flags & TCP_ACK) && ack == c.snd_nxt + c.len : seq == c.rcv_nxt;
        if (acceptable) {
            api_flags = API_ABORT;
            if (st == TCP_ESTABLISHED || st == TCP_SYN_SENT) Callback();
            SetState(TCP_CLOSED);
        }
        net_drop();
        return;
    }
    if ((flags & TCP_SYN) && st == TCP_SYN_RCVD) {
        // The peer's SYN again while its SYN-ACK is on the way: answer again.
        if (seq + 1 == c.rcv_nxt) {
            net_tcp_send(TCP_SYN | TCP_ACK, 0);
            return;
        }
        SetState(TCP_CLOSED);
        net_tcp_reset();
        return;
    }
    if (st == TCP_SYN_SENT) {
        // Only the peer's SYN-ACK is awaited; the step below checks it.
    } else if (flags & TCP_SYN) {
        // A SYN on a synchronised connection is stale or forged: whoever
        // sent it learns where the connection stands, and nothing changes.
        SendChallengeAck();
        return;
    } else if (!(flags & TCP_ACK)) {
        net_drop();
        return;
    } else if (st != TCP_SYN_RCVD && !AckPlausible(ack)) {
        SendChallengeAck();
        return;
    }

    // Only in-order data is taken: a retransmission that overlaps what was
    // already taken gives its new tail, anything else is acknowledged again
    // and not delivered twice. Of in-order data only what the slot can still
    // take is accepted; the rest goes unacknowledged, so the peer sends it
    // again once the window opens.
    bool fin = flags & TCP_FIN;
    bool ackDue = false;
    const bool inOrder = seq == c.rcv_nxt;
    if (st != TCP_SYN_SENT && !(dataLen > 0 || fin) && !inOrder) {
        // An empty segment outside the window (a window probe, a keep-alive)
        // is answered with where the connection stands.
        const std::uint16_t room = ReceiveRoom();
        if (room == 0 || SeqLess(seq, c.rcv_nxt) || !SeqLess(seq, c.rcv_nxt + room)) ackDue = true;
    }
    if (st != TCP_SYN_SENT && (dataLen > 0 || fin)) {
        if (!inOrder) {
            std::uint32_t skip = c.rcv_nxt - seq;
            if (SeqLess(seq, c.rcv_nxt) && skip < dataLen) {
                tcp_net_app_data += skip;
                dataLen = static_cast<std::uint16_t>(dataLen - skip);
            } else if (SeqLess(seq, c.rcv_nxt) && skip == dataLen && fin) {
                dataLen = 0;  // the data was taken; the FIN is new
            } else {
                dataLen = 0;
                fin = false;
                ackDue = true;
            }
        }
        const std::uint16_t room = ReceiveRoom();
        if (dataLen > room) {
            dataLen = room;
            fin = false;
            ackDue = true;
        }
    }
    if (st != TCP_SYN_SENT && inOrder) TakeWindow(Get16(t + 14));

    if (c.len && (flags & TCP_ACK)) {
        if (ack == c.snd_nxt + c.len) {
            c.snd_nxt += c.len;
            api_flags = API_ACKDATA;
            c.timer = static_cast<std::uint16_t>(c.rto);
            c.nrtx = 0;
        } else if (dataLen == 0 && !fin) {
            if (ackDue && st >= TCP_ESTABLISHED) net_tcp_send(TCP_ACK, 0);
            else net_drop();
            return;
        } else {
            c.idleTicks = 0;
        }
    } else if (flags & TCP_ACK) {
        c.idleTicks = 0;
    }
    net_data_len = dataLen;

    switch (st) {
        case TCP_SYN_RCVD:
            if (api_flags & API_ACKDATA) {
                SetState(TCP_ESTABLISHED);
                api_flags = API_CONNECTED;
                c.len = 0;
                c.idleTicks = 0;
                c.idleLimit = kTcpIdleLimit;
                if (dataLen) {
                    api_flags |= API_NEWDATA;
                    c.rcv_nxt += dataLen;
                }
                net_send_len = 0;
                Callback();
                net_tcp_appsend(dataLen > 0);
            } else {
                net_tcp_reset();
            }
            return;
        case TCP_ESTABLISHED: {
            if (api_flags & API_ACKDATA) c.len = 0;
            if (fin) {
                c.rcv_nxt += dataLen + 1u;
                api_flags = static_cast<std::uint16_t>(api_flags | API_CLOSE | (dataLen ? API_NEWDATA : 0));
                Callback();
                c.len = 1;
                SetState(TCP_LAST_ACK);
                c.callback = null_app;
                c.nrtx = 0;
                c.timer = static_cast<std::uint16_t>(c.rto);
                net_tcp_send(TCP_FIN | TCP_ACK, 0);
                return;
            }
            // Urgent data stays in line: the urgent pointer only marks a
            // place in the stream, and the V2G stream has no use for it.
            if (dataLen && !Stopped()) {
                api_flags |= API_NEWDATA;
                c.rcv_nxt += dataLen;
            }
            if (api_flags & (API_ACKDATA | API_NEWDATA)) {
                net_send_len = 0;
                c.idleTicks = 0;
                Callback();
                net_tcp_appsend(api_flags & API_NEWDATA || ackDue);
            } else if (ackDue) {
                net_tcp_send(TCP_ACK, 0);
            } else {
                net_drop();
            }
            return;
        }
        case TCP_FIN_WAIT_1:
            c.rcv_nxt += dataLen;
            if (fin) {
                if (api_flags & API_ACKDATA) {
                    SetState(TCP_TIME_WAIT);
                    c.timer = 0;
                    c.len = 0;
                } else {
                    SetState(TCP_CLOSING);
                }
                c.rcv_nxt += 1;
                api_flags = API_CLOSE;
                net_tcp_send(TCP_ACK, 0);
            } else if (api_flags & API_ACKDATA) {
                SetState(TCP_FIN_WAIT_2);
                c.len = 0;
                c.timer = 0;
                if (dataLen || ackDue) net_tcp_send(TCP_ACK, 0);
                else net_drop();
            } else if (dataLen || ackDue) {
                net_tcp_send(TCP_ACK, 0);
            } else {
                net_drop();
            }
            return;
        case TCP_FIN_WAIT_2:
            c.rcv_nxt += dataLen;
            if (fin) {
                SetState(TCP_TIME_WAIT);
                c.timer = 0;
                c.rcv_nxt += 1;
                api_flags = API_CLOSE;
                net_tcp_send(TCP_ACK, 0);
            } else if (dataLen || ackDue) {
                net_tcp_send(TCP_ACK, 0);
            } else {
                net_drop();
            }
            return;
        case TCP_CLOSING:
            if (api_flags & API_ACKDATA) {
                SetState(TCP_TIME_WAIT);
                c.timer = 0;
                c.len = 0;
            }
            net_drop();
            return;
        case TCP_TIME_WAIT:
            Flag_CloseTCP = 0;
            net_tcp_send(TCP_ACK, 0);
            return;
        case TCP_LAST_ACK:
            if (api_flags & API_ACKDATA) {
                SetState(TCP_CLOSED);
                api_flags = API_CLOSE;
            }
            net_drop();
            return;
        default:
            net_drop();
            return;
    }
}

}  // namespace

void net_tcp_input() {
    std::uint16_t len = IpPayloadLen();
    std::uint8_t* t = L4();
    // Header fields are checked before use: the data offset must lie within
    // the segment.
    if (len < 20) {
        ++knet_counters.badHeader;
        net_drop();
        return;
    }
    std::uint16_t hdr = static_cast<std::uint16_t>((t[12] >> 4) * 4);
    if (hdr < 20 || hdr > len) {
        ++knet_counters.badHeader;
        net_drop();
        return;
    }
    if (net_v6_chksum(t, len, 6) != 0xFFFF) {
        ++knet_counters.badChecksum;
        net_drop();
        return;
    }
    std::uint16_t dataLen = static_cast<std::uint16_t>(len - hdr);
    std::uint16_t sport = Get16(t), dport = Get16(t + 2);
    TcpConn* c = tcp_conn_table;
    if (c->state() != TCP_CLOSED && c->lport == dport && c->rport == sport && std::memcmp(c->raddr, IpSrc(), 16) == 0) {
        tcp_current_conn = c;
        net_tcp_found(t, hdr, dataLen);
        return;
    }
    if ((t[13] & 0x3F) == TCP_SYN) {
        for (const ListenEntry& e : listen_ports) {
            if (e.port != 0 && e.port == dport) {
                g_app_ptr = e.callback;
                net_tcp_found_listen(t, hdr);
                return;
            }
        }
    }
    net_tcp_reset();
}

void net_tcp_polling() {
    TcpConn& c = Conn();
    api_flags = 0;
    net_data_len = 0;
    net_send_len = 0;
    tcp_net_app_data = L4() + 20;
    const std::uint8_t st = c.state();
    if (st == TCP_TIME_WAIT || st == TCP_FIN_WAIT_2) return;
    if (c.len) {
        if (c.timer != 0) return;
        if (c.nrtx == 8 || (st == TCP_SYN_RCVD && c.nrtx > 3) || (st == TCP_SYN_SENT && c.nrtx > 3)) {
            std::memset(eth_buf, 0, kFrameBufSize);
            api_flags = API_TIMEDOUT;
            Callback();
            AbortConn();
            return;
        }
        c.timer = Backoff(c.nrtx);
        ++c.nrtx;
        std::memset(eth_buf, 0, kFrameBufSize);
        switch (st) {
            case TCP_SYN_RCVD: net_tcp_send(TCP_SYN | TCP_ACK, 0); return;
            case TCP_SYN_SENT:
                if (c.nrtx == 1) c.timer = 100;
                net_tcp_send(TCP_SYN, 0);
                return;
            case TCP_ESTABLISHED: {
                api_flags = API_REXMIT;
                Callback();
                std::uint16_t n = c.len;
                net_send_len = 0;
                net_tcp_send(TCP_PSH | TCP_ACK, n);
                return;
            }
            case TCP_FIN_WAIT_1:
            case TCP_CLOSING:
            case TCP_LAST_ACK: net_tcp_send(TCP_FIN | TCP_ACK, 0); return;
            default: return;
        }
    }
    if (st != TCP_ESTABLISHED) return;
    std::memset(eth_buf, 0, kFrameBufSize);
    if (c.idleLimit != 0 && c.idleTicks >= c.idleLimit) {
        api_flags = API_TIMEDOUT;
        Callback();
        StartClose();
        return;
    }
    api_flags = API_POLL;
    Callback();
    if (api_flags & API_CLOSE) {
        StartClose();
        return;
    }
    if (api_flags & API_ABORT) {
        AbortConn();
        return;
    }
    if (net_send_len && tcp_send_room()) {
        SendPlaced();
        return;
    }
    // The close the controller asks for waits until the last part of an
    // answer is out and acknowledged.
    if (Flag_CloseTCP) {
        api_flags = API_TIMEDOUT;
        Callback();
        StartClose();
        return;
    }
    // A closed window is probed on the back-off table, never given up on:
    // the session's own time-outs bound the wait.
    if (c.sndWnd == 0 && c.timer == 0) {
        c.timer = Backoff(c.probes);
        if (c.probes < 0xFFFF) ++c.probes;
        SendWindowProbe();
    }
}

void net_tcp_timer() {
    TcpConn& c = Conn();
    const std::uint8_t st = c.state();
    if (st == TCP_TIME_WAIT || st == TCP_FIN_WAIT_2) {
        if (++c.timer >= kTimeWaitTicks) SetState(TCP_CLOSED);
    } else if (c.len) {
        if (c.timer) --c.timer;
    } else if (st == TCP_ESTABLISHED) {
        ++c.idleTicks;
        if (c.sndWnd == 0 && c.timer) --c.timer;
    }
}

std::uint16_t tcp_send_room() {
    const TcpConn& c = *tcp_current_conn;
    std::uint16_t n = c.mss < tcp_app_room() ? c.mss : tcp_app_room();
    return c.sndWnd < n ? c.sndWnd : n;
}

}  // namespace plc
