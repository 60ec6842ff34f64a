// System V shared memory segments.
#pragma once

#include <atomic>
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

// An atomic view of a value at `offset` in a segment that several processes
// share. It must be lock-free on every target: a lock-based atomic keeps its
// lock inside one process, where the other processes never see it. The
// boards (ARMv5) have no lock-free 64-bit atomics, so a shared 64-bit value
// stops the build for them.
template <typename T>
std::atomic_ref<T> SharedAtomic(std::uint8_t* base, std::size_t offset) {
    static_assert(std::atomic_ref<T>::is_always_lock_free, "shared memory holds only lock-free atomics");
    return std::atomic_ref<T>(*reinterpret_cast<T*>(base + offset));
}

// Prints "System init failed:" with the segment's name on standard error and
// standard output, as the programs do when a segment cannot be had.
void ReportInitFailure(const std::string& segmentName, const std::string& reason);

}  // namespace platform
