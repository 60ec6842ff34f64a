// The stand-ins of the CAN buses and the SPI link are simulators behind
// Unix sequenced-packet sockets: one record per send, whole or not at all.
#pragma once

#include <string>

namespace platform {

// A connected SOCK_SEQPACKET socket to `path` (close-on-exec), or -1 when the
// path is empty or too long or nothing listens there.
int ConnectSeqPacket(const std::string& path);

}  // namespace platform
