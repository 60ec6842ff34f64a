// The station side of a firmware update: when Tarnet hands over a downloaded
// image (`fwInstallState` 1) the stand-in answers, after a short while, with
// the outcome it was told to give: 2 installed or 3 failed.
#pragma once

#include <cstdint>

#include "fennick_app.h"

namespace stationctl {

class FwInstaller {
public:
    // `answer` 2 or 3; the answer comes `delayMs` after the hand-over.
    FwInstaller(int answer, std::int64_t delayMs) : answer_(answer), delayMs_(delayMs) {}
    // One look at the segment; true when it answered.
    bool Serve(fennick::FennickApp& app, std::int64_t nowMs);

private:
    int answer_;
    std::int64_t delayMs_;
    std::int64_t askedAtMs_ = -1;
};

}  // namespace stationctl
