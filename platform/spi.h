// SPI behind a seam at "one transfer": a full-duplex exchange of bytes with
// one chip-select cycle. The bytes are given as they cross the wire; with
// 16-bit words each word goes high byte first.
//
// The device is the real spidev node, a Green PHY modem emulator in another
// process reached through a unix socket, or an object installed in-process
// (tests, an emulator linked into the driver process).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class SpiDevice {
public:
    virtual ~SpiDevice() = default;
    // Sends `len` bytes from `tx` and stores the `len` bytes received at `rx`
    // (both may be null: zeros are sent, nothing is kept). `bitsPerWord` is 8
    // or 16 (then `len` is even). Returns `len`, or -1 on failure.
    virtual int Transfer(const std::uint8_t* tx, std::uint8_t* rx, std::size_t len, unsigned bitsPerWord) = 0;
};

// Linux spidev: mode 3, 16 bits per word, 1 MHz, no inter-transfer delay.
// Returns nullptr when the node cannot be opened and set up.
std::unique_ptr<SpiDevice> OpenSpidev(const std::string& systemPath);

// The client end of the emulator's socket (SOCK_SEQPACKET): one request
// message per transfer, one answer message of the received bytes. After a
// failed transfer the next one connects again (a restarted emulator).
std::unique_ptr<SpiDevice> ConnectSpiSocket(const std::string& socketPath);

// The environment variable that names the emulator's socket. When it is set,
// OpenSpi connects there instead of opening the spidev node.
inline constexpr const char* kSpiSocketEnv = "GREENPHY_SPI_SOCKET";

// The device the driver uses: the installed one if any, else the socket of
// kSpiSocketEnv, else spidev at `devicePath` (an absolute system path).
// Returns nullptr when none can be had. An installed device is not owned.
std::unique_ptr<SpiDevice> OpenSpi(const std::string& devicePath);
// Installs an in-process device for OpenSpi; nullptr removes it. Returns the previous one.
SpiDevice* SetSpiDevice(SpiDevice* device);

// Server side of the socket protocol. Reads one request from `fd`: returns
// false on end or error. `tx` receives the bytes to send.
bool ReadSpiRequest(int fd, std::string& tx, unsigned& bitsPerWord);
bool WriteSpiAnswer(int fd, const std::uint8_t* rx, std::size_t len);

}  // namespace platform
