#include "packet_line.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "clock.h"

namespace evsim {
namespace {
constexpr std::uint16_t kEtherHpav = 0x88E1;
}  // namespace

bool ParseMac(const std::string& text, Mac* mac) {
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

int OpenHpavSocket(const std::string& ifname, Mac* mac, std::string* error) {
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

void StepUntilDone(int fd, EvSlac* ev, std::int64_t timeoutMs, const char* prefix) {
    auto& clock = platform::GetClock();
    const std::int64_t end = clock.MonotonicMs() + timeoutMs;
    auto state = ev->state();
    while (clock.MonotonicMs() < end) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 5);
        ev->Step();
        if (ev->state() != state) {
            state = ev->state();
            std::printf("%s: %s\n", prefix, ev->StateName());
            std::fflush(stdout);
        }
        if (state == EvSlac::State::Matched || state == EvSlac::State::Failed) return;
    }
}

}  // namespace evsim
