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
// Writes the bytes in place at `offset` of an existing file or device (a
// flash block device cannot be replaced by a rename) and syncs them. False
// when it is missing or any byte is not written.
bool WriteFileBytesAt(const std::string& path, std::size_t offset, const std::uint8_t* data, std::size_t len);
// Appends `text` to the file, creating the file (and not its folder) when it
// is missing. A file that does not end in a line feed gets one before the
// text, so a line is never glued to a cut one. False when any byte could not
// be written (a cut fragment may then stay as a line of its own).
bool AppendToFile(const std::string& path, const std::string& text);
// Reads at most `maxBytes` from the start of the file into *content; false
// (content empty) when it cannot be opened or read. The buffer follows the
// file's size, not the limit: a limit of megabytes costs nothing for a file
// of a few lines. Kernel files that tell no size (procfs) are read to their end.
bool ReadFileAtMost(const std::string& path, std::size_t maxBytes, std::string* content);
// Reads a whole small text file ("" when missing).
std::string ReadTextFile(const std::string& path, std::size_t maxBytes = 4096);
// Replaces the file as a whole: the bytes go to a temporary file beside it,
// which is synced and renamed over the old one, so a reader or a power cut
// sees the old file or the new one, never a torn one. False on failure (the
// old file then stays as it was).
bool ReplaceFile(const std::string& path, const void* data, std::size_t len, mode_t mode = 0644);
inline bool ReplaceFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    return ReplaceFile(path, text.data(), text.size(), mode);
}

// Tests: the file write step `step` from now (0 = the next open, write, sync
// or rename of AppendToFile and ReplaceFile) fails as if the power went, a
// write then leaving half of its bytes, and so does every step after it;
// -1 restores the power.
void SetWriteCutForTest(int step);

}  // namespace platform
