// The vehicle's GPIO lines as a test drives them: each input line reads what
// its function gives at that moment, outputs keep what was last written.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "gpio.h"

class FakeLines final : public platform::Gpio {
public:
    bool Export(int) override { return true; }
    bool SetDirection(int, const std::string&) override { return true; }
    bool Write(int line, int value) override {
        out[line] = static_cast<char>('0' + value);
        ++writes[line];
        return true;
    }
    std::optional<char> ReadChar(int line) override {
        auto in = inputs.find(line);
        if (in != inputs.end()) return in->second();
        auto o = out.find(line);
        if (o != out.end()) return o->second;
        return std::nullopt;
    }
    std::map<int, std::function<std::optional<char>()>> inputs;
    std::map<int, char> out;
    std::map<int, int> writes;
};

// Installs the lines for a test's lifetime.
struct ScopedLines {
    explicit ScopedLines(FakeLines& l) : prev(platform::SetGpio(&l)) {}
    ~ScopedLines() { platform::SetGpio(prev); }
    platform::Gpio* prev;
};
