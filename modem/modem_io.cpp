#include "modem_io.h"

#include "paths.h"
#include "serial.h"

namespace modem {

bool SerialModemIo::Readable(const std::string& node) { return platform::NodeReadable(platform::SystemPath(node)); }

int SerialModemIo::Open(const std::string& node) { return platform::OpenLine(platform::SystemPath(node)); }

void SerialModemIo::Close(int fd) { platform::CloseLine(fd); }

ssize_t SerialModemIo::Write(int fd, const std::uint8_t* data, std::size_t len) {
    return platform::WriteSome(fd, data, len);
}

ssize_t SerialModemIo::Read(int fd, std::uint8_t* buf, std::size_t len, int timeoutMs) {
    return platform::ReadWithTimeout(fd, buf, len, timeoutMs);
}

}  // namespace modem
