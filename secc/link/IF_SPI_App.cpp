#include "IF_SPI_App.h"

#include <memory>

#include "spi.h"

namespace plc {
namespace {

constexpr int kSpiHandle = 1;
std::unique_ptr<platform::SpiDevice> g_spi;
bool g_failed = false;

int Xfer(int fd, const std::uint8_t* tx, std::uint8_t* rx, std::size_t len, unsigned bits) {
    int n = (fd == kSpiHandle && g_spi) ? g_spi->Transfer(tx, rx, len, bits) : -1;
    if (n <= 0) g_failed = true;
    return n;
}

}  // namespace

int SPI_init() {
    g_spi = platform::OpenSpi(kSpiDevicePath);
    return g_spi ? kSpiHandle : -1;
}

void SPI_close() { g_spi.reset(); }

bool SPI_TakeFailure() {
    bool failed = g_failed;
    g_failed = false;
    return failed;
}

int SPI2_Xfer_RegWriteCmd_Execute(int fd, std::uint16_t reg, std::uint16_t value) {
    std::uint16_t cmd = reg | SPI_CMD_REG_WRITE;
    std::uint8_t tx[4] = {std::uint8_t(cmd >> 8), std::uint8_t(cmd), std::uint8_t(value >> 8), std::uint8_t(value)};
    return Xfer(fd, tx, nullptr, 4, 16) > 0 ? 1 : 0;
}

std::uint16_t SPI2_Xfer_RegReadCmd_Execute(int fd, std::uint16_t reg) {
    std::uint16_t cmd = reg | SPI_CMD_REG_READ;
    std::uint8_t tx[4] = {std::uint8_t(cmd >> 8), std::uint8_t(cmd), 0, 0};
    std::uint8_t rx[4] = {};
    if (Xfer(fd, tx, rx, 4, 16) <= 0) return 0;
    return static_cast<std::uint16_t>(rx[2] << 8 | rx[3]);
}

int SPI2_Xfer_BufWriteCmd_Execute(int fd, std::uint16_t command) {
    std::uint8_t tx[2] = {std::uint8_t(command >> 8), std::uint8_t(command)};
    return Xfer(fd, tx, nullptr, 2, 8) > 0 ? 1 : 0;
}

int SPI2_Xfer_8bit_WriteData_Execute(int fd, const std::uint8_t* data, std::uint16_t length) {
    return length != 0 && Xfer(fd, data, nullptr, length, 8) > 0 ? 1 : 0;
}

std::uint16_t SPI2_8bit_RX_Dummy_Execute(int fd, std::uint16_t length, std::uint8_t* buffer) {
    if (length == 0) return 0;
    int n = Xfer(fd, nullptr, buffer, length, 8);
    return n > 0 ? static_cast<std::uint16_t>(n) : 0;
}

}  // namespace plc
