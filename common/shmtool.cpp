#include "shmtool.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "regmap.h"
#include "regmap_names.h"

namespace shmtool {
namespace {

using regmap::Kind;

struct Target {
    Kind kind;
    std::uint32_t offset;
    std::uint32_t width;
    std::uint8_t mask = 0;
};

// Unsigned long long, 64 bits wide on the boards too (their long has 32).
// strtoull would take leading blanks and a sign (wrapping "-1" around), so
// the text must start with a digit.
std::optional<std::uint64_t> ParseNumber(const std::string& s) {
    if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0]))) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return v;
}

std::optional<std::int64_t> ParseSigned(const std::string& s) {
    if (s.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return v;
}

std::optional<Target> ParseType(const std::string& t, std::uint32_t offset) {
    struct Fixed { const char* name; Kind kind; std::uint32_t width; };
    static const Fixed kFixed[] = {
        {"u8", Kind::U8, 1},     {"u16", Kind::U16, 2},     {"u16le", Kind::U16Le, 2}, {"s16le", Kind::S16Le, 2},
        {"u32", Kind::U32, 4},   {"s32le", Kind::S32Le, 4}, {"ip", Kind::Ipv4, 4},
    };
    for (const auto& f : kFixed) {
        if (t == f.name) return Target{f.kind, offset, f.width};
    }
    for (auto [prefix, kind] : {std::pair{"text:", Kind::Text}, std::pair{"bytes:", Kind::Bytes}}) {
        std::string p = prefix;
        if (t.rfind(p, 0) == 0) {
            auto n = ParseNumber(t.substr(p.size()));
            if (!n || *n == 0 || *n > 65536) return std::nullopt;
            return Target{kind, offset, static_cast<std::uint32_t>(*n)};
        }
    }
    return std::nullopt;
}

std::optional<Target> Resolve(const std::string& field, const std::string& type, std::string& err) {
    if (auto named = regmap::FindField(field)) {
        Target t{named->kind, named->info.offset, named->info.width, named->mask};
        if (!type.empty()) {
            auto typed = ParseType(type, t.offset);
            if (!typed) { err = "unknown type " + type; return std::nullopt; }
            t = *typed;
        }
        return t;
    }
    auto off = ParseNumber(field);
    if (!off || *off > 0xFFFFFFFFu) { err = "unknown field " + field; return std::nullopt; }
    auto t = ParseType(type.empty() ? "u8" : type, static_cast<std::uint32_t>(*off));
    if (!t) err = "unknown type " + type;
    return t;
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string Read(regmap::RegisterMap& m, const Target& t) {
    using namespace regmap;
    switch (t.kind) {
        case Kind::U8: return std::to_string(m.get(U8{t.offset}));
        case Kind::Bits: return m.get(Bits{t.offset, t.mask}) ? "1" : "0";
        case Kind::U16: return std::to_string(m.get(U16{t.offset}));
        case Kind::U16Le: return std::to_string(m.get(U16Le{t.offset}));
        case Kind::S16Le: return std::to_string(m.get(S16Le{t.offset}));
        case Kind::U32: return std::to_string(m.get(U32{t.offset}));
        case Kind::S32Le: return std::to_string(m.get(S32Le{t.offset}));
        case Kind::Ipv4: return m.ipv4Text(Ipv4{t.offset});
        case Kind::Text: return m.get(Text{t.offset, t.width});
        case Kind::Bytes: return Hex(m.bytes(Bytes{t.offset, t.width}), t.width);
    }
    return "";
}

bool Write(regmap::RegisterMap& m, const Target& t, const std::string& v) {
    using namespace regmap;
    auto in = [&](std::uint64_t max) -> std::optional<std::uint64_t> {
        auto n = ParseNumber(v);
        if (!n || *n > max) return std::nullopt;
        return n;
    };
    switch (t.kind) {
        case Kind::U8: if (auto n = in(0xFF)) { m.set(U8{t.offset}, static_cast<std::uint8_t>(*n)); return true; } return false;
        case Kind::Bits: if (auto n = in(1)) { m.set(Bits{t.offset, t.mask}, *n != 0); return true; } return false;
        case Kind::U16: if (auto n = in(0xFFFF)) { m.set(U16{t.offset}, static_cast<std::uint16_t>(*n)); return true; } return false;
        case Kind::U16Le: if (auto n = in(0xFFFF)) { m.set(U16Le{t.offset}, static_cast<std::uint16_t>(*n)); return true; } return false;
        case Kind::U32: if (auto n = in(0xFFFFFFFFu)) { m.set(U32{t.offset}, static_cast<std::uint32_t>(*n)); return true; } return false;
        case Kind::S16Le: {
            auto n = ParseSigned(v);
            if (!n || *n < -32768 || *n > 32767) return false;
            m.set(S16Le{t.offset}, static_cast<std::int16_t>(*n));
            return true;
        }
        case Kind::S32Le: {
            auto n = ParseSigned(v);
            if (!n || *n < INT32_MIN || *n > INT32_MAX) return false;
            m.set(S32Le{t.offset}, static_cast<std::int32_t>(*n));
            return true;
        }
        case Kind::Ipv4: return m.setIpv4Text(Ipv4{t.offset}, v);
        case Kind::Text: m.set(Text{t.offset, t.width}, v); return true;
        case Kind::Bytes: {
            // Hex digits, optionally separated by spaces or colons.
            std::string digits;
            for (char c : v) {
                if (c == ' ' || c == ':') continue;
                if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
                digits += c;
            }
            if (digits.size() % 2 != 0 || digits.size() / 2 > t.width) return false;
            std::uint8_t* p = m.bytes(Bytes{t.offset, t.width});
            for (std::size_t i = 0; i < digits.size() / 2; ++i) p[i] = static_cast<std::uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
            return true;
        }
    }
    return false;
}

}  // namespace

int Execute(const std::vector<std::string>& args, std::uint8_t* base, std::size_t size, std::string& out) {
    const bool isRead = !args.empty() && args[0] == "read" && (args.size() == 2 || args.size() == 3);
    const bool isWrite = !args.empty() && args[0] == "write" && (args.size() == 3 || args.size() == 4);
    if (!isRead && !isWrite) {
        out = "usage: shmtool [-k KEY] read FIELD [TYPE] | write FIELD VALUE [TYPE] | names";
        return 2;
    }
    std::string type = isRead ? (args.size() == 3 ? args[2] : "") : (args.size() == 4 ? args[3] : "");
    std::string err;
    auto t = Resolve(args[1], type, err);
    if (!t) { out = err; return 2; }
    if (static_cast<std::uint64_t>(t->offset) + t->width > size) {
        out = "field outside the segment of " + std::to_string(size) + " bytes";
        return 2;
    }
    regmap::RegisterMap map(base, size);
    if (isRead) {
        out = Read(map, *t);
        return 0;
    }
    if (!Write(map, *t, args[2])) {
        out = "value does not fit the field: " + args[2];
        return 2;
    }
    out.clear();
    return 0;
}

std::optional<int> ParseSegmentKey(const std::string& text) {
    auto k = ParseNumber(text);
    if (!k || *k == 0 || *k > 0xFFFFFFFFu) return std::nullopt;
    return static_cast<int>(static_cast<std::uint32_t>(*k));
}

}  // namespace shmtool
