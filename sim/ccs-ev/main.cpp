// CcsEv: a CCS vehicle of the simulation. On its end of the powerline (a
// network interface of its own namespace) it runs SLAC, finds the station by
// SDP on the kernel's IPv6 and UDP, opens the V2G connection on the kernel's
// TCP and charges through DIN SPEC 70121 from the handshake to SessionStop,
// printing each message as it passes and checking every answer.
//
//   CcsEv --if NAME [--no-slac] [--mac MAC] [--soc N] [--demands N]
//         [--target-voltage V] [--target-current A] [--max-voltage V] [--gap-ms N] [--timeout-ms N]
//         [--skip MSG] [--wrong-session MSG] [--session-id HEX] [--repeat-failed]
//         [--power-delivery-after MSG] [--refused MSG:CODE] [--demand-voltage V]
//         [--drop-after N close|reset]
//         [--silent-before MSG] [--silent-ms N] [--split MSG|all] [--split-at N]
//         [--bench N]
// MSG is a request name such as CurrentDemand. Targets may carry a power of
// ten as DIN sends it ("32767e3": 32767 x 10^3). A refused request ends the
// session: the vehicle then expects the station to close the connection.
// SIGUSR1 ends the charge: the next CurrentDemand is the last, then
// PowerDelivery stop (with --drop-after: the connection is dropped after the
// next CurrentDemand). Exits 0 when the session ran as asked, 1 when an
// answer failed its check, 2 on bad usage, 3 when no station was found or
// connected.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ccs_vehicle.h"
#include "clock.h"
#include "ev_slac.h"
#include "line.h"
#include "packet_line.h"

namespace {

constexpr std::uint16_t kSdpPort = 15118;

volatile std::sig_atomic_t g_endCharge = 0;
void OnEndCharge(int) { g_endCharge = 1; }

// A line the same as the one before (a request repeated while the station
// works) is counted, not printed again.
std::string g_last;
int g_repeats = 0;

void FlushRepeats() {
    if (g_repeats > 0) std::printf("CcsEv:   the same %d more time%s\n", g_repeats, g_repeats > 1 ? "s" : "");
    g_repeats = 0;
    std::fflush(stdout);
}

void Print(const std::string& line) {
    if (line == g_last) {
        ++g_repeats;
        return;
    }
    FlushRepeats();
    g_last = line;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// The V2G connection on the kernel's TCP.
class TcpChannel final : public evsim::V2gChannel {
public:
    explicit TcpChannel(int fd) : fd_(fd) {}
    ~TcpChannel() override {
        if (fd_ >= 0) close(fd_);
    }

    bool Send(const evsim::Bytes& m, std::size_t splitAt) override {
        if (splitAt > 0 && splitAt < m.size()) {
            // Two segments: no coalescing, and a pause the station's stack
            // sees as two arrivals.
            if (!WriteAll(m.data(), splitAt)) return false;
            platform::GetClock().SleepMs(40);
            return WriteAll(m.data() + splitAt, m.size() - splitAt);
        }
        return WriteAll(m.data(), m.size());
    }

    bool Drop(bool reset) override {
        if (reset) {
            // Lingering for no time: close sends a reset, not a FIN.
            linger l{1, 0};
            if (setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return false;
        }
        close(fd_);
        fd_ = -1;
        return true;
    }

    Rx Receive(evsim::Bytes* m, std::int64_t timeoutMs) override {
        const std::int64_t end = platform::GetClock().MonotonicMs() + timeoutMs;
        m->assign(8, 0);
        Rx r = ReadExactly(m->data(), 8, end);
        if (r != Rx::Message) return r;
        std::uint32_t n = static_cast<std::uint32_t>((*m)[4]) << 24 | static_cast<std::uint32_t>((*m)[5]) << 16 |
                          static_cast<std::uint32_t>((*m)[6]) << 8 | (*m)[7];
        if (n > 4096) return Rx::Message;  // no V2GTP message: the vehicle refuses it as it is
        m->resize(8 + n);
        return ReadExactly(m->data() + 8, n, end);
    }

private:
    bool WriteAll(const std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            ssize_t w = send(fd_, p, n, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            p += w;
            n -= static_cast<std::size_t>(w);
        }
        return true;
    }
    Rx ReadExactly(std::uint8_t* p, std::size_t n, std::int64_t end) {
        while (n > 0) {
            std::int64_t left = end - platform::GetClock().MonotonicMs();
            if (left <= 0) return Rx::TimedOut;
            pollfd pfd{fd_, POLLIN, 0};
            int rc = poll(&pfd, 1, static_cast<int>(left));
            if (rc < 0 && errno == EINTR) continue;
            if (rc == 0) return Rx::TimedOut;
            ssize_t got = recv(fd_, p, n, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return Rx::Closed;  // end of stream or reset
            p += got;
            n -= static_cast<std::size_t>(got);
        }
        return Rx::Message;
    }
    int fd_;
};

// SDP: asks all nodes of the link for a station that speaks V2G over TCP
// without TLS; the station's address and port, or false.
bool FindStation(unsigned scope, sockaddr_in6* station) {
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_scope_id = scope;
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        close(fd);
        return false;
    }
    sockaddr_in6 all{};
    all.sin6_family = AF_INET6;
    all.sin6_port = htons(kSdpPort);
    all.sin6_scope_id = scope;
    inet_pton(AF_INET6, "ff02::1", &all.sin6_addr);
    const std::uint8_t request[] = {0x01, 0xFE, 0x90, 0x00, 0, 0, 0, 2, 0x10, 0x00};
    for (int attempt = 0; attempt < 20; ++attempt) {
        sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&all), sizeof all);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 500) <= 0) continue;
        std::uint8_t a[64];
        ssize_t n = recv(fd, a, sizeof a, 0);
        // Header for 20 bytes, the address, the port, no TLS, TCP.
        if (n != 28 || a[0] != 0x01 || a[1] != 0xFE || a[2] != 0x90 || a[3] != 0x01 || a[4] || a[5] || a[6] ||
            a[7] != 20 || a[26] != 0x10 || a[27] != 0x00) {
            Print("CcsEv: SDP answer refused (" + std::to_string(n) + " bytes)");
            continue;
        }
        *station = sockaddr_in6{};
        station->sin6_family = AF_INET6;
        std::memcpy(&station->sin6_addr, a + 8, 16);
        station->sin6_port = htons(static_cast<std::uint16_t>(a[24] << 8 | a[25]));
        station->sin6_scope_id = scope;
        close(fd);
        return true;
    }
    close(fd);
    return false;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: CcsEv --if NAME [--no-slac] [--mac MAC] [--soc N] [--demands N] [--target-voltage V]\n"
                 "             [--target-current A] [--max-voltage V] [--gap-ms N] [--timeout-ms N] [--skip MSG]\n"
                 "             [--wrong-session MSG] [--session-id HEX|zero] [--repeat-failed]\n"
                 "             [--power-delivery-after MSG] [--refused MSG:CODE] [--demand-voltage V[eM]]\n"
                 "             [--drop-after N close|reset] [--silent-before MSG] [--silent-ms N]\n"
                 "             [--split MSG|all] [--split-at N] [--bench N]\n");
    return 2;
}

