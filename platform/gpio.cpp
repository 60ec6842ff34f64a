#include "gpio.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "paths.h"

namespace platform {
namespace {

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::out | std::ios::trunc);
    if (!f) return false;
    f << text << '\n';
    return static_cast<bool>(f.flush());
}

SysfsGpio g_sysfs;
Gpio* g_gpio = &g_sysfs;

}  // namespace

std::string SysfsGpio::LineDir(int line) { return SystemPath("/sys/class/gpio/gpio" + std::to_string(line)); }

std::string SysfsGpio::ValuePath(int line) {
    const char* given = std::getenv("STATION_ROOT");
    std::lock_guard<std::mutex> lock(mutex_);
    if (root_ != (given ? given : "")) {
        values_.clear();
        root_ = given ? given : "";
    }
    auto it = values_.find(line);
    if (it == values_.end()) it = values_.emplace(line, LineDir(line) + "/value").first;
    return it->second;
}

bool SysfsGpio::Export(int line) {
    std::string dir = LineDir(line);
    if (!IsSandboxRoot()) {
        struct stat st{};
        if (stat(dir.c_str(), &st) == 0) return true;  // already exported
        return WriteText(SystemPath("/sys/class/gpio/export"), std::to_string(line));
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return false;
    WriteText(SystemPath("/sys/class/gpio/export"), std::to_string(line));
    for (const char* f : {"/direction", "/value"}) {
        std::string p = dir + f;
        if (!std::filesystem::exists(p)) WriteText(p, f[1] == 'd' ? "in" : "0");
    }
    return true;
}

bool SysfsGpio::SetDirection(int line, const std::string& direction) {
    return WriteText(LineDir(line) + "/direction", direction);
}

bool SysfsGpio::Write(int line, int value) { return WriteText(ValuePath(line), value ? "1" : "0"); }

std::optional<char> SysfsGpio::ReadChar(int line) {
    std::ifstream f(ValuePath(line));
    char c;
    if (!(f >> c)) return std::nullopt;
    return c;
}

Gpio& GetGpio() { return *g_gpio; }

Gpio* SetGpio(Gpio* gpio) {
    Gpio* prev = g_gpio;
    g_gpio = gpio ? gpio : &g_sysfs;
    return prev;
}

}  // namespace platform
