// The cellular module's tty nodes as Wendle sees them: which nodes exist and
// byte traffic on an open one. The station uses the serial lines of the
// platform; tests put an emulated module behind the same calls.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace modem {

class ModemIo {
public:
    virtual ~ModemIo() = default;
    // True when the node ("/dev/ttyACM2") exists and can be read.
    virtual bool Readable(const std::string& node) = 0;
    // Opens the node as a raw 115200-baud line with pending input flushed;
    // a descriptor above 0, or -1.
    virtual int Open(const std::string& node) = 0;
    virtual void Close(int fd) = 0;
    // Writes what the line takes now: the count, 0 when it takes nothing, -1 on error.
    virtual ssize_t Write(int fd, const std::uint8_t* data, std::size_t len) = 0;
    // Waits at most `timeoutMs` for bytes: the count, 0 on time-out, -1 on error.
    virtual ssize_t Read(int fd, std::uint8_t* buf, std::size_t len, int timeoutMs) = 0;
};

class SerialModemIo final : public ModemIo {
public:
    bool Readable(const std::string& node) override;
    int Open(const std::string& node) override;
    void Close(int fd) override;
    ssize_t Write(int fd, const std::uint8_t* data, std::size_t len) override;
    ssize_t Read(int fd, std::uint8_t* buf, std::size_t len, int timeoutMs) override;
};

}  // namespace modem
