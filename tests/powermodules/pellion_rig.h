// Pellion and a module bank on one in-process bus, on the test clock: a
// frame Pellion writes reaches the bank at once, the bank's answers wait in
// Pellion's receive queue, and an empty read lets 10 ms pass (the socket's
// read time-out) and the bank run its timers.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "clock.h"
#include "command.h"
#include "crc.h"
#include "log_reader.h"
#include "module_bank.h"
#include "pellion.h"
#include "regmap_power.h"
#include "smr_protocol.h"
#include "testroot.h"

class RigBus final : public platform::CanBus {
public:
    explicit RigBus(platform::TestClock& clock) : clock_(clock) {}
    bool Write(const platform::CanFrame& f) override {
        if (down) return false;
        sent.push_back(f);
        if (onWrite) onWrite(f);
        return true;
    }
    bool Read(platform::CanFrame& f) override {
        if (down) {
            clock_.Advance(10);
            return false;
        }
        if (inbox.empty()) {
            clock_.Advance(10);
            if (onIdle) onIdle();
        }
        if (inbox.empty()) return false;
        f = inbox.front();
        inbox.pop_front();
        return true;
    }
    // Identifiers sent, in order, optionally only those whose masked bits match.
    std::vector<std::uint32_t> SentIds(std::uint32_t mask = 0, std::uint32_t value = 0) const {
        std::vector<std::uint32_t> ids;
        for (const auto& f : sent) {
            const std::uint32_t id = smr::FrameId(f);
            if ((id & mask) == value) ids.push_back(id);
        }
        return ids;
    }
    std::vector<platform::CanFrame> Sent(std::uint32_t mask, std::uint32_t value) const {
        std::vector<platform::CanFrame> out;
        for (const auto& f : sent)
            if ((smr::FrameId(f) & mask) == value) out.push_back(f);
        return out;
    }

    bool Lost() const override { return down; }
    std::deque<platform::CanFrame> inbox;
    std::vector<platform::CanFrame> sent;
    bool down = false;   // the bus is gone: nothing leaves, nothing arrives
    std::function<void(const platform::CanFrame&)> onWrite;
    std::function<void()> onIdle;

private:
    platform::TestClock& clock_;
};

struct PellionRig {
    PellionRig() : mem(regmap::kMapSize), map(mem.data(), mem.size()), bus(clock),
                   bank([this](const platform::CanFrame& f) { bus.inbox.push_back(f); }), p(map, bus) {
        using namespace regmap;
        root.Make("/Storage/SystemLog");
        root.Make("/mnt");
        bus.onWrite = [this](const platform::CanFrame& f) { bank.Receive(f, clock.MonotonicMs()); };
        bus.onIdle = [this] { bank.Tick(clock.MonotonicMs()); };
        // The station's parameter block: 32 bytes covered by the CRC.
        std::uint8_t* params = map.bytes(SHRMEM_MODULE_PARAMS);
        for (int i = 0; i < 46; ++i) params[i] = static_cast<std::uint8_t>(0xA0 + i);
        params[0] = 0, params[1] = 32;
        map.set(SHRMEM_PARAM_CRC, common::CalCrc16(map));
        map.set(mainb::SHRMEM_MAX_OUTPUT_CURRENT, 125);
        map.set(SHRMEM_MAX_OUTPUT_POWER, 30);
        map.set(SHRMEM_SMR_CURRENT_CAP, 255);
        map.set(SHRMEM_AC_CONTACTOR, 1);
    }
    // Two modules as in the field: the one with the lower serial word 0 is
    // listed second so that the order on the bus is not the order of adding.
    void AddTwoModules() {
        bank.Add(0x1234, 0x1111, 0x2222, 0x3333);
        bank.Add(0x0042, 0x4444, 0x5555, 0x6666);
    }
    void RunFor(std::int64_t ms) {
        const std::int64_t end = clock.MonotonicMs() + ms;
        while (clock.MonotonicMs() < end) p.LoopPass();
    }
    // Start-up and address assignment of the bank's modules.
    void StartAndAssign() {
        p.Startup();
        RunFor(8000);
    }
    // Two modules addressed and switched on by a set-point of 400.0 V / 30.0 A.
    void ModulesOn() {
        AddTwoModules();
        StartAndAssign();
        ArmSetPoint(4000, 300);
        RunFor(1000);
    }
    std::string Log() const { return ReadSystemLog(root.path()); }
    void ArmSetPoint(std::uint16_t tenthsVolt, std::uint16_t tenthsAmp) {
        map.set(regmap::SHRMEM_SET_V1, tenthsVolt);
        map.set(regmap::SHRMEM_SET_I1, tenthsAmp);
        map.set(regmap::SHRMEM_SET_PENDING, 255);
    }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scopedClock{clock};
    platform::RecordingRunner runner;
    platform::ScopedRunner scopedRunner{runner};
    std::vector<std::uint8_t> mem;
    regmap::RegisterMap map;
    RigBus bus;
    modbank::ModuleBank bank;
    pellion::Pellion p;
};
