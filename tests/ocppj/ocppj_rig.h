// Fresh FennickApp and exchange segment images for one test, a station root
// of their own for the log and value files, and the test clock.
#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "command.h"
#include "exchange.h"
#include "fennick_app.h"
#include "files.h"
#include "testroot.h"

// A clock whose sleeps let the transport act while Tarnet waits in place.
class WaitClock : public platform::Clock {
public:
    explicit WaitClock(platform::TestClock& inner) : inner_(inner) {}
    std::int64_t MonotonicMs() override { return inner_.MonotonicMs(); }
    std::int64_t WallMs() override { return inner_.WallMs(); }
    void SleepMs(std::int64_t ms) override {
        inner_.Advance(ms);
        if (onSleep) onSleep();
    }
    std::function<void()> onSleep;

private:
    platform::TestClock& inner_;
};

struct OcppjRig {
    OcppjRig() : app(std::make_unique<fennick::FennickApp>()), x(std::make_unique<ocppj::Exchange>()) {
        std::memset(app.get(), 0, sizeof *app);
        std::memset(x.get(), 0, sizeof *x);
        std::strcpy(app->ocppLogDir, "/Storage/OCPP/");
        std::strcpy(app->storagePath, "/Storage/Tarnet/");
        app->configValues.NumberOfConnectors = 2;
    }
    // The OCPP log so far.
    std::string LogText() const {
        std::string all;
        std::error_code ec;
        for (auto& e : std::filesystem::directory_iterator(root.path() + "/Storage/OCPP", ec))
            all += platform::ReadTextFile(e.path().string(), 1 << 20);
        return all;
    }

    TestRoot root;
    platform::TestClock clock{1709288430};  // 2024-03-01T10:20:30Z
    platform::ScopedClock scopedClock{clock};
    platform::RecordingRunner runner;
    platform::ScopedRunner scopedRunner{runner};
    std::unique_ptr<fennick::FennickApp> app;
    std::unique_ptr<ocppj::Exchange> x;
};
