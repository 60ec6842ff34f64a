// A flash partition reached as a file: the block device node on the board
// (/dev/mtdblock4), a plain file of the same size under a sandbox root.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class FlashDevice {
public:
    virtual ~FlashDevice() = default;
    // Reads exactly `len` bytes at `offset`; false when the partition cannot
    // be opened or holds fewer bytes.
    virtual bool Read(std::size_t offset, std::uint8_t* buf, std::size_t len) = 0;
    // Writes `len` bytes at `offset` and waits until they are on the medium;
    // false when any byte could not be written or synced.
    virtual bool WriteSynced(std::size_t offset, const std::uint8_t* data, std::size_t len) = 0;
};

class FileFlash final : public FlashDevice {
public:
    explicit FileFlash(std::string path) : path_(std::move(path)) {}
    bool Read(std::size_t offset, std::uint8_t* buf, std::size_t len) override;
    bool WriteSynced(std::size_t offset, const std::uint8_t* data, std::size_t len) override;

private:
    std::string path_;
};

}  // namespace platform
