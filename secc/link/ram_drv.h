// The frame segment shared by Marlet's controller and modem driver processes
// (System V key 2345): receive ring, receive and transmit slots, index bytes
// and driver state at fixed offsets.
//
// Each count or flag has two writers (one per direction) and is therefore
// changed only through the atomic helpers below; a slot's flag is published
// (release) after its content and read (acquire) before it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "shm.h"

namespace plc {

inline constexpr int kFrameSegmentKey = 2345;
inline constexpr std::size_t kFrameSegmentSize = 24576;

inline constexpr std::size_t kRingOffset = 0;
inline constexpr std::size_t kRingSize = 4000;
inline constexpr std::size_t kRxSlotsOffset = 4000;
inline constexpr std::size_t kRxSlotSize = 604;
inline constexpr std::size_t kRxSlots = 20;
inline constexpr std::size_t kRxFlagAt = 600;    // 16-bit
inline constexpr std::size_t kRxLengthAt = 602;  // 16-bit
inline constexpr std::size_t kTxSlotsOffset = 16080;
inline constexpr std::size_t kTxSlotSize = 628;
inline constexpr std::size_t kTxSlots = 10;
inline constexpr std::size_t kTxFlagAt = 624;  // byte

inline constexpr std::size_t kTxBufIdx = 22320;
inline constexpr std::size_t kTxExeIdx = 22321;
inline constexpr std::size_t kTxBufNum = 22322;
inline constexpr std::size_t kRxBufIdx = 22323;
inline constexpr std::size_t kRxExeIdx = 22324;
inline constexpr std::size_t kRxBufNum = 22325;
inline constexpr std::size_t kRingIn = 22326;     // 16-bit
inline constexpr std::size_t kRingOut = 22328;    // 16-bit
inline constexpr std::size_t kRingCount = 22330;  // 16-bit
inline constexpr std::size_t kPhyState = 22332;   // 16-bit
inline constexpr std::size_t kResetCount = 22334; // 16-bit
inline constexpr std::size_t kResetFlag = 22336;  // 16-bit
// Times the driver left its running state on its own (a chip that stopped
// answering), in the free tail after the driver state; zero after a clear.
inline constexpr std::size_t kDriverLeaves = 22338;  // 16-bit
inline constexpr std::size_t kVersionAt = 24572;  // 32-bit, high byte first

inline constexpr std::size_t kMinRxFrame = 60;
inline constexpr std::size_t kMaxRxFrame = 600;
// The index bytes lie in the tail of the last transmit slot, from its offset
// 588: start marker (8) + frame + end marker (2) must end before it.
inline constexpr std::size_t kMaxTxFrame = 578;

// The areas follow each other; the index bytes and driver state sit in the
// tail of the last transmit slot, behind its longest image and before its flag.
static_assert(kRxSlotsOffset == kRingOffset + kRingSize);
static_assert(kTxSlotsOffset == kRxSlotsOffset + kRxSlots * kRxSlotSize);
static_assert(kTxSlotsOffset + kTxSlots * kTxSlotSize == 22360);
static_assert(kTxBufIdx == kTxSlotsOffset + (kTxSlots - 1) * kTxSlotSize + 8 + kMaxTxFrame + 2);
static_assert(kDriverLeaves + 2 <= kTxSlotsOffset + (kTxSlots - 1) * kTxSlotSize + kTxFlagAt);
static_assert(kRxFlagAt >= kMaxRxFrame && kVersionAt + 4 == kFrameSegmentSize);

inline constexpr std::uint16_t PHY_START = 0;
inline constexpr std::uint16_t PHY_SYNC = 1;
inline constexpr std::uint16_t PHY_RUN = 2;

// The attached segment (PLCShmPtr) and its areas.
extern std::uint8_t* PLCShmPtr;
extern std::uint8_t* SPI_ReadBuffer;
extern std::uint8_t* SPI_RXPktBuffer;
extern std::uint8_t* SPI_TXPktBuffer;

// Points the area pointers into `base` (kFrameSegmentSize bytes, 8-aligned).
void FrameSegment_Bind(std::uint8_t* base);

// The offset of a 16-bit count or flag. A 16-bit view at an odd offset
// would be misaligned (a fault or a torn value on the boards), so a fixed
// offset is checked when the program is built; a slot's field offset is the
// even area offset plus whole slots of even size plus the even field offset.
class WordOffset {
public:
    consteval WordOffset(std::size_t off) : at_(off) {
        if (off % 2 != 0) throw "16-bit values of the frame segment sit at even offsets";
    }
    constexpr std::size_t at() const { return at_; }

private:
    struct InSlot {};
    constexpr WordOffset(InSlot, std::size_t off) : at_(off) {}
    friend WordOffset RxSlotFlag(std::size_t i);
    friend WordOffset RxSlotLength(std::size_t i);
    std::size_t at_;
};
static_assert(kRxSlotsOffset % 2 == 0 && kRxSlotSize % 2 == 0 && kRxFlagAt % 2 == 0 && kRxLengthAt % 2 == 0);

inline std::atomic_ref<std::uint8_t> SegByte(std::size_t off) { return platform::SharedAtomic<std::uint8_t>(PLCShmPtr, off); }
inline std::atomic_ref<std::uint16_t> SegWord(WordOffset off) { return platform::SharedAtomic<std::uint16_t>(PLCShmPtr, off.at()); }

inline std::uint8_t LoadByte(std::size_t off) { return SegByte(off).load(std::memory_order_acquire); }
inline void StoreByte(std::size_t off, std::uint8_t v) { SegByte(off).store(v, std::memory_order_release); }
inline std::uint16_t LoadWord(WordOffset off) { return SegWord(off).load(std::memory_order_acquire); }
inline void StoreWord(WordOffset off, std::uint16_t v) { SegWord(off).store(v, std::memory_order_release); }

// Adds one to a count byte.
inline void CountUp(std::size_t off) { SegByte(off).fetch_add(1, std::memory_order_acq_rel); }
// Takes one from a count byte; a count that is already 0, or above `limit`
// (a stale value), becomes 0.
void CountDown(std::size_t off, std::uint8_t limit);

inline std::uint8_t* RxSlot(std::size_t i) { return SPI_RXPktBuffer + i * kRxSlotSize; }
inline std::uint8_t* TxSlot(std::size_t i) { return SPI_TXPktBuffer + i * kTxSlotSize; }
inline WordOffset RxSlotFlag(std::size_t i) { return {WordOffset::InSlot{}, kRxSlotsOffset + i * kRxSlotSize + kRxFlagAt}; }
inline WordOffset RxSlotLength(std::size_t i) { return {WordOffset::InSlot{}, kRxSlotsOffset + i * kRxSlotSize + kRxLengthAt}; }
inline std::size_t TxSlotFlag(std::size_t i) { return kTxSlotsOffset + i * kTxSlotSize + kTxFlagAt; }

}  // namespace plc
