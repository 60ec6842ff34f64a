#include "fennick_app.h"

#include <cstring>

#include "shm.h"

namespace fennick {

FennickApp* AttachFennickApp(bool create, std::string* error) {
    std::uint8_t* p = platform::AttachSegment(kFennickAppKey, kFennickAppSize, create, kFennickAppMode, error);
    return reinterpret_cast<FennickApp*>(p);
}

void BuildFennickConfigImage(const FennickApp& app, std::uint8_t (&image)[kFennickConfigSize]) {
    std::memset(image, 0, sizeof image);
    std::memcpy(image, &app.configValues, sizeof app.configValues);
    std::int32_t sum = 0;
    for (std::size_t i = 0; i < kFennickConfigSumOffset; ++i) sum += image[i];
    std::memcpy(image + kFennickConfigSumOffset, &sum, sizeof sum);
}

bool FennickConfigImageValid(const std::uint8_t* image, std::size_t size) {
    if (size != kFennickConfigSize) return false;
    std::int32_t sum = 0;
    for (std::size_t i = 0; i < kFennickConfigSumOffset; ++i) sum += image[i];
    std::int32_t stored = 0;
    std::memcpy(&stored, image + kFennickConfigSumOffset, sizeof stored);
    return sum == stored;
}

bool LoadFennickConfigImage(FennickApp& app, const std::uint8_t* image, std::size_t size) {
    if (!FennickConfigImageValid(image, size)) return false;
    std::memcpy(&app.configValues, image, sizeof app.configValues);
    return true;
}

}  // namespace fennick
