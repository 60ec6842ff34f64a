// Board-link wire formats: the 8-byte command frame and its acknowledgement,
// the 64-byte status frame EVData (CCS board to main board), the 16-byte
// settings frame EVSEData (main board to CCS board) and the loader start
// packet. Every frame opens with 0x55 and closes with 0xAA.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

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

// The frames carry no checksum: a byte changed on the line still leaves a
// well-framed frame. What no sender can have meant is caught here.
//
// Highest set-point the status frame can carry: 500.0 V, the station's
// maximum output voltage, and 255.0 A, more than any settings frame can
// offer the CCS board (one byte of amperes).
inline constexpr std::uint16_t kMaxSetPointVoltage = 5000;  // 0.1 V
inline constexpr std::uint16_t kMaxSetPointCurrent = 2550;  // 0.1 A
// The stop inputs of settings byte 7: 0x02 stop request, 0x08 emergency.
inline constexpr std::uint8_t kStopInputBits = 0x0A;

// Why a status frame holds a value impossible for its field ("pilot state
// 211"), or "" when every value is possible.
std::string EVDataFault(const EVDataFrame& f);
// The same for a settings frame.
std::string EVSEDataFault(const EVSEDataFrame& f);

// Slave side: a checked settings frame, confirmed against the one before it
// (`prev`, nullptr when there is none). The stop inputs and the stop reason
// stop at once and clear once two frames agree they are clear; the power and
// current limits change once two frames agree; the other bytes are stored as
// they come.
void TakeEVSEData(regmap::RegisterMap& map, const EVSEDataFrame& f, const EVSEDataFrame* prev, std::uint8_t maxCurrent);

}  // namespace linkwire
