#include "line.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "clock.h"

namespace greenphy {

FdLine::~FdLine() {
    if (owned_ && fd_ >= 0) close(fd_);
}

bool FdLine::Send(const std::uint8_t* frame, std::size_t len) {
    return write(fd_, frame, len) == static_cast<ssize_t>(len);
}

ssize_t FdLine::Receive(std::uint8_t* buf, std::size_t cap) {
    ssize_t n = recv(fd_, buf, cap, MSG_DONTWAIT);
    if (n < 0 && errno == ENOTSOCK) {  // a TAP device
        int flags = fcntl(fd_, F_GETFL);
        fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
        n = read(fd_, buf, cap);
    }
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    return n;
}

int OpenTap(const std::string& name, std::string* error) {
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = std::string("/dev/net/tun: ") + std::strerror(errno);
        return -1;
    }
    ifreq ifr{};
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
        if (error) *error = std::string("TUNSETIFF ") + name + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

namespace {
void Put32(std::FILE* f, std::uint32_t v) { std::fwrite(&v, 4, 1, f); }
void Put16(std::FILE* f, std::uint16_t v) { std::fwrite(&v, 2, 1, f); }
}  // namespace

PcapWriter::~PcapWriter() {
    if (f_) std::fclose(f_);
}

bool PcapWriter::Open(const std::string& path) {
    f_ = std::fopen(path.c_str(), "wb");
    if (!f_) return false;
    Put32(f_, 0xA1B2C3D4);  // written in host order: readers detect the order
    Put16(f_, 2);
    Put16(f_, 4);
    Put32(f_, 0);
    Put32(f_, 0);
    Put32(f_, 65535);
    Put32(f_, 1);  // Ethernet
    std::fflush(f_);
    return true;
}

void PcapWriter::Write(const std::uint8_t* frame, std::size_t len) {
    if (!f_) return;
    auto& clock = platform::GetClock();
    const std::int64_t now = clock.WallMs();
    Put32(f_, static_cast<std::uint32_t>(now / 1000));
    Put32(f_, static_cast<std::uint32_t>(now % 1000 * 1000));
    Put32(f_, static_cast<std::uint32_t>(len));
    Put32(f_, static_cast<std::uint32_t>(len));
    std::fwrite(frame, 1, len, f_);
    std::fflush(f_);
}

}  // namespace greenphy
