// Board-link wire formats: the 8-byte command frame and its acknowledgement,
// the 64-byte status frame EVData (CCS board to main board), the 16-byte
// settings frame EVSEData (main board to CCS board) and the loader start
// packet. Every frame opens with 0x55 and closes with 0xAA.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "regmap.h"

namespace linkwire {

inline constexpr std::uint8_t kFrameStart = 0x55;
inline constexpr std::uint8_t kFrameEnd = 0xAA;

inline constexpr std::uint8_t kCmdHandShake = 0x00;
inline constexpr std::uint8_t kCmdStatus = 0x01;
inline constexpr std::uint8_t kCmdSettings = 0x02;
inline constexpr std::uint8_t kCmdLoaderStart = 0xFE;
inline constexpr std::uint8_t kCmdRawImage = 0xFF;
inline constexpr std::uint8_t kLoaderId = 1;

inline constexpr std::size_t kCommandSize = 8;
inline constexpr std::size_t kLoaderStartSize = 10;
inline constexpr std::size_t kEVDataSize = 64;
inline constexpr std::size_t kEVSEDataSize = 16;
inline constexpr std::uint32_t kMaxRawImage = 16u * 1024 * 1024;

using LinkCommandFrame = std::array<std::uint8_t, kCommandSize>;
using EVDataFrame = std::array<std::uint8_t, kEVDataSize>;
using EVSEDataFrame = std::array<std::uint8_t, kEVSEDataSize>;

// Command frame; `imageLength` travels little-endian in bytes 2-5 (command 0xFF).
LinkCommandFrame MakeCommandFrame(std::uint8_t command, std::uint32_t imageLength = 0);
// Acknowledgement: the command answered and a result byte.
LinkCommandFrame MakeAck(std::uint8_t command, std::uint8_t result = 0);
std::uint32_t RawImageLength(const std::uint8_t* command);

// True when `n` == `size`, the first byte is 0x55 and the last 0xAA.
bool IsFramed(const std::uint8_t* b, std::size_t n, std::size_t size);

// What the slave collected from the line.
enum class CommandKind { Invalid, Command, LoaderStart };
// The first bytes of a loader start packet (0x55, 0xFE, loader id 1).
bool IsLoaderStartPrefix(const std::uint8_t* b, std::size_t n);
// A loader start is recognised by its length, header, CRC-16/MODBUS over its
// six payload bytes and end byte, whatever its eighth byte holds; a command by
// its 0x55 ... 0xAA frame of 8 bytes.
CommandKind ClassifyCommand(const std::uint8_t* b, std::size_t n);
// A loader start packet for an image of `size` bytes (tests and the master).
std::array<std::uint8_t, kLoaderStartSize> MakeLoaderStart(std::uint32_t size);

// Slave side: the status frame from the CCS board's map. The EV MAC
// (2208-2213) is cleared first while the pilot state is below 2; the
// proximity sample is stored at 2202 and sent in byte 34.
EVDataFrame BuildEVData(regmap::RegisterMap& map, std::uint8_t proximity);

// Slave side: stores a settings frame into the CCS board's map. Only a whole
// frame (16 bytes, 0x55 ... 0xAA) is stored; false otherwise.
bool StoreEVSEData(regmap::RegisterMap& map, const std::uint8_t* frame, std::size_t n, std::uint8_t maxCurrent);

}  // namespace linkwire
