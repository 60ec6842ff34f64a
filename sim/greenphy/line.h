// The line side of the emulated modem: an Ethernet interface carrying one
// frame per read and write (a TAP device, or one end of a socket pair in
// tests), and a pcap file of what crosses the modem.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace greenphy {

class Line {
public:
    virtual ~Line() = default;
    virtual bool Send(const std::uint8_t* frame, std::size_t len) = 0;
    // One frame if one is waiting (never blocks): its length, 0 when none, -1 on error.
    virtual ssize_t Receive(std::uint8_t* buf, std::size_t cap) = 0;
    virtual int Fd() const = 0;
};

// A descriptor that carries whole frames (TAP, SOCK_SEQPACKET or SOCK_DGRAM).
class FdLine final : public Line {
public:
    explicit FdLine(int fd, bool owned = true) : fd_(fd), owned_(owned) {}
    ~FdLine() override;
    FdLine(const FdLine&) = delete;
    FdLine& operator=(const FdLine&) = delete;
    bool Send(const std::uint8_t* frame, std::size_t len) override;
    ssize_t Receive(std::uint8_t* buf, std::size_t cap) override;
    int Fd() const override { return fd_; }

private:
    int fd_;
    bool owned_;
};

// Opens (creating if needed) the TAP interface `name` without packet
// information headers. Returns the descriptor or -1 with the reason in `error`.
int OpenTap(const std::string& name, std::string* error);

// Ethernet pcap (link type 1) of the frames that cross the modem.
class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;
    bool Open(const std::string& path);
    void Write(const std::uint8_t* frame, std::size_t len);

private:
    std::FILE* f_ = nullptr;
};

}  // namespace greenphy
