// The serial block loader: one firmware image moved over the board link in
// 2048-byte blocks, each followed by the count of blocks still to come and
// acknowledged by the receiver, then a final verdict from the receiver's end
// handler. The main board runs it as master with the image to send, the CCS
// board as slave when the master's start packet arrives in place of a
// board-link command. Packets travel in SerialPackFrames on a packet channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "link_port.h"
#include "serial_package.h"

namespace linkwire {

enum : std::uint8_t { kLoaderMaster = 0, kLoaderSlave = 1 };

// Packet types (payload byte 0); the end verdict shares the StatusAck shape.
enum : std::uint8_t { kPackUST = 0xFE, kPackIDT = 0xFD, kPackRBS = 0xFC, kPackEnd = 0xFB };
// StatusAck values.
enum : std::uint8_t {
    kAckGo = 0x01,
    kAckResend = 0x11,      // after an RBS: block again; at the end: writing failed
    kAckChecksum = 0x12,
    kAckBroken = 0x13,
    kAckAbort = 0x21,
};
// Results of a run.
enum : int {
    kLoaderNoMemory = -1,
    kLoaderSuccess = 0,
    kLoaderStartFail = 1,
    kLoaderDataFail = 2,
    kLoaderCommFail = 3,
    kLoaderWriteFail = 4,
    kLoaderWriteTimeout = 5,
    kLoaderChecksumFail = 6,
    kLoaderFileBroken = 7,
    kLoaderResendFail = 8,  // a block asked for again more often than the resends allowed
};

inline constexpr std::uint32_t kLoaderBlockSize = 2048;
inline constexpr std::uint16_t kLoaderPackSize = 2054;     // type, id, one block, and room for the frame's CRC
// A channel holds a whole block packet and the count that may follow it
// without a gap (a line whose drain returns before the bytes are out).
inline constexpr std::uint16_t kLoaderChannelSize = 2 * 2056;
inline constexpr std::uint32_t kLoaderImageBuffer = 16u * 1024 * 1024;
inline constexpr std::uint8_t kLoaderIdBoardLink = 1;
// A block the slave keeps asking for again is given up after this many resends.
inline constexpr int kLoaderMaxResends = 5;

// The image trailer: the last 13 bytes, the format name and the byte sum
// (modulo 2^32) of everything before the trailer, high byte first.
inline constexpr std::size_t kImageTrailerSize = 13;
inline constexpr char kImageFormatName[] = "VANTOLMQF";

struct LoaderParams {
    int channel = -1;                     // an open packet channel
    std::uint8_t mode = kLoaderMaster;
    std::uint8_t id = kLoaderIdBoardLink;
    std::uint16_t packSize = kLoaderPackSize;
    std::uint8_t* image = nullptr;        // master: image to send; slave: receive area
    std::uint32_t imageLen = 0;           // master: image length; slave: size of the receive area
    const std::uint8_t* pre = nullptr;    // slave: bytes already taken from the line
    std::size_t preLen = 0;               // at most 32
    // Slave: the received image and its length; returns a loader result.
    std::function<int(std::uint8_t* image, std::uint32_t len)> endHandler;
};

// 1 when the image ends in a trailer with the right name and byte sum.
int checkImgSum(const std::uint8_t* image, std::size_t len);
// The trailer for an image body (tests, tools): name and sum of `body`.
void AppendImageTrailer(std::uint8_t* body, std::size_t bodyLen);

// The result's text as the loader prints it.
const char* LoaderResultText(int result);

// One run of the loader, stepped a tick at a time (each tick at least 2 ms
// after the previous one).
class SerialLoader {
public:
    SerialLoader(LinkPort& line, const LoaderParams& params);
    ~SerialLoader();
    // Takes the packet buffers: kLoaderSuccess, or kLoaderNoMemory.
    int Start();
    // Receive, one step of the machine, transmit.
    void Tick();
    // True once the run has ended and its last answer had time to go out.
    bool Finished() const;
    int result() const;
    // Slave: bytes of the image received so far.
    std::uint32_t received() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

// Runs the loader to its end on the platform clock and prints the result text.
int mobzCAloader(LinkPort& line, const LoaderParams& params);

}  // namespace linkwire
