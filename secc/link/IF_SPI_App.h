// Register protocol of the Green PHY modem on SPI. Every primitive is one
// transfer through the platform's SPI seam.
#pragma once

#include <cstdint>

namespace plc {

// Chip registers (16-bit addresses).
inline constexpr std::uint16_t SPI_REG_BFR_SIZE = 0x0100;        // size of the next buffer transfer
inline constexpr std::uint16_t SPI_REG_WRBUF_SPC_AVA = 0x0200;   // write-buffer space available
inline constexpr std::uint16_t SPI_REG_RDBUF_BYTE_AVA = 0x0300;  // read-buffer bytes available
inline constexpr std::uint16_t SPI_REG_INTR_CAUSE = 0x0C00;
inline constexpr std::uint16_t SPI_REG_INTR_ENABLE = 0x0D00;
inline constexpr std::uint16_t SPI_REG_RDBUF_WATERMARK = 0x1200;
inline constexpr std::uint16_t SPI_REG_WRBUF_WATERMARK = 0x1300;
inline constexpr std::uint16_t SPI_REG_SIGNATURE = 0x1A00;
inline constexpr std::uint16_t SPI_GOOD_SIGNATURE = 0xAA55;

// Command bits: 0x8000 read (else write), 0x4000 register (else buffer).
inline constexpr std::uint16_t SPI_CMD_REG_WRITE = 0x4000;
inline constexpr std::uint16_t SPI_CMD_REG_READ = 0xC000;
inline constexpr std::uint16_t SPI_CMD_BUF_WRITE = 0x0000;
inline constexpr std::uint16_t SPI_CMD_BUF_READ = 0x8000;

// Interrupt causes.
inline constexpr std::uint16_t SPI_INT_CPU_ON = 0x0001;
inline constexpr std::uint16_t SPI_INT_RDBUF_ERR = 0x0002;
inline constexpr std::uint16_t SPI_INT_WRBUF_ERR = 0x0004;
inline constexpr std::uint16_t SPI_INT_PKT_AVLBL = 0x0040;

inline constexpr const char* kSpiDevicePath = "/dev/spidev0.0";

// Opens the SPI device (mode 3, 16-bit words, 1 MHz); returns its descriptor or -1.
int SPI_init();
// Releases the device that SPI_init opened.
void SPI_close();
// Whether a transfer failed since the last call (the chip or its bus is gone).
bool SPI_TakeFailure();

// reg | 0x4000, value as two 16-bit words. 1 on success, else 0.
int SPI2_Xfer_RegWriteCmd_Execute(int fd, std::uint16_t reg, std::uint16_t value);
// reg | 0xC000, 0x0000; the value is the second word received (0 on failure).
std::uint16_t SPI2_Xfer_RegReadCmd_Execute(int fd, std::uint16_t reg);
// The 16-bit buffer command, high byte first, as two 8-bit words. 1 on success.
int SPI2_Xfer_BufWriteCmd_Execute(int fd, std::uint16_t command);
// Writes the bytes with 8-bit words. 1 on success.
int SPI2_Xfer_8bit_WriteData_Execute(int fd, const std::uint8_t* data, std::uint16_t length);
// Reads `length` bytes with 8-bit words; the count transferred, or 0.
std::uint16_t SPI2_8bit_RX_Dummy_Execute(int fd, std::uint16_t length, std::uint8_t* buffer);

}  // namespace plc
