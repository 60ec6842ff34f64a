// A raw AF_PACKET socket bound to no protocol, used to put a copy of frames on
// a network interface (a monitor there sees them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class PacketSocket {
public:
    PacketSocket() = default;
    ~PacketSocket();
    PacketSocket(const PacketSocket&) = delete;
    PacketSocket& operator=(const PacketSocket&) = delete;

    // Opens the socket for the interface `ifname`. False (and the object stays
    // closed) when the socket cannot be had; sending then does nothing.
    bool Open(const std::string& ifname);
    bool IsOpen() const { return fd_ >= 0; }
    // Sends one Ethernet frame (destination, source, EtherType, payload).
    // False when closed, the interface is unknown or the send fails.
    bool Send(const std::uint8_t* frame, std::size_t len);

private:
    int fd_ = -1;
    std::string ifname_;
};

}  // namespace platform
