// One Wendle against one emulated module on the test clock: the module's
// nodes and lines, its power line on GPIO 69, the commands the program runs
// and the ppp0 address, all in one object a case makes fresh.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "clock.h"
#include "command.h"
#include "files.h"
#include "gpio.h"
#include "modem_device.h"
#include "regmap_fields.h"
#include "testroot.h"
#include "wendle.h"

namespace modem_test {

// Ends a run of the program's endless loop.
struct StopRun {};

// The test clock, which ends the run once the case's time is up.
class RunClock final : public platform::Clock {
public:
    std::int64_t MonotonicMs() override { return mono_; }
    std::int64_t WallMs() override { return 1700000000000 + mono_; }
    void SleepMs(std::int64_t ms) override { Advance(ms); }
    void Advance(std::int64_t ms) {
        mono_ += ms < 0 ? 0 : ms;
        while (!events_.empty() && events_.begin()->first <= mono_) {
            auto fn = std::move(events_.begin()->second);
            events_.erase(events_.begin());
            fn();
        }
        if (limit_ && mono_ > *limit_) throw StopRun{};
    }
    // Runs `fn` once the clock reaches `ms`.
    void At(std::int64_t ms, std::function<void()> fn) { events_.emplace(ms, std::move(fn)); }
    void StopAfter(std::int64_t ms) { limit_ = mono_ + ms; }
    void NoLimit() { limit_.reset(); }

private:
    std::int64_t mono_ = 1000000;
    std::optional<std::int64_t> limit_;
    std::multimap<std::int64_t, std::function<void()>> events_;
};

// The module's nodes and lines as the program sees them.
class SimModemIo final : public modem::ModemIo {
public:
    SimModemIo(sim::ModemDevice& dev, RunClock& clock) : dev_(dev), clock_(clock) {}
    bool Readable(const std::string& node) override {
        dev_.Tick(clock_.MonotonicMs());
        if (absent) return false;
        auto n = dev_.Nodes(clock_.MonotonicMs());
        return std::find(n.begin(), n.end(), node) != n.end();
    }
    int Open(const std::string& node) override {
        if (!Readable(node)) return -1;
        opened.push_back(node);
        gen_[++next_] = dev_.Generation();
        return next_;
    }
    void Close(int fd) override { gen_.erase(fd); }
    ssize_t Write(int fd, const std::uint8_t* data, std::size_t len) override {
        dev_.Tick(clock_.MonotonicMs());
        if (!Alive(fd)) return -1;
        dev_.Receive(std::string(reinterpret_cast<const char*>(data), len), clock_.MonotonicMs());
        return static_cast<ssize_t>(len);
    }
    ssize_t Read(int fd, std::uint8_t* buf, std::size_t len, int timeoutMs) override {
        dev_.Tick(clock_.MonotonicMs());
        if (!Alive(fd)) return -1;
        if (!dev_.HasOutput()) {
            clock_.Advance(timeoutMs);
            dev_.Tick(clock_.MonotonicMs());
            return Alive(fd) ? 0 : -1;
        }
        clock_.Advance(5);
        std::string chunk = dev_.Take(len);
        std::copy(chunk.begin(), chunk.end(), buf);
        return static_cast<ssize_t>(chunk.size());
    }
    bool absent = false;  // the module is unplugged
    std::vector<std::string> opened;

private:
    bool Alive(int fd) const {
        if (absent) return false;
        auto it = gen_.find(fd);
        return it != gen_.end() && it->second == dev_.Generation();
    }
    sim::ModemDevice& dev_;
    RunClock& clock_;
    std::map<int, unsigned> gen_;
    int next_ = 2;
};

// GPIO lines in memory; a rising write on line 69 power-cycles the module.
class RigGpio final : public platform::Gpio {
public:
    RigGpio(sim::ModemDevice& dev, RunClock& clock) : dev_(dev), clock_(clock) {}
    bool Export(int) override { return true; }
    bool SetDirection(int line, const std::string& d) override {
        trace.push_back(std::to_string(line) + " " + d);
        return true;
    }
    bool Write(int line, int value) override {
        trace.push_back(std::to_string(line) + "=" + std::to_string(value) + " @" +
                        std::to_string((clock_.MonotonicMs() - 1000000) / 1000));
        if (line == 69 && value == 1) {
            ++powerCycles;
            cycleTimes.push_back(clock_.MonotonicMs() / 1000);
            dev_.PowerCycle(clock_.MonotonicMs());
        }
        return true;
    }
    std::optional<char> ReadChar(int line) override { return line == 74 ? std::optional<char>(boardType) : '0'; }
    char boardType = '0';
    int powerCycles = 0;
    std::vector<std::int64_t> cycleTimes;
    std::vector<std::string> trace;

private:
    sim::ModemDevice& dev_;
    RunClock& clock_;
};

// Commands are recorded; the dial script "brings up" ppp0 with the rig's address.
class RigRunner final : public platform::CommandRunner {
public:
    int Run(const platform::Command& c) override {
        texts.push_back(c.text);
        if (!c.argv.empty() && c.argv[0] == "/root/ppp/Dunmore") {
            dialLimitMs = c.limitMs;
            if (dialHangs) return platform::kCommandTimedOut;
            if (dialGivesAddress) ppp0 = "10.64.0.2";
        }
        if (!c.argv.empty() && c.argv[0] == "/bin/ping") return pingResult;
        return 0;
    }
    int Count(const std::string& prefix) const {
        return static_cast<int>(std::count_if(texts.begin(), texts.end(),
                                              [&](const std::string& t) { return t.rfind(prefix, 0) == 0; }));
    }
    std::vector<std::string> texts;
    std::optional<std::string> ppp0;
    bool dialGivesAddress = true;
    bool dialHangs = false;  // the script is ended at its limit
    int dialLimitMs = 0;     // the limit the last dial ran with
    int pingResult = 0;
};

struct Rig {
    explicit Rig(const std::string& model)
        : dev(sim::ModemScript{}), io(dev, clock), gpio(dev, clock), clockScope(clock), runnerScope(runner) {
        dev.script().model = model;
        prevGpio = platform::SetGpio(&gpio);
        root.Make("/Storage/SystemLog");
        root.Make("/root/ppp");
        root.Make("/var/run");
        image.assign(regmap::kMapSize, 0);
        w.io = &io;
        w.map = regmap::RegisterMap(image.data(), image.size());
        w.board.ppp0Address = [this] { return runner.ppp0; };
        w.board.websocketConnected = [this] { return websocket; };
        w.map.set(regmap::mainb::SHRMEM_3G_APN, "internet");
        w.map.set(regmap::SHRMEM_OCPP_MODE, 2);  // OCPP 1.6J: the websocket flag tells the backend state
        modem::StartValues(w);
    }
    ~Rig() {
        platform::SetGpio(prevGpio);
        if (std::getenv("RIG_DUMP")) {
            std::fprintf(stderr, "%s", Log().c_str());
            for (const auto& l : dev.Lines()) std::fprintf(stderr, "> %s\n", l.c_str());
        }
    }

