#include "spi.h"

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "paths.h"
#include "unix_socket.h"

namespace platform {
namespace {

constexpr std::uint8_t kMode = SPI_MODE_3;
constexpr std::uint8_t kBitsPerWord = 16;
constexpr std::uint32_t kSpeedHz = 1000000;
constexpr std::size_t kMaxMessage = 65536;

class Spidev final : public SpiDevice {
public:
    explicit Spidev(int fd) : fd_(fd) {}
    ~Spidev() override { close(fd_); }

    int Transfer(const std::uint8_t* tx, std::uint8_t* rx, std::size_t len, unsigned bitsPerWord) override {
        if (len == 0 || (bitsPerWord == 16 && len % 2)) return -1;
        std::vector<std::uint8_t> out(len, 0), in(len, 0);
        if (tx) std::memcpy(out.data(), tx, len);
        if (bitsPerWord == 16) ToNativeWords(out);
        spi_ioc_transfer t{};
        t.tx_buf = reinterpret_cast<std::uintptr_t>(out.data());
        t.rx_buf = reinterpret_cast<std::uintptr_t>(in.data());
        t.len = static_cast<std::uint32_t>(len);
        t.speed_hz = kSpeedHz;
        t.bits_per_word = static_cast<std::uint8_t>(bitsPerWord);
        t.delay_usecs = 0;
        if (ioctl(fd_, SPI_IOC_MESSAGE(1), &t) <= 0) return -1;
        if (bitsPerWord == 16) ToNativeWords(in);  // the swap is its own inverse
        if (rx) std::memcpy(rx, in.data(), len);
        return static_cast<int>(len);
    }

private:
    // spidev shifts each 16-bit word out of memory in the processor's order,
    // most significant bit first; wire order is high byte first.
    static void ToNativeWords(std::vector<std::uint8_t>& b) {
        for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
            std::uint16_t w = static_cast<std::uint16_t>(b[i] << 8 | b[i + 1]);
            std::memcpy(&b[i], &w, 2);
        }
    }
    int fd_;
};

// A transfer that fails drops the connection; the next one connects again,
// so a restarted emulator is found as a replaced chip would be.
class SocketSpi final : public SpiDevice {
public:
    SocketSpi(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~SocketSpi() override { Drop(); }

    int Transfer(const std::uint8_t* tx, std::uint8_t* rx, std::size_t len, unsigned bitsPerWord) override {
        if (len == 0 || len + 1 > kMaxMessage) return -1;
        if (fd_ < 0 && (fd_ = ConnectSeqPacket(path_)) < 0) return -1;
        std::vector<std::uint8_t> msg(len + 1, 0);
        msg[0] = static_cast<std::uint8_t>(bitsPerWord);
        if (tx) std::memcpy(&msg[1], tx, len);
        if (send(fd_, msg.data(), msg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size())) return Drop();
        std::vector<std::uint8_t> in(len);
        ssize_t n;
        do {
            n = recv(fd_, in.data(), in.size(), 0);
        } while (n < 0 && errno == EINTR);
        if (n != static_cast<ssize_t>(len)) return Drop();
        if (rx) std::memcpy(rx, in.data(), len);
        return static_cast<int>(len);
    }

private:
    int Drop() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        return -1;
    }
    int fd_;
    std::string path_;
};

// Forwards to an installed device that it does not own.
class Borrowed final : public SpiDevice {
public:
    explicit Borrowed(SpiDevice& d) : d_(d) {}
    int Transfer(const std::uint8_t* tx, std::uint8_t* rx, std::size_t len, unsigned bpw) override {
        return d_.Transfer(tx, rx, len, bpw);
    }

private:
    SpiDevice& d_;
};

SpiDevice* g_installed = nullptr;

}  // namespace

std::unique_ptr<SpiDevice> OpenSpidev(const std::string& systemPath) {
    int fd = open(systemPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::uint8_t mode = kMode, bits = kBitsPerWord;
    std::uint32_t speed = kSpeedHz;
    bool ok = ioctl(fd, SPI_IOC_WR_MODE, &mode) >= 0 && ioctl(fd, SPI_IOC_RD_MODE, &mode) >= 0 &&
              ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits) >= 0 && ioctl(fd, SPI_IOC_RD_BITS_PER_WORD, &bits) >= 0 &&
              ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed) >= 0 && ioctl(fd, SPI_IOC_RD_MAX_SPEED_HZ, &speed) >= 0;
    if (!ok) {
        close(fd);
        return nullptr;
    }
    return std::make_unique<Spidev>(fd);
}

std::unique_ptr<SpiDevice> ConnectSpiSocket(const std::string& socketPath) {
    int fd = ConnectSeqPacket(socketPath);
    if (fd < 0) return nullptr;
    return std::make_unique<SocketSpi>(fd, socketPath);
}

std::unique_ptr<SpiDevice> OpenSpi(const std::string& devicePath) {
    if (g_installed) return std::make_unique<Borrowed>(*g_installed);
    if (const char* sock = std::getenv(kSpiSocketEnv); sock && *sock) return ConnectSpiSocket(sock);
    return OpenSpidev(SystemPath(devicePath));
}

SpiDevice* SetSpiDevice(SpiDevice* device) {
    SpiDevice* prev = g_installed;
    g_installed = device;
    return prev;
}

bool ReadSpiRequest(int fd, std::string& tx, unsigned& bitsPerWord) {
    std::vector<char> buf(kMaxMessage);
    ssize_t n;
    do {
        n = recv(fd, buf.data(), buf.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 2) return false;
    bitsPerWord = static_cast<std::uint8_t>(buf[0]);
    tx.assign(buf.data() + 1, static_cast<std::size_t>(n - 1));
    return true;
}

bool WriteSpiAnswer(int fd, const std::uint8_t* rx, std::size_t len) {
    return send(fd, rx, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len);
}

}  // namespace platform
