// The temperature ADC. The real device takes configuration requests by ioctl
// and gives one sample per read. Under a sandbox root, a regular file at the
// device path stands in for it: it holds the next sample as decimal text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class Adc {
public:
    virtual ~Adc() = default;
    virtual bool Open(const std::string& systemPath) = 0;
    virtual bool Configure(unsigned long request, const std::uint32_t* words, std::size_t count) = 0;
    // One sample, or nothing when the read fails.
    virtual std::optional<std::int32_t> Read() = 0;
    virtual void Close() = 0;
};

class DeviceAdc final : public Adc {
public:
    ~DeviceAdc() override { Close(); }
    bool Open(const std::string& systemPath) override;
    bool Configure(unsigned long request, const std::uint32_t* words, std::size_t count) override;
    std::optional<std::int32_t> Read() override;
    void Close() override;

private:
    int fd_ = -1;
    bool file_ = false;  // the sandbox stand-in
    std::string path_;
};

// Test double: plays a sequence of samples; an empty optional is a failed read.
class FakeAdc final : public Adc {
public:
    bool Open(const std::string&) override { return open_ok; }
    bool Configure(unsigned long request, const std::uint32_t* words, std::size_t count) override {
        requests.push_back({request, std::vector<std::uint32_t>(words, words + count)});
        return configure_ok;
    }
    std::optional<std::int32_t> Read() override {
        if (samples.empty()) return std::nullopt;
        auto s = samples.front();
        samples.pop_front();
        return s;
    }
    void Close() override {}

    bool open_ok = true;
    bool configure_ok = true;
    std::deque<std::optional<std::int32_t>> samples;
    std::vector<std::pair<unsigned long, std::vector<std::uint32_t>>> requests;
};

}  // namespace platform
