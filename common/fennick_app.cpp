#include "fennick_app.h"

#include "shm.h"

namespace fennick {

FennickApp* AttachFennickApp(bool create, std::string* error) {
    std::uint8_t* p = platform::AttachSegment(kFennickAppKey, kFennickAppSize, create, kFennickAppMode, error);
    return reinterpret_cast<FennickApp*>(p);
}

}  // namespace fennick
