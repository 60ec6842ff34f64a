#include "settings.h"

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
    std::memcpy(map.bytes(Bytes{0, kFlashSize}), buf.get(), kFlashSize);
    std::memcpy(map.bytes(Bytes{0, kSettingsImageSize}), buf.get() + kFlashSettingsOffset, kSettingsImageSize);
    return 1;
}

}  // namespace supervisor
