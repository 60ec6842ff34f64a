#include <cstring>

#include "knet.h"

namespace plc {

namespace {
bool IsFree(const NeighEntry& e) {
    for (std::uint8_t b : e.addr)
        if (b) return false;
    return true;
}
}  // namespace

void v6_neigh_init() { std::memset(neb_tab, 0, sizeof(NeighEntry) * kNeighEntries); }

void neigh_update(const std::uint8_t* addr, const std::uint8_t* mac) {
    NeighEntry* slot = nullptr;
    for (int i = 0; i < kNeighEntries && !slot; ++i)
        if (!IsFree(neb_tab[i]) && std::memcmp(neb_tab[i].addr, addr, 16) == 0) slot = &neb_tab[i];
    for (int i = 0; i < kNeighEntries && !slot; ++i)
        if (IsFree(neb_tab[i])) slot = &neb_tab[i];
    if (!slot) {
        slot = &neb_tab[0];
        for (int i = 1; i < kNeighEntries; ++i)
            if (neb_tab[i].age > slot->age) slot = &neb_tab[i];
    }
    std::memcpy(slot->addr, addr, 16);
    std::memcpy(slot->mac, mac, 6);
    slot->age = 0;
}

const NeighEntry* neigh_lookup(const std::uint8_t* addr) {
    for (int i = 0; i < kNeighEntries; ++i)
        if (!IsFree(neb_tab[i]) && std::memcmp(neb_tab[i].addr, addr, 16) == 0) return &neb_tab[i];
    return nullptr;
}

void neigh_in() {
    net_data_len = static_cast<std::uint16_t>(net_data_len - 14);
    if (net_data_len < 40) return;
    const std::uint8_t* dst = IpDst();
    const std::uint8_t* src = IpSrc();
    // The unspecified address (a node still checking its own) is no neighbour.
    static const std::uint8_t kUnspecified[16] = {};
    if (std::memcmp(src, kUnspecified, 16) == 0 || src[0] == 0xFF) return;
    if (dst[0] == 0xFF || knet_is_own_address(dst)) neigh_update(src, eth_frame_buf + 6);
}

void neigh_out() {
    const std::uint8_t* dst = IpDst();
    if (const NeighEntry* e = neigh_lookup(dst)) {
        std::memcpy(eth_frame_buf, e->mac, 6);
    } else if (dst[0] == 0xFF) {
        std::memset(eth_frame_buf, 0xFF, 6);
    }
}

}  // namespace plc
