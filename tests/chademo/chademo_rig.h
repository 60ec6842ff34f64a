// A CHAdeMO session's register map, vehicle signals and can1 on the test
// clock: frames the program writes are kept, frames of the vehicle wait in a
// queue, an empty read lets the socket's 1 ms time-out pass.
#pragma once

#include <deque>
#include <vector>

#include "can.h"
#include "can_io.h"
#include "clock.h"
#include "log_reader.h"
#include "regmap_chademo.h"
#include "session_log.h"
#include "testroot.h"

class QueueBus final : public platform::CanBus {
public:
    explicit QueueBus(platform::TestClock& clock) : clock_(clock) {}
    bool Write(const platform::CanFrame& f) override {
        sent.push_back(f);
        return true;
    }
    bool Read(platform::CanFrame& f) override {
        if (inbox.empty()) {
            clock_.Advance(1);
            return false;
        }
        f = inbox.front();
        inbox.pop_front();
        return true;
    }
    std::deque<platform::CanFrame> inbox;
    std::vector<platform::CanFrame> sent;

private:
    platform::TestClock& clock_;
};

inline platform::CanFrame VehicleFrame(std::uint32_t id, std::vector<std::uint8_t> data) {
    platform::CanFrame f{};
    f.can_id = id;
    f.len = static_cast<std::uint8_t>(data.size());
    for (std::size_t i = 0; i < data.size() && i < 8; ++i) f.data[i] = data[i];
    return f;
}

struct ChademoRig {
    ChademoRig()
        : mem(regmap::kMapSize), map(mem.data(), mem.size()), bus(clock),
          log(map, chademo::SignalReaders{[this] { return j; }, [this] { return lock; }}),
          io(map, bus, log, [this] { return d1; }) {
        root.Make("/Storage/SystemLog");
    }
    std::string Log() const { return ReadSystemLog(root.path()); }
    // The vehicle's three frames, as a vehicle in communication sends them.
    void VehicleTalks(std::uint8_t protocol = 2, std::uint8_t request = 0) {
        bus.inbox.push_back(VehicleFrame(0x100, {0, 0, 0, 0, 0xF4, 0x01, 100, 0}));
        bus.inbox.push_back(VehicleFrame(0x101, {0, 0xFF, 60, 0, 0, 0, 0, 0}));
        bus.inbox.push_back(VehicleFrame(0x102, {protocol, 0x90, 0x01, request, 0, 0x01, 55, 0}));
    }
    void Run(std::int64_t ms) {
        const std::int64_t end = clock.MonotonicMs() + ms;
        while (clock.MonotonicMs() < end) io.Pass();
    }
    std::vector<std::uint32_t> SentIds() const {
        std::vector<std::uint32_t> ids;
        for (const auto& f : bus.sent) ids.push_back(f.can_id);
        return ids;
    }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scopedClock{clock};
    std::vector<std::uint8_t> mem;
    regmap::RegisterMap map;
    QueueBus bus;
    int d1 = 1, j = 1, lock = 1;
    chademo::SessionLog log;
    chademo::CanIo io;
};
