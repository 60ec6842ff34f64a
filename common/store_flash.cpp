#include "store_flash.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "clock.h"
#include "paths.h"
#include "regmap_fields.h"
#include "shared_bytes.h"
#include "syslog.h"

namespace common {

namespace {

struct Range {
    std::uint32_t offset;
    std::uint32_t length;
};

// The settings the station persists when it stores "its list".
constexpr Range kSettingsList[] = {
    {111, 4},    {514, 1},    {937, 1},    {442, 1},    {481, 1},   {443, 1},   {444, 1},    {452, 1},
    {455, 4},    {459, 4},    {494, 4},    {498, 4},    {768, 1},   {766, 1},   {767, 1},    {1088, 32},
    {2624, 129}, {1024, 64},  {1536, 256}, {300, 4},    {344, 4},   {400, 4},   {450, 1},    {1152, 32},
    {280, 1},    {266, 4},    {270, 4},    {274, 4},    {1953, 32}, {1921, 32}, {20771, 32}, {20803, 32},
    {1986, 4},   {1990, 8},   {1998, 8},   {2006, 16},  {758, 8},   {502, 6},   {508, 6},    {1792, 32},
    {1824, 32},  {870, 1},    {770, 1},    {771, 1},    {772, 1},   {889, 16},  {773, 32},   {805, 32},
    {837, 32},   {905, 16},   {921, 16},   {938, 1},    {939, 1},
};

constexpr std::int64_t kLockPollMs = 10;

std::atomic_ref<std::uint8_t> LockByte(const regmap::RegisterMap& map) {
    return std::atomic_ref<std::uint8_t>(MapByte(map, kFlashLockByte));
}

// What this process has seen of the lock: set at every look since
// `sinceMs`, the last look at `lastMs`. The byte is one flag shared with the
// other program's writer, so a dead owner is known only by watching it.
struct LockWatch {
    bool held = false;
    std::int64_t sinceMs = 0;
    std::int64_t lastMs = 0;
};
LockWatch g_watch;

enum class Look { Taken, Busy, Abandoned };

// One look: takes a free lock in one compare-exchange, so two writers that
// see it free at the same moment cannot both own it.
Look LookAtLock(const regmap::RegisterMap& map) {
    const std::int64_t now = platform::GetClock().MonotonicMs();
    std::uint8_t expected = 0;
    if (LockByte(map).compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
        g_watch.held = false;
        return Look::Taken;
    }
    if (!g_watch.held || now < g_watch.lastMs || now - g_watch.lastMs > kFlashLockAbandonMs) {
        g_watch.held = true;
        g_watch.sinceMs = now;
    }
    g_watch.lastMs = now;
    if (now - g_watch.sinceMs < kFlashLockAbandonMs) return Look::Busy;
    g_watch.held = false;
    RecordSysLogf("[Flash] lock byte %u set for %lld s without change: its writer is gone, the lock is taken over",
                  static_cast<unsigned>(kFlashLockByte), static_cast<long long>((now - g_watch.sinceMs) / 1000));
    return Look::Abandoned;
}

// A wait longer than this says what it waits for (once a minute at most).
constexpr std::int64_t kLockNoticeMs = 1000;

bool TakeLock(const regmap::RegisterMap& map) {
    static RepeatLog waitLog;
    platform::Clock& clock = platform::GetClock();
    const std::int64_t start = clock.MonotonicMs();
    bool told = false;
    for (;;) {
        if (LookAtLock(map) != Look::Busy) return true;
        const std::int64_t waited = clock.MonotonicMs() - start;
        if (waited > kFlashLockWaitMs) return false;
        if (!told && waited > kLockNoticeMs) {
            told = true;
            waitLog.Record(FormatLogText("[Flash] waiting for lock byte %u, held by the other writer",
                                         static_cast<unsigned>(kFlashLockByte)));
        }
        clock.SleepMs(kLockPollMs);
    }
}

int StoreLocked(const regmap::RegisterMap& map, std::int32_t pos, std::int32_t len, platform::FlashDevice& device);

bool ValidStore(std::int32_t pos, std::int32_t len) {
    if (pos >= 0 && (len <= 0 || static_cast<std::int64_t>(pos) + len > static_cast<std::int64_t>(kFlashCopySize))) {
        return false;
    }
    return pos >= 0 || pos == kStoreWholeImage || pos == kStoreSettingsList;
}

class LockHold {
public:
    explicit LockHold(const regmap::RegisterMap& map) : map_(map) {}
    ~LockHold() { LockByte(map_).store(0, std::memory_order_release); }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

private:
    const regmap::RegisterMap& map_;
};

void Patch(std::uint8_t* image, const regmap::RegisterMap& map, std::uint32_t offset, std::uint32_t length) {
    std::memcpy(image + offset, map.bytes(regmap::Bytes{offset, length}), length);
}

bool WriteCopy(platform::FlashDevice& device, std::size_t at, const std::uint8_t* copy, std::uint8_t* check) {
    return device.WriteSynced(at, copy, kFlashCopySize) && device.Read(at, check, kFlashCopySize) &&
           std::memcmp(copy, check, kFlashCopySize) == 0;
}

}  // namespace

std::uint32_t FlashCopySum(const std::uint8_t* copy) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < kFlashSumOffset; ++i) sum += copy[i];
    return sum;
}

