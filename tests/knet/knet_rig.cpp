#include "knet_rig.h"

#include <algorithm>
#include <cstring>

namespace knettest {

std::vector<Sent> g_sent;

namespace {

std::uint16_t g_station_words[3];
std::uint16_t g_ev_words[3];

int Capture(const std::uint8_t* frame, std::uint16_t len, std::uint8_t type) {
    g_sent.push_back({Bytes(frame, frame + len), type});
    return 1;
}

void Words(const Mac& m, std::uint16_t* w) {
    for (int i = 0; i < 3; ++i) w[i] = static_cast<std::uint16_t>(m[2 * i] << 8 | m[2 * i + 1]);
}

void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    Put16(b, at, static_cast<std::uint16_t>(v >> 16));
    Put16(b, at + 2, static_cast<std::uint16_t>(v));
}

}  // namespace

std::uint16_t Checksum(const Addr& src, const Addr& dst, std::uint8_t nh, const Bytes& upper) {
    Bytes pseudo(src.begin(), src.end());
    pseudo.insert(pseudo.end(), dst.begin(), dst.end());
    std::uint32_t len = static_cast<std::uint32_t>(upper.size());
    for (int s : {24, 16, 8, 0}) pseudo.push_back(static_cast<std::uint8_t>(len >> s));
    pseudo.insert(pseudo.end(), {0, 0, 0, nh});
    pseudo.insert(pseudo.end(), upper.begin(), upper.end());
    if (pseudo.size() % 2) pseudo.push_back(0);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < pseudo.size(); i += 2) sum += static_cast<std::uint32_t>(pseudo[i] << 8 | pseudo[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

Bytes Frame(const Ip6& ip, Bytes upper, int csumAt) {
    if (csumAt >= 0) {
        Put16(upper, static_cast<std::size_t>(csumAt), 0);
        Put16(upper, static_cast<std::size_t>(csumAt), Checksum(ip.src, ip.dst, ip.nextHeader, upper));
    }
    Bytes f(54 + upper.size());
    std::memcpy(f.data(), ip.ethDst.data(), 6);
    std::memcpy(f.data() + 6, ip.ethSrc.data(), 6);
    Put16(f, 12, 0x86DD);
    f[14] = 0x60;
    Put16(f, 18, static_cast<std::uint16_t>(static_cast<int>(upper.size()) + ip.payloadLenDelta));
    f[20] = ip.nextHeader;
    f[21] = ip.hopLimit;
    std::memcpy(f.data() + 22, ip.src.data(), 16);
    std::memcpy(f.data() + 38, ip.dst.data(), 16);
    std::copy(upper.begin(), upper.end(), f.begin() + 54);
    return f;
}

Bytes NeighbourSolicitation(const Addr& src, const Addr& dst, const Addr& target, std::uint8_t hop, bool withSlla) {
    Bytes m(24, 0);
    m[0] = 135;
    std::memcpy(m.data() + 8, target.data(), 16);
    if (withSlla) {
        m.insert(m.end(), {1, 1});
        m.insert(m.end(), kEvMac.begin(), kEvMac.end());
    }
    Ip6 ip;
    ip.src = src;
    ip.dst = dst;
    ip.hopLimit = hop;
    if (dst[0] == 0xFF) ip.ethDst = {0x33, 0x33, dst[12], dst[13], dst[14], dst[15]};
    return Frame(ip, m, 2);
}

Bytes RouterSolicitation(const Addr& src) {
    Bytes m(8, 0);
    m[0] = 133;
    m.insert(m.end(), {1, 1});
    m.insert(m.end(), kEvMac.begin(), kEvMac.end());
    Ip6 ip;
    ip.src = src;
    ip.dst = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    ip.ethDst = {0x33, 0x33, 0, 0, 0, 2};
    return Frame(ip, m, 2);
}

Bytes UdpDatagram(const Addr& dst, std::uint16_t sport, std::uint16_t dport, const Bytes& data) {
    Bytes u(8, 0);
    Put16(u, 0, sport);
    Put16(u, 2, dport);
    Put16(u, 4, static_cast<std::uint16_t>(8 + data.size()));
    u.insert(u.end(), data.begin(), data.end());
    Ip6 ip;
    ip.dst = dst;
    ip.nextHeader = 17;
    if (dst[0] == 0xFF) ip.ethDst = {0x33, 0x33, dst[12], dst[13], dst[14], dst[15]};
    return Frame(ip, u, 6);
}

Bytes SdpRequest(std::uint8_t version, std::uint32_t length) {
    Bytes r = {version, static_cast<std::uint8_t>(~version), 0x90, 0x00, 0, 0, 0, 0};
    Put32(r, 4, length);
    for (std::uint32_t i = 0; i < length && i < 16; ++i) r.push_back(i == 0 ? 0x10 : 0x00);
    return r;
}

Bytes TcpSegment(const Seg& s) {
    Bytes t(20, 0);
    Put16(t, 0, s.sport);
    Put16(t, 2, s.dport);
    Put32(t, 4, s.seq);
    Put32(t, 8, s.ack);
    t[12] = static_cast<std::uint8_t>(((20 + s.options.size()) / 4) << 4);
    t[13] = s.flags;
    Put16(t, 14, s.window);
    Put16(t, 18, s.urgent);
    t.insert(t.end(), s.options.begin(), s.options.end());
    t.insert(t.end(), s.data.begin(), s.data.end());
    Ip6 ip;
    ip.nextHeader = 6;
    return Frame(ip, t, 16);
}

Out Parse(const Bytes& f) {
    Out o{};
    std::memcpy(o.ethDst.data(), f.data(), 6);
    std::memcpy(o.ethSrc.data(), f.data() + 6, 6);
    o.etherType = static_cast<std::uint16_t>(f[12] << 8 | f[13]);
    o.payloadLen = static_cast<std::uint16_t>(f[18] << 8 | f[19]);
    o.nextHeader = f[20];
    o.hopLimit = f[21];
    std::memcpy(o.src.data(), f.data() + 22, 16);
    std::memcpy(o.dst.data(), f.data() + 38, 16);
    o.upper.assign(f.begin() + 54, f.end());
    Bytes check = o.upper;
    std::size_t at = o.nextHeader == 6 ? 16 : o.nextHeader == 17 ? 6 : 2;
    std::uint16_t stored = static_cast<std::uint16_t>(check[at] << 8 | check[at + 1]);
    check[at] = check[at + 1] = 0;
    std::uint16_t want = Checksum(o.src, o.dst, o.nextHeader, check);
    if (want == 0 && o.nextHeader == 17) want = 0xFFFF;
    o.checksumOk = stored == want && o.payloadLen == o.upper.size();
    return o;
}

KnetRig::KnetRig() {
    g_sent.clear();
    Words(kStationMac, g_station_words);
    Words(kEvMac, g_ev_words);
    plc::knet_port = {Capture, g_station_words, g_ev_words};
    plc::knet_counters = {};
    plc::Ipv6State = 0;
    plc::bSendICMPv6_NS = 0;
    plc::Flag_Icmpv6_Req = 0;
    plc::SECC_State = 0;
    plc::Flag_SECCDisReqGet = 0;
    plc::Flag_CloseTCP = 0;
    plc::v6_memory_assign();
    plc::timer_init();
    plc::mdbcln_conn_init();
    plc::SDPcln_conn_init();
    plc::IPv6_StatMachine();
}

KnetRig::~KnetRig() { plc::knet_port = {}; }

void KnetRig::Pass(bool tick) {
    plc::knet_rutine();
    if (tick) plc::Excep_TMR0_CMIA0();
}

void KnetRig::Tick() {
    clock.Advance(10);
    plc::Excep_TMR0_CMIA0();
    Pass();
    Pass();
}

void KnetRig::SdpPass() {
    plc::knet_rutine();
    plc::UDP_Data_Decode();
    plc::SECC_StateMachine();
}

std::vector<Sent> KnetRig::Take() {
    std::vector<Sent> out;
    out.swap(g_sent);
    return out;
}

}  // namespace knettest
