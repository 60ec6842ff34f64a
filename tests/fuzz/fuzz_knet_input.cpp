// Frames from the powerline are outside input: the IP stack must take any
// bytes as an Ethernet frame (IPv6, ICMPv6, UDP, TCP) without reading or
// writing outside its buffers, and send only frames the modem can carry.
//
// The input is a series of records: a control byte, a 16-bit length and the
// frame. Control bit 0 makes the frame plausible (IPv6 EtherType, version,
// payload length and upper-layer checksum right) so the fuzzer reaches the
// upper layers; bit 1 runs a 10-ms tick, bit 2 lets the SDP server and the
// V2G session's part (taking a message, queueing an answer) run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "clock.h"
#include "knet.h"

namespace {

std::uint16_t g_station[3] = {0x0001, 0x870A, 0x0B0C};
std::uint16_t g_ev[3] = {0x0211, 0x2233, 0x4455};

int Check(const std::uint8_t*, std::uint16_t len, std::uint8_t) {
    if (len > plc::kMaxSendFrame || len < 54) std::abort();
    return 1;
}

void FixUp(std::uint8_t* f, std::size_t len) {
    if (len < 54) return;
    f[12] = 0x86;
    f[13] = 0xDD;
    f[14] = static_cast<std::uint8_t>(0x60 | (f[14] & 0x0F));
    std::size_t plen = len - 54;
    f[18] = static_cast<std::uint8_t>(plen >> 8);
    f[19] = static_cast<std::uint8_t>(plen);
    std::size_t at = f[20] == 6 ? 16 : f[20] == 17 ? 6 : f[20] == 58 ? 2 : 0;
    if (at == 0 || plen < at + 2) return;
    std::uint8_t* u = f + 54;
    if (f[20] == 17 && plen >= 8) {
        u[4] = static_cast<std::uint8_t>(plen >> 8);
        u[5] = static_cast<std::uint8_t>(plen);
    }
    u[at] = u[at + 1] = 0;
    std::uint32_t sum = f[20] + static_cast<std::uint32_t>(plen);
    for (std::size_t i = 22; i < 54; i += 2) sum += static_cast<std::uint32_t>(f[i] << 8 | f[i + 1]);
    for (std::size_t i = 0; i < plen; i += 2)
        sum += static_cast<std::uint32_t>(u[i] << 8 | (i + 1 < plen ? u[i + 1] : 0));
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    std::uint16_t c = static_cast<std::uint16_t>(~sum);
    u[at] = static_cast<std::uint8_t>(c >> 8);
    u[at + 1] = static_cast<std::uint8_t>(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::TestClock clock;
    static platform::ScopedClock scoped(clock);
    plc::knet_LoadDefaults();
    plc::knet_port = {Check, g_station, g_ev};
    plc::v6_memory_assign();
    plc::mdbcln_conn_init();
    plc::SDPcln_conn_init();
    plc::IPv6_StatMachine();
    plc::SECC_StateMachine();
    plc::SECC_StateMachine();
    plc::V2G_TCP_Listen();

    std::size_t pos = 0;
    while (pos + 3 <= size) {
        std::uint8_t ctl = data[pos];
        std::size_t len = static_cast<std::size_t>(data[pos + 1] << 8 | data[pos + 2]);
        pos += 3;
        if (len > size - pos) len = size - pos;
        // An exact-size copy, so a read past the frame is caught.
        std::vector<std::uint8_t> frame(data + pos, data + pos + len);
        pos += len;
        if (ctl & 1) FixUp(frame.data(), frame.size());
        plc::knet_frame_input(frame.data(), frame.size());
        plc::knet_rutine();
        if (ctl & 4) {
            plc::UDP_Data_Decode();
            plc::SECC_StateMachine();
            plc::ClnConn& s = plc::mdbcln_conn[0];
            if ((s.flags & 0x43) == 0x43 && s.state == 2) {
                s.flags = static_cast<std::uint16_t>(s.flags & ~plc::CLN_NEWDATA);
                plc::knet_copy_exidata(s.rxlen, s.rxbuf);
                plc::mdbcln_send(0, plc::mdb_conn->tx, plc::mdb_conn->txlen, 500);
            }
        }
        if (ctl & 2) {
            clock.Advance(10);
            plc::Excep_TMR0_CMIA0();
            plc::knet_rutine();
        }
        if (ctl & 8) plc::Flag_CloseTCP = 1;
    }
    return 0;
}
