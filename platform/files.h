// Small file helpers on system paths (already resolved into the root).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Reads up to `len` bytes from the start of the file; the count read, or -1
// when it cannot be opened or read.
ssize_t ReadFileBytes(const std::string& path, std::uint8_t* buf, std::size_t len);
// Appends `text` to the file with a single write, creating the file (and not
// its folder) when it is missing. False on failure.
bool AppendToFile(const std::string& path, const std::string& text);
// Reads a whole small text file ("" when missing).
std::string ReadTextFile(const std::string& path, std::size_t maxBytes = 4096);

}  // namespace platform
