#include "serial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "clock.h"

namespace platform {

int OpenSerial(const std::string& systemPath) {
    // Opened non-blocking so that a port without carrier detect cannot hang
    // the open; once the line ignores the modem lines, reads block again.
    int fd = open(systemPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    SetRawLine(fd);
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool SetRawLine(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

void DrainOutput(int fd) {
    while (tcdrain(fd) != 0 && errno == EINTR) {
    }
}

void FlushInput(int fd) {
    if (tcflush(fd, TCIFLUSH) != 0) {
        // Not a terminal: drain what is pending.
        std::uint8_t buf[256];
        while (ReadWithTimeout(fd, buf, sizeof buf, 0) > 0) {
        }
    }
}

ssize_t ReadWithTimeout(int fd, std::uint8_t* buf, std::size_t len, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int r = poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) return 0;
        ssize_t n = read(fd, buf, len);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n == 0 && (p.revents & POLLHUP)) return -1;
        return n;
    }
}

ssize_t ReadFull(int fd, std::uint8_t* buf, std::size_t len, int timeoutMs) {
    SystemClock clock;  // real descriptors wait in real time
    const std::int64_t end = clock.MonotonicMs() + timeoutMs;
    std::size_t got = 0;
    while (got < len) {
        std::int64_t left = end - clock.MonotonicMs();
        if (left < 0) break;
        ssize_t n = ReadWithTimeout(fd, buf + got, len - got, static_cast<int>(left));
        if (n < 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool WriteAll(int fd, const std::uint8_t* buf, std::size_t len) {
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, buf + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

ssize_t WriteSome(int fd, const std::uint8_t* buf, std::size_t len) {
    for (;;) {
        ssize_t n = write(fd, buf, len);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
            return 0;
        }
        return -1;
    }
}

bool NodeReadable(const std::string& systemPath) { return access(systemPath.c_str(), R_OK) == 0; }

int OpenLine(const std::string& systemPath) {
    int fd = OpenSerial(systemPath);
    if (fd == 0) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        fd = moved;
    }
    if (fd < 0) return -1;
    FlushInput(fd);
    return fd;
}

void CloseLine(int fd) {
    if (fd > 0) close(fd);
}

}  // namespace platform
