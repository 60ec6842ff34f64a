// sysfs GPIO lines under /sys/class/gpio (inside the station root). Under a
// sandbox root the kernel's part, the gpioN folder that export creates, is
// played here, so the same code drives a simulated board.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

class Gpio {
public:
    virtual ~Gpio() = default;
    virtual bool Export(int line) = 0;
    virtual bool SetDirection(int line, const std::string& direction) = 0;  // "in" or "out"
    virtual bool Write(int line, int value) = 0;
    // The first character of the value file ('0' or '1'), or nothing.
    virtual std::optional<char> ReadChar(int line) = 0;

    // Export, direction "out", value.
    bool Output(int line, int value) { return Export(line) && SetDirection(line, "out") && Write(line, value); }
};

class SysfsGpio final : public Gpio {
public:
    bool Export(int line) override;
    bool SetDirection(int line, const std::string& direction) override;
    bool Write(int line, int value) override;
    std::optional<char> ReadChar(int line) override;
    static std::string LineDir(int line);  // system path of gpioN

private:
    // The value file of a line, resolved under the station root the first
    // time the line is used: resolving the root takes a system call per
    // folder of its path, and a line is read every 10 ms while it is sampled.
    // A program given another root resolves again.
    std::string ValuePath(int line);

    std::mutex mutex_;
    std::string root_;  // the STATION_ROOT the paths below were resolved for
    std::map<int, std::string> values_;
};

Gpio& GetGpio();
Gpio* SetGpio(Gpio* gpio);  // nullptr restores sysfs

}  // namespace platform
