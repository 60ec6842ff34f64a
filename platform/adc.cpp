#include "adc.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "paths.h"

namespace platform {

bool DeviceAdc::Open(const std::string& systemPath) {
    Close();
    struct stat st{};
    file_ = IsSandboxRoot() && stat(systemPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    path_ = systemPath;
    fd_ = open(systemPath.c_str(), O_RDWR | O_CLOEXEC);
    return fd_ >= 0;
}

bool DeviceAdc::Configure(unsigned long request, const std::uint32_t* words, std::size_t count) {
    if (fd_ < 0) return false;
    if (file_) return true;
    std::vector<std::uint32_t> buf(words, words + count);
    return ioctl(fd_, request, buf.data()) >= 0;
}

std::optional<std::int32_t> DeviceAdc::Read() {
    if (fd_ < 0) return std::nullopt;
    if (file_) {
        std::ifstream f(path_);
        long v;
        if (!(f >> v)) return std::nullopt;
        return static_cast<std::int32_t>(v);
    }
    std::int32_t sample = 0;
    // The driver delivers one sample per read of the descriptor.
    if (read(fd_, &sample, sizeof sample) <= 0) return std::nullopt;
    return sample;
}

void DeviceAdc::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

}  // namespace platform
