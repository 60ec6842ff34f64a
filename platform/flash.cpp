#include "flash.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool FileFlash::Read(std::size_t offset, std::uint8_t* buf, std::size_t len) {
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::size_t got = 0;
    while (got < len) {
        const ssize_t n = pread(fd, buf + got, len - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    return got == len;
}

bool FileFlash::WriteSynced(std::size_t offset, const std::uint8_t* data, std::size_t len) {
    const int fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < len) {
        const ssize_t n = pwrite(fd, data + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false; else done += static_cast<std::size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    return ok;
}

}  // namespace platform
