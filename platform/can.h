// CAN buses of the main board: can0 (power modules, 29-bit identifiers) and
// can1 (the CHAdeMO vehicle, 11-bit identifiers).
//
// The programs move one 16-byte frame record (Linux `struct can_frame`) per
// read or write. On the board the record goes through a SocketCAN raw socket
// bound to the interface. Under a simulated root (STATION_ROOT other than
// "/") the same record goes through the station's CAN hub (sim/canhub): a
// SOCK_SEQPACKET unix socket "/run/can/<interface>" inside the root, one
// message per record, which the hub forwards to every other member of that
// bus and never back to the sender, as CAN_RAW does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The frame record as it crosses the socket (Linux classic CAN frame).
struct CanFrame {
    std::uint32_t can_id = 0;   // bit 31 extended, bit 30 remote, bit 29 error; identifier below
    std::uint8_t len = 0;       // data length 0-8
    std::uint8_t pad = 0;
    std::uint8_t res0 = 0;
    std::uint8_t res1 = 0;
    std::uint8_t data[8] = {};
};
static_assert(sizeof(CanFrame) == 16, "one record is the 16-byte struct can_frame");

inline constexpr std::uint32_t kCanExtendedFlag = 0x80000000u;
inline constexpr std::uint32_t kCanRemoteFlag = 0x40000000u;
inline constexpr std::uint32_t kCanErrorFlag = 0x20000000u;
inline constexpr std::uint32_t kCanExtendedMask = 0x1FFFFFFFu;
inline constexpr std::uint32_t kCanStandardMask = 0x7FFu;

class CanBus {
public:
    virtual ~CanBus() = default;
    // Sends one record; false when it could not be sent.
    virtual bool Write(const CanFrame& frame) = 0;
    // Takes one record, waiting at most the bus's read time-out (10 ms);
    // false when none arrived. A record that is not a whole frame is dropped.
    virtual bool Read(CanFrame& frame) = 0;
    // True while the bus is gone (the socket hung up or failed and could not
    // be opened again yet): nothing written now reaches anyone.
    virtual bool Lost() const { return false; }
};

// Why a bus could not be opened; the step matters to the callers' logs.
enum class CanOpenStep { Ok, Socket, FirstOption, LaterOption, NoInterface, Bind };

// Read and send time-out 10 ms, receive and send buffers of 40,960 bytes.
inline constexpr int kCanTimeoutUs = 10000;
inline constexpr int kCanBufferBytes = 40960;
// A bus whose socket hung up or failed is opened again at most this often;
// meanwhile each read waits its time-out, so a dead bus is never read in a spin.
inline constexpr std::int64_t kCanReopenPauseMs = 250;

// SocketCAN raw socket on the named interface. A missing interface is an
// error (never a socket bound to every interface). `timeoutUs` is the read
// and send time-out.
std::unique_ptr<CanBus> OpenSocketCan(const std::string& ifname, CanOpenStep* step, int timeoutUs = kCanTimeoutUs);
// The hub member socket of the named interface under the station root.
std::unique_ptr<CanBus> ConnectCanHub(const std::string& ifname, CanOpenStep* step, int timeoutUs = kCanTimeoutUs);
// The bus the programs use: the hub under a simulated root, else SocketCAN.
// It must open at once; later, a socket that hangs up or fails (the hub
// restarted, the interface went down) is closed and opened again after a
// pause, and `Lost` tells the caller while it is gone.
std::unique_ptr<CanBus> OpenCan(const std::string& ifname, CanOpenStep* step, int timeoutUs = kCanTimeoutUs);

// The hub's socket path of an interface (a system path, resolved in the root).
std::string CanHubSocketPath(const std::string& ifname);

// Bus down and up. On the board these are the "ip link" commands (run
// through the command runner); under a simulated root the hub is told as
// well, so that it stops and resumes forwarding. `text` forms are those the
// station logs: "/sbin/ip link set can0 down".
void CanLinkDown(const std::string& ifname);
void CanLinkUp(const std::string& ifname, int bitrate, int restartMs);

// Control messages of the hub socket (any message that is not 16 bytes).
inline constexpr const char* kCanHubDown = "down";
inline constexpr const char* kCanHubUp = "up";

// The candump log form of one record: "(sec.usec) can0 1234ABCD#DEADBEEF";
// extended identifiers are written with 8 digits, standard ones with 3.
std::string CandumpLine(std::int64_t wallUs, const std::string& ifname, const CanFrame& frame);
// Parses the "ID#DATA" part of a candump line (also as cansend takes it).
// False, with nothing written, on any text that is not a frame.
bool ParseCanFrameText(const std::string& text, CanFrame& frame);

}  // namespace platform
