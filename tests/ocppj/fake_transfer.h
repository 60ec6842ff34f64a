// A transfer the test steers: it runs until the test ends it well or badly.
#pragma once

#include <memory>

#include "firmware.h"

struct FakeDownload {
    ocppj::Transfer::State state = ocppj::Transfer::State::Running;
    bool stopped = false;
};
class FakeTransfer : public ocppj::Transfer {
public:
    explicit FakeTransfer(std::shared_ptr<FakeDownload> d) : d_(std::move(d)) {}
    State Poll() override { return d_->state; }
    void Stop() override { d_->stopped = true; }

private:
    std::shared_ptr<FakeDownload> d_;
};
