// EvSlac: the vehicle's side of SLAC as a program of the simulation. It
// speaks HomePlug AV management messages (EtherType 0x88E1) on a network
// interface, normally the vehicle's end of the emulated modem's line, with
// that interface's MAC address unless --mac gives another.
//
//   EvSlac --if NAME [--mac aa:bb:cc:dd:ee:ff] [--fault none|silent|wrong-run-id|foreign-match]
//          [--timeout-ms N]
// Exits 0 once matched, 1 when SLAC failed or the time ran out, 2 on bad usage.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "clock.h"
#include "ev_slac.h"
#include "line.h"

namespace {

constexpr std::uint16_t kEtherHpav = 0x88E1;

bool ParseMac(const std::string& text, evsim::Mac* mac) {
    unsigned v[6];
    char extra;
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &extra) != 6)
        return false;
    for (int i = 0; i < 6; ++i) {
        if (v[i] > 255) return false;
        (*mac)[i] = static_cast<std::uint8_t>(v[i]);
    }
    return true;
}

// A packet socket on `ifname` for management messages only; its MAC in `mac`.
int OpenPacket(const std::string& ifname, evsim::Mac* mac, std::string* error) {
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kEtherHpav));
    if (fd < 0) {
        *error = std::string("packet socket: ") + std::strerror(errno);
        return -1;
    }
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) != 0) {
        *error = ifname + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(kEtherHpav);
    addr.sll_ifindex = ifr.ifr_ifindex;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        *error = ifname + ": bind: " + std::strerror(errno);
        close(fd);
        return -1;
    }
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) == 0) std::memcpy(mac->data(), ifr.ifr_hwaddr.sa_data, 6);
    return fd;
}

std::string Hex(const std::vector<std::uint8_t>& b) {
    std::string s;
    char x[4];
    for (auto v : b) {
        std::snprintf(x, sizeof(x), "%02x", v);
        s += x;
    }
    return s;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: EvSlac --if NAME [--mac MAC] [--fault none|silent|wrong-run-id|foreign-match] "
                 "[--timeout-ms N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string ifname;
    evsim::EvConfig config;
    bool macGiven = false;
    std::int64_t timeoutMs = 20000;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--if" && hasValue) ifname = argv[++i];
        else if (a == "--mac" && hasValue) {
            if (!ParseMac(argv[++i], &config.mac)) return Usage();
            macGiven = true;
        } else if (a == "--fault" && hasValue) {
            if (!evsim::ParseFault(argv[++i], &config.fault)) return Usage();
        } else if (a == "--timeout-ms" && hasValue) timeoutMs = std::atoll(argv[++i]);
        else return Usage();
    }
    if (ifname.empty()) return Usage();

    evsim::Mac ifMac = config.mac;
    std::string error;
    int fd = OpenPacket(ifname, &ifMac, &error);
    if (fd < 0) {
        std::fprintf(stderr, "EvSlac: %s\n", error.c_str());
        return 1;
    }
    if (!macGiven) config.mac = ifMac;
    greenphy::FdLine line(fd);
    evsim::EvSlac ev(config, &line);
    auto& clock = platform::GetClock();
    const std::int64_t end = clock.MonotonicMs() + timeoutMs;
    auto state = ev.state();
    std::printf("EvSlac: on %s as %02x:%02x:%02x:%02x:%02x:%02x, %s\n", ifname.c_str(), config.mac[0], config.mac[1],
                config.mac[2], config.mac[3], config.mac[4], config.mac[5], ev.StateName());
    std::fflush(stdout);
    while (clock.MonotonicMs() < end) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 5);
        ev.Step();
        if (ev.state() != state) {
            state = ev.state();
            std::printf("EvSlac: %s\n", ev.StateName());
            std::fflush(stdout);
        }
        if (state == evsim::EvSlac::State::Matched) {
            std::printf("EvSlac: matched with %02x:%02x:%02x:%02x:%02x:%02x, NID %s, %d sounds reported\n",
                        ev.station()[0], ev.station()[1], ev.station()[2], ev.station()[3], ev.station()[4],
                        ev.station()[5], Hex(ev.nid()).c_str(), ev.soundsReported());
            return 0;
        }
        if (state == evsim::EvSlac::State::Failed) return 1;
    }
    std::printf("EvSlac: no match within %lld ms (%s)\n", static_cast<long long>(timeoutMs), ev.StateName());
    return 1;
}