    // Runs the program's loop for `seconds` of test time.
    void RunFor(std::int64_t seconds) {
        clock.StopAfter(seconds * 1000);
        try {
            modem::RunWendle(w);
        } catch (const StopRun&) {
        }
        clock.NoLimit();
    }
    // Runs `fn` at `second` of the case (the rig starts at 0).
    void At(std::int64_t second, std::function<void()> fn) { clock.At(1000000 + second * 1000, std::move(fn)); }
    std::int64_t Seconds() { return (clock.MonotonicMs() - 1000000) / 1000; }
    std::string Log() {
        std::string all;
        for (const auto& e : std::filesystem::directory_iterator(root.path() + "/Storage/SystemLog")) {
            all += platform::ReadTextFile(e.path().string(), 1 << 22);
        }
        return all;
    }
    std::string File(const std::string& p) { return platform::ReadTextFile(root.path() + p, 1 << 16); }
    int Sent(const std::string& cmd) const {
        return static_cast<int>(std::count(dev.Lines().begin(), dev.Lines().end(), cmd));
    }

    TestRoot root;
    RunClock clock;
    sim::ModemDevice dev;
    SimModemIo io;
    RigGpio gpio;
    RigRunner runner;
    platform::ScopedClock clockScope;
    platform::ScopedRunner runnerScope;
    platform::Gpio* prevGpio = nullptr;
    std::vector<std::uint8_t> image;
    modem::Wendle w;
    bool websocket = true;
};

inline int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

}  // namespace modem_test
