#include "settings.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "files.h"
#include "paths.h"
#include "regmap_fields.h"

namespace supervisor {

using namespace regmap;

int FlashToShrMem(RegisterMap& map) {
    std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[kFlashSize]);
    if (!buf) {
        map.set(ALARM_MEMORY_LEAKAGE, true);
        map.set(ALARM_INIT_FAIL, true);
        return 0;
    }
    ssize_t n = platform::ReadFileBytes(platform::SystemPath(kFlashDevice), buf.get(), kFlashSize);
    if (n != static_cast<ssize_t>(kFlashSize)) return 0;
    // An erased (mostly 0xFF) or blank (all 0) settings block holds no
    // settings: taken as such it would give eth0 255.255.255.255 or 0.0.0.0,
    // raised alarms and an armed set-point of 6553.5 A. Erased flash with a
    // stray programmed byte is still erased; a real image is mostly zeros.
    const std::uint8_t* settings = buf.get() + kFlashSettingsOffset;
    const auto erased = std::count(settings, settings + kSettingsImageSize, std::uint8_t{0xFF});
    if (static_cast<std::size_t>(erased) > kErasedSettingsBytes) return 0;
    if (std::all_of(settings, settings + kSettingsImageSize, [](std::uint8_t b) { return b == 0; })) return 0;
    std::memcpy(map.bytes(Bytes{0, kFlashSize}), buf.get(), kFlashSize);
    std::memcpy(map.bytes(Bytes{0, kSettingsImageSize}), buf.get() + kFlashSettingsOffset, kSettingsImageSize);
    return 1;
}

}  // namespace supervisor
