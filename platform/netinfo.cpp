#include "netinfo.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform {

std::optional<Ipv4Config> InterfaceIpv4(const std::string& ifname) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<Ipv4Config> out;
    for (ifaddrs* i = list; i != nullptr && !out; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || ifname != i->ifa_name) continue;
        const auto* a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        const auto* m = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask);
        out = Ipv4Config{ntohl(a->sin_addr.s_addr), m ? ntohl(m->sin_addr.s_addr) : 0};
    }
    freeifaddrs(list);
    return out;
}

std::optional<std::uint32_t> KernelDefaultGateway() {
    // The kernel's own table, never a file under the station root: the
    // address and mask come from the kernel too, and all three must agree.
    std::ifstream f("/proc/net/route");
    std::ostringstream text;
    text << f.rdbuf();
    return DefaultGatewayFromRouteTable(text.str());
}

std::optional<std::uint32_t> DefaultGatewayFromRouteTable(const std::string& table) {
    std::istringstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string iface, dest, gw;
        if (!(f >> iface >> dest >> gw)) continue;
        if (dest != "00000000") continue;
        char* end = nullptr;
        unsigned long raw = std::strtoul(gw.c_str(), &end, 16);
        if (end == gw.c_str() || *end != '\0' || gw.size() != 8) continue;
        // The kernel prints the network-order word as a native integer.
        in_addr addr{static_cast<in_addr_t>(raw)};
        return ntohl(addr.s_addr);
    }
    return std::nullopt;
}

}  // namespace platform