bool FlashCopyValid(const std::uint8_t* copy) {
    const std::uint32_t stored = static_cast<std::uint32_t>(copy[kFlashSumOffset]) << 24 |
                                 static_cast<std::uint32_t>(copy[kFlashSumOffset + 1]) << 16 |
                                 static_cast<std::uint32_t>(copy[kFlashSumOffset + 2]) << 8 | copy[kFlashSumOffset + 3];
    return stored == FlashCopySum(copy);
}

int StoreFlash(const regmap::RegisterMap& map, std::int32_t pos, std::int32_t len) {
    platform::FileFlash device(platform::SystemPath(kSettingsFlashDevice));
    return StoreFlash(map, pos, len, device);
}

int StoreFlash(const regmap::RegisterMap& map, std::int32_t pos, std::int32_t len, platform::FlashDevice& device) {
    if (!ValidStore(pos, len) || !TakeLock(map)) return 0;
    return StoreLocked(map, pos, len, device);
}

int TryStoreFlash(const regmap::RegisterMap& map, std::int32_t pos, std::int32_t len) {
    platform::FileFlash device(platform::SystemPath(kSettingsFlashDevice));
    return TryStoreFlash(map, pos, len, device);
}

int TryStoreFlash(const regmap::RegisterMap& map, std::int32_t pos, std::int32_t len, platform::FlashDevice& device) {
    if (!ValidStore(pos, len)) return 0;
    if (LookAtLock(map) == Look::Busy) return kFlashBusy;
    return StoreLocked(map, pos, len, device);
}

bool WatchFlashLock(const regmap::RegisterMap& map) {
    if (LockByte(map).load(std::memory_order_acquire) == 0) {
        g_watch.held = false;
        return false;
    }
    const Look look = LookAtLock(map);
    if (look == Look::Busy) return false;
    // Taken (freed a moment ago by its owner) or taken over: given back.
    LockByte(map).store(0, std::memory_order_release);
    return look == Look::Abandoned;
}

namespace {

// The store itself, with the lock owned by the caller; frees it in any case.
int StoreLocked(const regmap::RegisterMap& map, std::int32_t pos, std::int32_t len, platform::FlashDevice& device) {
    LockHold hold(map);

    std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[kFlashImageSize]);
    std::unique_ptr<std::uint8_t[]> check(new (std::nothrow) std::uint8_t[kFlashCopySize]);
    if (!image || !check) {
        SetBits(map, regmap::ALARM_MEMORY_LEAKAGE.offset, regmap::ALARM_MEMORY_LEAKAGE.mask);
        return 0;
    }
    // What the partition holds now: the base of a patch, and which copy may
    // be overwritten first.
    const bool readable = device.Read(0, image.get(), kFlashImageSize);
    if (!readable && pos != kStoreWholeImage) return 0;
    const bool firstValid = readable && FlashCopyValid(image.get());
    const bool secondValid = readable && FlashCopyValid(image.get() + kFlashCopySize);
    std::uint8_t* copy = image.get();
    if (!firstValid && secondValid) std::memcpy(copy, image.get() + kFlashCopySize, kFlashCopySize);

    if (pos == kStoreWholeImage) {
        Patch(copy, map, 0, kFlashCopySize);
    } else if (pos == kStoreSettingsList) {
        for (const Range& r : kSettingsList) Patch(copy, map, r.offset, r.length);
    } else {
        Patch(copy, map, static_cast<std::uint32_t>(pos), static_cast<std::uint32_t>(len));
    }
    copy[kFlashLockByte] = 0;
    const std::uint32_t sum = FlashCopySum(copy);
    copy[kFlashSumOffset] = static_cast<std::uint8_t>(sum >> 24);
    copy[kFlashSumOffset + 1] = static_cast<std::uint8_t>(sum >> 16);
    copy[kFlashSumOffset + 2] = static_cast<std::uint8_t>(sum >> 8);
    copy[kFlashSumOffset + 3] = static_cast<std::uint8_t>(sum);

    // The copy that holds the only valid image is overwritten last.
    const bool secondFirst = firstValid && !secondValid;
    const std::size_t order[2] = {secondFirst ? kFlashCopySize : 0, secondFirst ? 0 : kFlashCopySize};
    for (std::size_t at : order) {
        if (!WriteCopy(device, at, copy, check.get())) return 0;
    }
    return 1;
}

}  // namespace

}  // namespace common
