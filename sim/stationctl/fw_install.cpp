#include "fw_install.h"

#include <atomic>

namespace stationctl {

bool FwInstaller::Serve(fennick::FennickApp& app, std::int64_t nowMs) {
    std::atomic_ref<std::int32_t> state(app.fwInstallState);
    if (state.load() != 1) {
        askedAtMs_ = -1;
        return false;
    }
    if (askedAtMs_ < 0) askedAtMs_ = nowMs;
    if (nowMs - askedAtMs_ < delayMs_) return false;
    // Tarnet may have given up meanwhile (3): only a pending hand-over is answered.
    std::int32_t pending = 1;
    const bool answered = state.compare_exchange_strong(pending, answer_);
    askedAtMs_ = -1;
    return answered;
}

}  // namespace stationctl
