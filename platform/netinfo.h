// Network identity read from the kernel (not from command output).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct Ipv4Config {
    std::uint32_t address;  // host order
    std::uint32_t netmask;  // host order
};

// The first IPv4 address of the interface, or nothing.
std::optional<Ipv4Config> InterfaceIpv4(const std::string& ifname);

// The gateway of the first default route in the kernel's routing table of
// this process's network namespace (host order), or nothing.
std::optional<std::uint32_t> KernelDefaultGateway();

// The gateway of the first default route in a /proc/net/route text (host
// order), or nothing when the table has no default route.
std::optional<std::uint32_t> DefaultGatewayFromRouteTable(const std::string& table);

}  // namespace platform
