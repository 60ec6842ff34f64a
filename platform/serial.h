// Serial lines through termios: raw 8N1 at 115200 baud (the board link).
// A pty or any character device at the path works the same way.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Opens and sets up a line: raw, 8N1, no flow control, 115200 baud in both
// directions. Returns the descriptor or -1.
int OpenSerial(const std::string& systemPath);
// Puts an open descriptor into the raw 8N1 115200 mode (false for a
// descriptor that is not a terminal, which is still usable for bytes).
bool SetRawLine(int fd);
void FlushInput(int fd);
// Waits until everything written to the line has been sent.
void DrainOutput(int fd);

// Reads up to `len` bytes, waiting at most `timeoutMs` for the first one.
// Returns the count, 0 on time-out, -1 on error.
ssize_t ReadWithTimeout(int fd, std::uint8_t* buf, std::size_t len, int timeoutMs);
// Reads until `len` bytes have come or `timeoutMs` has passed since the call.
// Returns how many came (possibly fewer than `len`), or -1 on error.
ssize_t ReadFull(int fd, std::uint8_t* buf, std::size_t len, int timeoutMs);
// Writes all bytes; false on error.
bool WriteAll(int fd, const std::uint8_t* buf, std::size_t len);
// Writes what the line takes without blocking for long: the count, 0 when
// it takes nothing now, -1 on error.
ssize_t WriteSome(int fd, const std::uint8_t* buf, std::size_t len);
// True when the node at the (resolved) path exists and may be read.
bool NodeReadable(const std::string& systemPath);
// Opens a line like OpenSerial, with pending input flushed and a descriptor
// above 0 (0 stands for "no line" in callers that keep descriptors in bytes).
int OpenLine(const std::string& systemPath);
void CloseLine(int fd);

}  // namespace platform
