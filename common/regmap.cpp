#include "regmap.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace regmap {

std::uint32_t RegisterMap::checked(std::uint32_t off, std::uint32_t len) const {
    if (base_ == nullptr || static_cast<std::size_t>(off) + len > size_) {
        std::fprintf(stderr, "register map access at %u+%u outside a map of %zu bytes\n", off, len, size_);
        std::abort();
    }
    return off;
}

std::uint32_t RegisterMap::getBe32(std::uint32_t off) const {
    const std::uint8_t* p = base_ + checked(off, 4);
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

void RegisterMap::setBe32(std::uint32_t off, std::uint32_t v) {
    std::uint8_t* p = base_ + checked(off, 4);
    p[0] = v >> 24; p[1] = (v >> 16) & 0xFF; p[2] = (v >> 8) & 0xFF; p[3] = v & 0xFF;
}

std::uint32_t RegisterMap::getLe32(std::uint32_t off) const {
    const std::uint8_t* p = base_ + checked(off, 4);
    return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

void RegisterMap::setLe32(std::uint32_t off, std::uint32_t v) {
    std::uint8_t* p = base_ + checked(off, 4);
    p[3] = v >> 24; p[2] = (v >> 16) & 0xFF; p[1] = (v >> 8) & 0xFF; p[0] = v & 0xFF;
}

std::string RegisterMap::get(Text f) const {
    const char* p = reinterpret_cast<const char*>(base_ + checked(f.offset, f.size));
    return std::string(p, strnlen(p, f.size));
}

void RegisterMap::set(Text f, std::string_view text) {
    std::uint8_t* p = base_ + checked(f.offset, f.size);
    if (f.size == 0) return;
    std::size_t n = text.size() < f.size ? text.size() : f.size - 1;
    std::memcpy(p, text.data(), n);
    p[n] = 0;
}

void RegisterMap::clear(Text f) { std::memset(base_ + checked(f.offset, f.size), 0, f.size); }

std::string RegisterMap::ipv4Text(Ipv4 f) const { return FormatIpv4(get(f)); }

bool RegisterMap::setIpv4Text(Ipv4 f, std::string_view dotted) {
    std::uint32_t v;
    if (!ParseIpv4(dotted, v)) return false;
    set(f, v);
    return true;
}

bool ParseIpv4(std::string_view s, std::uint32_t& out) {
    std::uint32_t value = 0;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
        unsigned octet = 0;
        int digits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            octet = octet * 10 + static_cast<unsigned>(s[i] - '0');
            if (++digits > 3 || octet > 255) return false;
            ++i;
        }
        value = value << 8 | octet;
        ++parts;
        if (parts < 4) {
            if (i >= s.size() || s[i] != '.') return false;
            ++i;
        }
    }
    if (i != s.size()) return false;
    out = value;
    return true;
}

std::string FormatIpv4(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
    return buf;
}

}  // namespace regmap
