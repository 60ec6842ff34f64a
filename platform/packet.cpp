#include "packet.h"

#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace platform {

PacketSocket::~PacketSocket() {
    if (fd_ >= 0) close(fd_);
}

bool PacketSocket::Open(const std::string& ifname) {
    if (fd_ >= 0) close(fd_);
    ifname_ = ifname;
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 255);
    return fd_ >= 0;
}

bool PacketSocket::Send(const std::uint8_t* frame, std::size_t len) {
    if (fd_ < 0 || len < 14 || ifname_.size() >= IFNAMSIZ) return false;
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, ifname_.c_str(), ifname_.size());
    if (ioctl(fd_, SIOCGIFINDEX, &ifr) < 0) return false;
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = ifr.ifr_ifindex;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, frame, 6);
    return sendto(fd_, frame, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == static_cast<ssize_t>(len);
}

}  // namespace platform
