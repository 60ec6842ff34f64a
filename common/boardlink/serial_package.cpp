#include "serial_package.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "crc.h"

namespace linkwire {

namespace {

inline constexpr std::uint8_t kStart = 0x55;
inline constexpr std::uint8_t kEnd = 0xAA;

struct Ring {
    std::unique_ptr<std::uint8_t[]> buf;
    std::uint16_t write = 0;
    std::uint16_t read = 0;
};

struct Channel {
    bool inUse = false;
    Ring in;
    std::unique_ptr<std::uint8_t[]> work;
    Ring out;
    std::uint16_t size = 0;
    std::uint16_t fill = 0;
    // A frame whose CRC failed stays in the work buffer: a pause on the line
    // may have cut it just after a payload 0xAA, and its rest, which opens
    // with anything but 0x55, is joined to it. Set while nothing came since.
    bool suspect = false;
    int codec = 0;
};

Channel serialFd[kSerialPackChannels];

Channel* checkFd(int ch) {
    if (ch < 0 || ch >= kSerialPackChannels || !serialFd[ch].inUse) return nullptr;
    return &serialFd[ch];
}

// Appends to a ring; false (ring emptied) when the write index caught up with
// the read index.
bool Put(Ring& r, std::uint16_t size, const std::uint8_t* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        r.buf[r.write] = bytes[i];
        r.write = static_cast<std::uint16_t>((r.write + 1) % size);
        if (r.write == r.read) {
            r.write = r.read = 0;
            return false;
        }
    }
    return true;
}

// True when the `f` bytes from 0x55 to 0xAA carry the CRC of their payload.
bool CrcHolds(const std::uint8_t* w, std::size_t f) {
    const std::uint16_t crc = common::Crc16Modbus(w + 1, f - kSerialPackOverhead);
    return crc == (w[f - 3] << 8 | w[f - 2]);
}

int mobzCsuCommDecoder(Channel& c, SerialPacket& p) {
    if (c.suspect) return kPackNothing;  // already reported, nothing new
    // Bytes before the first start byte can never open a frame: noise on the
    // line is dropped instead of blocking every later packet.
    const std::uint8_t* start = std::find(c.work.get(), c.work.get() + c.fill, kStart);
    const std::size_t skip = static_cast<std::size_t>(start - c.work.get());
    if (skip > 0) {
        std::memmove(c.work.get(), start, c.fill - skip);
        c.fill = static_cast<std::uint16_t>(c.fill - skip);
    }
    const std::size_t f = c.fill;
    if (f <= kSerialPackOverhead || c.work[f - 1] != kEnd) return kPackNothing;
    const std::uint8_t* w = c.work.get();
    std::size_t end = f;  // one past the frame's 0xAA
    if (!CrcHolds(w, f)) {
        // Packets that reached us without an idle gap between them (a line
        // whose drain returns before the bytes are out): the first ends where
        // its CRC matches before an end byte and a start byte; the rest waits
        // for the next call.
        end = 0;
        for (std::size_t i = kSerialPackOverhead; i + kSerialPackOverhead < f && end == 0; ++i) {
            if (w[i] == kEnd && w[i + 1] == kStart && CrcHolds(w, i + 1)) end = i + 1;
        }
        if (end == 0) {
            c.suspect = true;
            return kPackBadCrc;
        }
    }
    const std::size_t n = end - kSerialPackOverhead;
    const bool fits = n <= p.capacity;  // larger than the packet buffer: not ours
    if (fits) {
        std::memcpy(p.data, w + 1, n);
        p.len = static_cast<std::uint16_t>(n);
    }
    std::memmove(c.work.get(), w + end, f - end);  // the second packet waits for the next call
    c.fill = static_cast<std::uint16_t>(f - end);
    return fits ? kPackGood : kPackBadCrc;
}

int mobzCsuCommEncoder(Channel& c, const SerialPacket& p) {
    c.fill = 0;
    c.suspect = false;
    const std::vector<std::uint8_t> frame = SerialPackFrame(p.data, p.len);
    return Put(c.out, c.size, frame.data(), frame.size()) ? kPackGood : 0;
}

}  // namespace

std::vector<std::uint8_t> SerialPackFrame(const std::uint8_t* payload, std::size_t n) {
    std::vector<std::uint8_t> f;
    f.reserve(n + kSerialPackOverhead);
    f.push_back(kStart);
    f.insert(f.end(), payload, payload + n);
    const std::uint16_t crc = common::Crc16Modbus(payload, n);
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    f.push_back(static_cast<std::uint8_t>(crc));
    f.push_back(kEnd);
    return f;
}

int openSerialPack(int codec, std::uint16_t size) {
    if (codec != 0) return -3;
    int ch = 0;
    while (ch < kSerialPackChannels && serialFd[ch].inUse) ++ch;
    if (ch == kSerialPackChannels) return -1;
    if (size == 0) return -2;
    Channel c;
    c.in.buf.reset(new (std::nothrow) std::uint8_t[size]);
    c.work.reset(new (std::nothrow) std::uint8_t[size]);
    c.out.buf.reset(new (std::nothrow) std::uint8_t[size]);
    if (!c.in.buf || !c.work || !c.out.buf) return -2;
    c.size = size;
    c.codec = codec;
    c.inUse = true;
    serialFd[ch] = std::move(c);
    return ch;
}

int closeSerialPack(int ch) {
    if (checkFd(ch) == nullptr) return 0;
    serialFd[ch] = Channel{};
    return 1;
}

int pushSerialPack(int ch, const std::uint8_t* bytes, std::size_t count) {
    Channel* c = checkFd(ch);
    if (c == nullptr) return 0;
    return Put(c->in, c->size, bytes, count) ? 1 : 0;
}

int checkSerialPack(SerialPacket& p) {
    Channel* c = checkFd(p.channel);
    if (c == nullptr) return 0;
    if (c->in.read == c->in.write) return mobzCsuCommDecoder(*c, p);
    if (c->suspect) {
        // A new frame opens with 0x55; anything else is the rest of the last one.
        if (c->in.buf[c->in.read] == kStart) c->fill = 0;
        c->suspect = false;
    }
    while (c->in.read != c->in.write) {
        if (c->fill >= c->size) c->fill = 0;  // a frame longer than the channel is lost
        c->work[c->fill++] = c->in.buf[c->in.read];
        c->in.read = static_cast<std::uint16_t>((c->in.read + 1) % c->size);
    }
    return 0;
}

int prepSerialPack(const SerialPacket& p) {
    Channel* c = checkFd(p.channel);
    if (c == nullptr) return 0;
    return mobzCsuCommEncoder(*c, p);
}

int popSerialPack(int ch, std::uint8_t* dest, std::size_t capacity, std::size_t* count) {
    *count = 0;
    Channel* c = checkFd(ch);
    if (c == nullptr) return 0;
    while (c->out.read != c->out.write && *count < capacity) {
        dest[(*count)++] = c->out.buf[c->out.read];
        c->out.read = static_cast<std::uint16_t>((c->out.read + 1) % c->size);
    }
    return *count > 0 ? 1 : 0;
}

}  // namespace linkwire
