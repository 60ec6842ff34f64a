// Serial packet channels: a byte stream from a line turned into checked
// packets and back. Every packet travels as a SerialPackFrame:
//
//   0x55, payload (n bytes), CRC-16/MODBUS of the payload high byte first, 0xAA
//
// The payload is not escaped: the block loader hands a channel one unit of
// bytes per idle gap of the line, and a frame ends with the unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace linkwire {

inline constexpr int kSerialPackChannels = 10;
inline constexpr std::size_t kSerialPackOverhead = 4;  // 0x55, CRC high, CRC low, 0xAA

// What the decoder found in the work buffer.
enum : int { kPackNothing = 0, kPackBadCrc = 1, kPackGood = 2 };

// The loader's packet descriptor. `capacity` bounds what the decoder copies
// into `data`.
struct SerialPacket {
    int channel = -1;
    std::uint8_t* data = nullptr;
    std::uint16_t len = 0;
    std::uint16_t capacity = 0;
};

// A whole frame for a payload (tests, tools).
std::vector<std::uint8_t> SerialPackFrame(const std::uint8_t* payload, std::size_t n);

// Opens a channel with three buffers of `size` bytes. Returns the channel
// (0-9), -1 when all are in use, -2 without memory, -3 for a codec other than 0.
int openSerialPack(int codec, std::uint16_t size);
// Releases a channel: 1, or 0 for a channel number that is not open.
int closeSerialPack(int channel);
// Appends received bytes to the input ring: 1, or 0 when the ring ran full
// (its content is then lost) or the channel is not open.
int pushSerialPack(int channel, const std::uint8_t* bytes, std::size_t count);
// Moves waiting input into the work buffer (result 0); a call that finds no
// waiting input decodes the work buffer (kPackNothing, kPackBadCrc, kPackGood
// with the payload in `packet`).
int checkSerialPack(SerialPacket& packet);
// Frames the descriptor's payload into the output ring: kPackGood, or 0 when
// the ring ran full (the packet is lost) or the channel is not open.
int prepSerialPack(const SerialPacket& packet);
// Moves the output ring to `dest` (at most `capacity` bytes): 1 when at least
// one byte came out, else 0.
int popSerialPack(int channel, std::uint8_t* dest, std::size_t capacity, std::size_t* count);

}  // namespace linkwire
