// The register map: one System V segment of fixed byte layout per board.
//
// Every field is a typed constant (offset plus byte order), and the only way to
// touch the map is through the accessors of RegisterMap, so a 16-bit value can
// never be read low byte first by accident, and a text can never be read or
// written past its slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace regmap {

inline constexpr std::size_t kMapSize = 262144;
inline constexpr int kMapKey = 5438;
inline constexpr std::size_t kSettingsImageSize = 65536;
inline constexpr std::size_t kSettingsMirrorOffset = 196608;

enum class ByteOrder { None, HighFirst, LowFirst };

// What the golden layout test compares.
struct FieldInfo {
    std::uint32_t offset;
    std::uint32_t width;   // bytes
    ByteOrder order;
    bool operator==(const FieldInfo&) const = default;
};

// Unsigned byte.
struct U8 {
    std::uint32_t offset;
    constexpr FieldInfo info() const { return {offset, 1, ByteOrder::None}; }
};
// One bit (or several) of a byte.
struct Bits {
    std::uint32_t offset;
    std::uint8_t mask;
    constexpr FieldInfo info() const { return {offset, 1, ByteOrder::None}; }
};
// 16-bit unsigned, high byte first (the map's default order).
struct U16 {
    std::uint32_t offset;
    constexpr FieldInfo info() const { return {offset, 2, ByteOrder::HighFirst}; }
};
// 16-bit unsigned, low byte first (a handful of exceptions).
struct U16Le {
    std::uint32_t offset;
    constexpr FieldInfo info() const { return {offset, 2, ByteOrder::LowFirst}; }
};
// 16-bit signed in the processor's native (little-endian) order.
struct S16Le {
    std::uint32_t offset;
    constexpr FieldInfo info() const { return {offset, 2, ByteOrder::LowFirst}; }
};
// 32-bit unsigned, high byte first.
struct U32 {
    std::uint32_t offset;
    constexpr FieldInfo info() const { return {offset, 4, ByteOrder::HighFirst}; }
};
// 32-bit signed in the processor's native (little-endian) order.
struct S32Le {
    std::uint32_t offset;
    constexpr FieldInfo info() const { return {offset, 4, ByteOrder::LowFirst}; }
};
// IPv4 address: last octet at the lowest byte (192.168.1.10 is 10,1,168,192),
// i.e. the host-order address stored little-endian.
struct Ipv4 {
    std::uint32_t offset;
    constexpr FieldInfo info() const { return {offset, 4, ByteOrder::LowFirst}; }
};
// NUL-terminated text inside a fixed slot.
struct Text {
    std::uint32_t offset;
    std::uint32_t size;
    constexpr FieldInfo info() const { return {offset, size, ByteOrder::None}; }
};
// A raw byte range.
struct Bytes {
    std::uint32_t offset;
    std::uint32_t size;
    constexpr FieldInfo info() const { return {offset, size, ByteOrder::None}; }
};

// A view of one board's register map. It does not own the memory.
class RegisterMap {
public:
    RegisterMap() = default;
    RegisterMap(std::uint8_t* base, std::size_t size = kMapSize) : base_(base), size_(size) {}

    std::uint8_t* data() const { return base_; }
    std::size_t size() const { return size_; }
    explicit operator bool() const { return base_ != nullptr; }

    std::uint8_t get(U8 f) const { return byte(f.offset); }
    void set(U8 f, std::uint8_t v) { byte(f.offset) = v; }

    // True when any bit of the mask is set.
    bool get(Bits f) const { return (byte(f.offset) & f.mask) != 0; }
    void set(Bits f, bool on) {
        if (on) byte(f.offset) |= f.mask; else byte(f.offset) &= static_cast<std::uint8_t>(~f.mask);
    }
    // The same as one atomic read-modify-write: for alarm bytes whose other
    // bits other programs set and clear at the same time.
    void setShared(Bits f, bool on) {
        if (on) __atomic_fetch_or(&byte(f.offset), f.mask, __ATOMIC_SEQ_CST);
        else __atomic_fetch_and(&byte(f.offset), static_cast<std::uint8_t>(~f.mask), __ATOMIC_SEQ_CST);
    }

    std::uint16_t get(U16 f) const { return static_cast<std::uint16_t>(byte(f.offset) << 8 | byte(f.offset + 1)); }
    void set(U16 f, std::uint16_t v) { byte(f.offset) = v >> 8; byte(f.offset + 1) = v & 0xFF; }

    std::uint16_t get(U16Le f) const { return static_cast<std::uint16_t>(byte(f.offset + 1) << 8 | byte(f.offset)); }
    void set(U16Le f, std::uint16_t v) { byte(f.offset + 1) = v >> 8; byte(f.offset) = v & 0xFF; }

    std::int16_t get(S16Le f) const { return static_cast<std::int16_t>(get(U16Le{f.offset})); }
    void set(S16Le f, std::int16_t v) { set(U16Le{f.offset}, static_cast<std::uint16_t>(v)); }

    std::uint32_t get(U32 f) const { return getBe32(f.offset); }
    void set(U32 f, std::uint32_t v) { setBe32(f.offset, v); }

    std::int32_t get(S32Le f) const { return static_cast<std::int32_t>(getLe32(f.offset)); }
    void set(S32Le f, std::int32_t v) { setLe32(f.offset, static_cast<std::uint32_t>(v)); }

    // Host-order IPv4 value (a.b.c.d is a<<24 | b<<16 | c<<8 | d).
    std::uint32_t get(Ipv4 f) const { return getLe32(f.offset); }
    void set(Ipv4 f, std::uint32_t v) { setLe32(f.offset, v); }
    // Dotted text, first octet from the highest byte.
    std::string ipv4Text(Ipv4 f) const;
    // Parses dotted text; false (and nothing written) when it is not an address.
    bool setIpv4Text(Ipv4 f, std::string_view dotted);

    // The text up to its NUL, or the whole slot when the slot holds no NUL.
    std::string get(Text f) const;
    // Writes the text and its NUL, cut to fit the slot (the NUL always fits).
    void set(Text f, std::string_view text);
    // Zeroes the slot.
    void clear(Text f);

    std::uint8_t* bytes(Bytes f) const { return base_ + checked(f.offset, f.size); }

private:
    std::uint8_t& byte(std::uint32_t off) const { return base_[checked(off, 1)]; }
    std::uint32_t getBe32(std::uint32_t off) const;
    void setBe32(std::uint32_t off, std::uint32_t v);
    std::uint32_t getLe32(std::uint32_t off) const;
    void setLe32(std::uint32_t off, std::uint32_t v);
    // Every field lies inside the map by construction; this guards a map view
    // that is smaller than the field table (a test buffer, a wrong segment).
    std::uint32_t checked(std::uint32_t off, std::uint32_t len) const;

    std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
};

// Parses "a.b.c.d" into a host-order value.
bool ParseIpv4(std::string_view dotted, std::uint32_t& out);
std::string FormatIpv4(std::uint32_t hostOrder);

}  // namespace regmap
