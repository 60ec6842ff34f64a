// The rectifier modules' CAN protocol on can0: 29-bit identifiers with class,
// module kind, direction, segment, type, command and address fields, and the
// mantissa/exponent value forms. Spoken by Pellion and by the module bank
// simulator.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "can.h"

namespace smr {

using platform::CanFrame;

// Identifier fields.
inline constexpr unsigned Class(std::uint32_t id) { return (id >> 25) & 0x0F; }
inline constexpr unsigned Kind(std::uint32_t id) { return (id >> 21) & 0x0F; }
inline constexpr unsigned Direction(std::uint32_t id) { return (id >> 20) & 1; }
inline constexpr unsigned Segment(std::uint32_t id) { return (id >> 18) & 3; }
inline constexpr unsigned Type(std::uint32_t id) { return (id >> 16) & 3; }
inline constexpr unsigned Command(std::uint32_t id) { return (id >> 8) & 0xFF; }
inline constexpr unsigned Address(std::uint32_t id) { return id & 0xFF; }
inline constexpr std::uint32_t KindBits(unsigned kind) { return (kind & 0x0F) << 21; }
inline constexpr std::uint32_t kKindMask = 0x01E00000;
inline constexpr bool IsModuleKind(unsigned kind) { return kind == 10 || kind == 11; }

// Classes.
inline constexpr unsigned kClassAnnounce = 0x00;
inline constexpr unsigned kClassSerial = 0x01;
inline constexpr unsigned kClassControl = 0x04;
inline constexpr unsigned kClassObject = 0x0A;
inline constexpr unsigned kClassDownload = 0x0C;
inline constexpr unsigned kClassAssign = 0x0D;
inline constexpr unsigned kClassHeartbeat = 0x0E;
inline constexpr unsigned kClassSecondary = 0x0F;

// Frames of the controller (K and A are ORed in where the frame is addressed).
inline constexpr std::uint32_t kAnnounce = 0x00102000;
inline constexpr std::uint32_t kSerialWord0 = 0x1A102000;   // + 0x100 per word
inline constexpr std::uint32_t kAssignRequest = 0x1A103000;
inline constexpr std::uint32_t kTakeAddress = 0x1A103200;
inline constexpr std::uint32_t kCrcCheck = 0x18102000;
inline constexpr std::uint32_t kDownloadStart = 0x18103000;
inline constexpr std::uint32_t kDownloadFirst = 0x18144000;
inline constexpr std::uint32_t kDownloadMiddle = 0x18184000;
inline constexpr std::uint32_t kDownloadLast = 0x181C4000;
inline constexpr std::uint32_t kGoOperational = 0x00103100;
inline constexpr std::uint32_t kHeartbeat = 0x1D504000;
inline constexpr std::uint32_t kPreUpdate = 0x1D500000;
inline constexpr std::uint32_t kSwitch = 0x08108100;
inline constexpr std::uint32_t kRelease = 0x08108200;
inline constexpr std::uint32_t kReset = 0x08108300;
inline constexpr std::uint32_t kSetOutputVolt = 0x08108A00;
inline constexpr std::uint32_t kPrimaryData = 0x08108F00;
inline constexpr std::uint32_t kPrimaryHeader = 0x08109000;
inline constexpr std::uint32_t kBootloader = 0x08109100;
inline constexpr std::uint32_t kBootloaderCompanion = 0x08129100;
inline constexpr std::uint32_t kBootStep = 0x08109200;
inline constexpr std::uint32_t kEnergyOn = 0x08109300;
inline constexpr std::uint32_t kAvailablePrepare = 0x08109400;
inline constexpr std::uint32_t kSetPoint = 0x08109500;
inline constexpr std::uint32_t kFanSpeed = 0x08109800;
inline constexpr std::uint32_t kModuleConnection = 0x08109900;
inline constexpr std::uint32_t kMaxFanSpeed = 0x0810A800;
inline constexpr std::uint32_t kRead = 0x08130000;           // | command << 8
inline constexpr std::uint32_t kObjectOpen = 0x14101000;
inline constexpr std::uint32_t kObjectRead = 0x14105000;
inline constexpr std::uint32_t kObjectClose = 0x14101100;
inline constexpr std::uint32_t kSecondaryStart = 0x1E102000;
inline constexpr std::uint32_t kSecondaryFirst = 0x1E143000;
inline constexpr std::uint32_t kSecondaryMiddle = 0x1E183000;
inline constexpr std::uint32_t kSecondaryLast = 0x1E1C3000;

// Frames of the modules.
inline constexpr std::uint32_t kAddressRequest = 0x1A001000;  // class 0x0D, command 0x10
inline constexpr std::uint32_t kSerialReport = 0x02000000;    // | word index << 16 | word
inline constexpr std::uint32_t kAssignAnswer = 0x1A003100;    // | kind bits | any low byte
inline constexpr std::uint32_t kCrcAnswer = 0x18002100;
inline constexpr std::uint32_t kDownloadAccepted = 0x18003100;
inline constexpr std::uint32_t kDownloadAck = 0x180C4000;
inline constexpr std::uint32_t kHeartbeatAck = 0x1C004100;    // | kind bits | address
inline constexpr std::uint32_t kBootloaderAnswer = 0x08029100;
inline constexpr std::uint32_t kReply = 0x08030000;           // | command << 8
inline constexpr std::uint32_t kStatusReport = 0x08015500;
inline constexpr std::uint32_t kObjectAccepted = 0x14003000;
inline constexpr std::uint32_t kObjectRefused = 0x14004000;
inline constexpr std::uint32_t kObjectValue = 0x14005100;
inline constexpr std::uint32_t kSecondaryAccepted = 0x1E002100;
inline constexpr std::uint32_t kSecondaryAck = 0x1E0C3000;
inline constexpr std::uint32_t kSecondaryBlockDone = 0x1E003100;
inline constexpr std::uint32_t kSecondaryComplete = 0x1E003200;

// Read and reply command numbers.
inline constexpr unsigned kOutputVolt = 0x01, kOutputAmp = 0x02, kInputVolt1 = 0x03, kTemp1 = 0x0C,
                          kAvailable = 0x1A;

// On/off codes.
inline constexpr int kOn = 0, kOff = 1, kForcedOff = 3;

// A frame record with the extended flag set and the given data.
CanFrame MakeFrame(std::uint32_t id, std::initializer_list<std::uint8_t> data = {});
CanFrame MakeFrame(std::uint32_t id, const std::uint8_t* data, unsigned len);
// The 29-bit identifier of an extended frame; 0 for any other record.
std::uint32_t FrameId(const CanFrame& f);

// Value forms (two bytes, high byte first). Decoding saturates at the
// largest unsigned 32-bit value where an exponent would overflow.
std::uint32_t DecodeVoltage(std::uint16_t raw);          // 0.1 V
std::uint32_t DecodeCurrent(std::uint16_t raw);          // 0.1 A
std::uint32_t DecodeAvailableCurrent(std::uint16_t raw); // 0.01 A
std::uint32_t DecodeAvailablePower(std::uint16_t raw);   // W
std::uint32_t DecodeInputVoltage(std::uint16_t raw);     // V

// The controller sends exponent 2. A value past its mantissa is sent as
// the largest mantissa instead of wrapping into the exponent bits.
inline constexpr std::uint32_t kMaxVoltageMantissa = 0x1FFF;
inline constexpr std::uint32_t kMaxCurrentMantissa = 0x0FFF;
std::uint16_t EncodeVoltage(std::uint32_t tenthsVolt);
std::uint16_t EncodeCurrent(std::uint32_t mantissa);    // current, current share or power

std::uint16_t Be16(const std::uint8_t* p);
std::uint32_t Be32(const std::uint8_t* p);
// Lowers a value to what 16 bits hold.
inline std::uint16_t Sat16(std::uint64_t v) { return v > 0xFFFF ? 0xFFFF : static_cast<std::uint16_t>(v); }

}  // namespace smr
