// System V shared memory segments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Attaches the segment `key` of `size` bytes, creating it first when `create`
// is set (permission bits `mode`). Returns nullptr on failure with the reason
// in `error`.
std::uint8_t* AttachSegment(int key, std::size_t size, bool create, int mode, std::string* error = nullptr);

// Attaches an existing segment of whatever size it has (never creates);
// the size is returned in `size`.
std::uint8_t* AttachExistingSegment(int key, std::size_t* size, std::string* error = nullptr);

// Prints "System init failed:" with the segment's name on standard error and
// standard output, as the programs do when a segment cannot be had.
void ReportInitFailure(const std::string& segmentName, const std::string& reason);

}  // namespace platform
