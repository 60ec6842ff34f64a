#include "knet.h"

namespace plc {

namespace {
std::uint32_t SumBytes(std::uint32_t sum, const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += static_cast<std::uint32_t>(p[n - 1] << 8);  // a final odd byte is the high byte
    return sum;
}
std::uint16_t Fold(std::uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}
}  // namespace

std::uint16_t net_v6_chksum(const std::uint8_t* upper, std::uint16_t len, std::uint8_t nextHeader) {
    std::uint32_t sum = nextHeader + static_cast<std::uint32_t>(len);
    sum = SumBytes(sum, IpSrc(), 32);
    sum = SumBytes(sum, upper, len);
    return Fold(sum);
}

std::uint16_t net_v6_chksum_field(const std::uint8_t* upper, std::uint16_t len, std::uint8_t nextHeader) {
    std::uint16_t c = static_cast<std::uint16_t>(~net_v6_chksum(upper, len, nextHeader));
    // UDP over IPv6 has no "no checksum": a sum of zero is sent as all ones.
    return c == 0 && nextHeader == 17 ? 0xFFFF : c;
}

}  // namespace plc
