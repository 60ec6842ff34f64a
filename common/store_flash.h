// The main board's settings image in flash (/dev/mtdblock4, 131,072 bytes):
// register-map bytes 0-65531, their byte sum high byte first at 65532, and a
// second copy of those 65,536 bytes at 65536. Bastide and Quillon both write
// it, one at a time, under the flash lock byte 477 of the register map.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flash.h"
#include "regmap.h"

namespace common {

inline constexpr const char* kSettingsFlashDevice = "/dev/mtdblock4";
inline constexpr std::size_t kFlashCopySize = 65536;
inline constexpr std::size_t kFlashImageSize = 2 * kFlashCopySize;
inline constexpr std::size_t kFlashSumOffset = 65532;
inline constexpr std::uint32_t kFlashLockByte = 477;  // 1 while a writer owns the partition
// How long a writer waits for the lock before it gives up.
inline constexpr std::int64_t kFlashLockWaitMs = 5000;
// A store takes milliseconds: a lock that every look has found set for this
// long belongs to a writer that died while storing, and is taken over. Looks
// further apart than this do not count as watching it.
inline constexpr std::int64_t kFlashLockAbandonMs = 10000;
// TryStoreFlash: the lock is held by another writer; try again later.
inline constexpr int kFlashBusy = -1;

// StoreFlash modes besides a byte range.
inline constexpr std::int32_t kStoreWholeImage = -1;
inline constexpr std::int32_t kStoreSettingsList = -2;

// Sum of the copy's bytes 0-65531, each as an unsigned byte.
std::uint32_t FlashCopySum(const std::uint8_t* copy);
// True when the copy's stored sum (high byte first at 65532) matches.
bool FlashCopyValid(const std::uint8_t* copy);

// Persists register-map bytes into the image:
//   pos >= 0: bytes [pos, pos + len) patched into the image read from flash
//             (pos + len within the 65,536 settings bytes);
//   kStoreWholeImage: the settings bytes as a whole;
//   kStoreSettingsList: the fixed list of settings ranges patched in.
// The image always carries 0 at the lock byte, so a restored map never starts
// with the lock held. Each copy is written, synced and read back on its own,
// the copy without a valid sum first, so a power cut at any byte leaves at
// least one copy with a valid sum. Returns 1 when both copies hold the new
// image, 0 otherwise (lock not had within 5 s, bad range, device or memory
// failure).
int StoreFlash(const regmap::RegisterMap& map, std::int32_t pos, std::int32_t len);
int StoreFlash(const regmap::RegisterMap& map, std::int32_t pos, std::int32_t len, platform::FlashDevice& device);

// The same store for a loop that must not wait: one look at the lock, and
// kFlashBusy when another writer holds it (the caller tries again on a later
// pass; an abandoned lock is taken once it has been watched long enough).
int TryStoreFlash(const regmap::RegisterMap& map, std::int32_t pos, std::int32_t len);
int TryStoreFlash(const regmap::RegisterMap& map, std::int32_t pos, std::int32_t len, platform::FlashDevice& device);

// One look at the lock, for a program that writes the flash and runs all the
// time: an abandoned lock is freed even while this program has nothing to
// store, so the other writer is not stalled for ever. True when it freed one.
bool WatchFlashLock(const regmap::RegisterMap& map);

}  // namespace common