// "V" or "VeM": a DIN physical value's Value and Multiplier.
bool Physical(const char* text, int* value, std::int8_t* multiplier) {
    std::string t = text;
    std::size_t e = t.find('e');
    const std::string digits = t.substr(0, e);
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(digits.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < -32768 || v > 32767 || digits.empty()) return false;
    long m = 0;
    if (e != std::string::npos) {
        m = std::strtol(t.c_str() + e + 1, &end, 10);
        if (*end != '\0' || m < -3 || m > 3 || e + 1 == t.size()) return false;
    }
    *value = static_cast<int>(v);
    *multiplier = static_cast<std::int8_t>(m);
    return true;
}

// 16 hexadecimal digits, or "zero".
bool SessionIdText(const std::string& text, std::array<std::uint8_t, 8>* id) {
    if (text == "zero") {
        id->fill(0);
        return true;
    }
    if (text.size() != 16) return false;
    for (std::size_t i = 0; i < 8; ++i) {
        char* end = nullptr;
        std::string byte = text.substr(2 * i, 2);
        long b = std::strtol(byte.c_str(), &end, 16);
        if (*end != '\0') return false;
        (*id)[i] = static_cast<std::uint8_t>(b);
    }
    return true;
}

bool Number(const char* text, long long lo, long long hi, long long* out) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string ifname;
    bool slac = true;
    bool macGiven = false;
    evsim::CcsEvConfig c;
    evsim::EvConfig slacConfig;
    std::int64_t slacTimeoutMs = 20000;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        long long n = 0;
        auto msg = [&](evsim::Msg* m) { return v && evsim::ParseMsg(v, m) && ++i; };
        auto num = [&](long long lo, long long hi) { return v && Number(v, lo, hi, &n) && ++i; };
        if (a == "--if" && v) ifname = argv[++i];
        else if (a == "--no-slac") slac = false;
        else if (a == "--mac" && v) {
            if (!evsim::ParseMac(argv[++i], &slacConfig.mac)) return Usage();
            macGiven = true;
        } else if (a == "--soc" && num(0, 100)) c.soc = static_cast<int>(n);
        else if (a == "--demands" && num(1, 1000000)) c.demands = static_cast<int>(n);
        else if (a == "--target-voltage" && num(50, 1000)) c.targetVoltage = static_cast<int>(n);
        else if (a == "--max-voltage" && num(50, 1500)) c.maxVoltage = static_cast<int>(n);
        else if (a == "--target-current" && v && Physical(v, &c.targetCurrent, &c.targetCurrentMultiplier)) ++i;
        else if (a == "--demand-voltage" && v && Physical(v, &c.demandVoltage, &c.demandVoltageMultiplier)) ++i;
        else if (a == "--gap-ms" && num(0, 10000)) c.gapMs = n;
        else if (a == "--timeout-ms" && num(100, 600000)) c.answerTimeoutMs = n;
        else if (a == "--skip" && msg(&c.skip)) {
            // Only a request the next one must follow can be left out.
            if (c.skip < evsim::Msg::ServiceDiscovery || c.skip > evsim::Msg::PowerDelivery) return Usage();
        } else if (a == "--wrong-session" && msg(&c.wrongSession)) {
            if (c.wrongSession <= evsim::Msg::SessionSetup) return Usage();  // no session to be wrong about yet
        } else if (a == "--session-id" && v && SessionIdText(v, &c.forcedId)) {
            c.forceId = true;
            ++i;
        } else if (a == "--power-delivery-after" && msg(&c.powerAfter)) {
        } else if (a == "--refused" && v && std::strchr(v, ':')) {
            std::string t = v;
            std::string name = t.substr(0, t.find(':')), code = t.substr(t.find(':') + 1);
            if (!evsim::ParseMsg(name, &c.refuseAt)) return Usage();
            c.refuseCode = -1;
            for (std::int32_t k = 0; k < 23; ++k)
                if (evsim::ResponseCodeName(k) == code) c.refuseCode = k;
            if (c.refuseCode < 4) return Usage();  // a refusal is a FAILED code
            ++i;
        } else if (a == "--drop-after" && num(1, 1000000)) {
            c.dropAfter = static_cast<int>(n);
            const char* how = i + 1 < argc ? argv[i + 1] : "";
            if (std::strcmp(how, "close") != 0 && std::strcmp(how, "reset") != 0) return Usage();
            c.dropReset = std::strcmp(how, "reset") == 0;
            ++i;
        } else if (a == "--repeat-failed") c.repeatFailed = true;
        else if (a == "--silent-before" && msg(&c.silentBefore)) {
        } else if (a == "--silent-ms" && num(0, 600000)) c.silentMs = n;
        else if (a == "--split" && v && std::string(v) == "all") {
            c.splitAll = true;
            ++i;
        } else if (a == "--split" && msg(&c.split)) {
        } else if (a == "--split-at" && num(1, 400)) c.splitAt = static_cast<std::size_t>(n);
        else if (a == "--bench" && num(1, 100000)) c.benchExchanges = static_cast<int>(n);
        else return Usage();
    }
    if (ifname.empty()) return Usage();
    // A session ID of the vehicle's own choosing stands in from the first request after SessionSetup.
    if (c.forceId && c.wrongSession == evsim::Msg::None) c.wrongSession = evsim::Msg::ServiceDiscovery;
    c.endCharge = &g_endCharge;
    std::signal(SIGUSR1, OnEndCharge);
    unsigned scope = if_nametoindex(ifname.c_str());
    if (scope == 0) {
        std::fprintf(stderr, "CcsEv: no interface %s\n", ifname.c_str());
        return 3;
    }

    if (slac) {
        evsim::Mac ifMac = slacConfig.mac;
        std::string error;
        int fd = evsim::OpenHpavSocket(ifname, &ifMac, &error);
        if (fd < 0) {
            std::fprintf(stderr, "CcsEv: %s\n", error.c_str());
            return 3;
        }
        if (!macGiven) slacConfig.mac = ifMac;
        greenphy::FdLine line(fd);
        evsim::EvSlac ev(slacConfig, &line);
        evsim::StepUntilDone(fd, &ev, slacTimeoutMs, "CcsEv: SLAC");
        close(fd);
        if (ev.state() != evsim::EvSlac::State::Matched) {
            Print(std::string("CcsEv: SLAC ended ") + ev.StateName());
            return 3;
        }
        c.checkEvseId = true;
        c.evseId = ev.station();
        c.evccid = slacConfig.mac;
    }

    sockaddr_in6 station{};
    if (!FindStation(scope, &station)) {
        Print("CcsEv: no SDP answer");
        return 3;
    }
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &station.sin6_addr, text, sizeof text);
    Print(std::string("CcsEv: SDP: the station listens on [") + text + "]:" + std::to_string(ntohs(station.sin6_port)));
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&station), sizeof station) != 0) {
        Print(std::string("CcsEv: no V2G connection: ") + std::strerror(errno));
        return 3;
    }
    Print("CcsEv: V2G connection open");
    TcpChannel channel(fd);
    evsim::CcsVehicle vehicle(c, &channel, Print);
    bool ok = vehicle.Run();
    FlushRepeats();
    if (ok && !vehicle.benchUs().empty()) {
        std::vector<std::int64_t> us = vehicle.benchUs();
        std::sort(us.begin(), us.end());
        auto at = [&](double q) { return us[static_cast<std::size_t>(q * static_cast<double>(us.size() - 1))]; };
        std::printf("CcsEv: CurrentDemand round trip over %zu exchanges: min %lld us, median %lld us, 90%% %lld us, "
                    "max %lld us\n",
                    us.size(), static_cast<long long>(us.front()), static_cast<long long>(at(0.5)),
                    static_cast<long long>(at(0.9)), static_cast<long long>(us.back()));
    }
    Print(ok ? "CcsEv: session done, SoC " + std::to_string(vehicle.soc()) + " %" : "CcsEv: session failed");
    return ok ? 0 : 1;
}
