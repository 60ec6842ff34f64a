// The supervisor's end of the board link: one exchange per pass of its loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "link_frames.h"
#include "link_port.h"
#include "regmap.h"
#include "self_update.h"
#include "startup.h"

namespace supervisor {

using linkwire::LinkPort;

// What the link needs of the rest of the supervisor. Every member has a
// working default; the start-up or a test may replace them.
struct LinkSlaveHooks {
    // EVSE maximum current cap of the settings frame, A.
    std::uint8_t modelMaxCurrent = defEVSEmodelMaxCur;
    // Proximity sample for a status frame: 1 disconnected or unknown, 0 connected.
    std::function<std::uint8_t()> proximity;
    // A loader start packet arrived (its 10 bytes): runs the serial block
    // loader as slave on the port. Returns false when the loader could not be
    // started (the packet is then ignored); true once it has run, after which
    // the board reboots. Unset: the block loader of the self-update.
    std::function<bool(LinkPort& port, const std::uint8_t* start, std::size_t len)> runLoader;
    // Starts the installation copy of "/mnt/FWImage" (byte 264 is 2 meanwhile).
    // Unset: the self-update's installer copy.
    std::function<void()> startInstall;
    // Reboots the board ("reboot -f", 2 s, "reboot -f").
    std::function<void()> reboot;
    // The only image length the raw route takes (the CCS-board image with
    // its trailer); tests shorten it.
    std::uint32_t rawImageSize = kCcsImageSize;
};

// What the slave remembers between exchanges: the last settings frame it
// took, against which the next one is confirmed, and the frames it refused.
struct SettingsIntake {
    linkwire::EVSEDataFrame last{};
    bool haveLast = false;
    unsigned refused = 0;
};
SettingsIntake& GetSettingsIntake();
// A fresh intake (start-up, tests).
void ResetSettingsIntake();

// A vehicle is at the CCS outlet: its pilot state is B1 to D, or the V2G
// session runs (status phase 0x06).
bool VehicleConnected(const regmap::RegisterMap& map);

// Replaces the hooks (members left empty take their defaults).
void SetLinkSlaveHooks(LinkSlaveHooks hooks);
const LinkSlaveHooks& GetLinkSlaveHooks();

// Serves one board-link exchange on the line `fd` (a negative fd: no line).
void ServeBoardLink(regmap::RegisterMap& map, int fd);
// The same on any port (tests, the simulation).
void ServeBoardLinkOn(regmap::RegisterMap& map, LinkPort& port);

// Windows of the slave, ms.
inline constexpr int kSlaveReadTimeoutMs = 10000;    // a silent line: one read time-out
inline constexpr int kSlaveCommandWindowMs = 2000;   // from the first byte of a command
inline constexpr int kSlaveSettingsWindowMs = 3000;  // for the settings frame after its ack
inline constexpr int kSlaveWriteWindowMs = 3000;
inline constexpr int kRawImageIdleMs = 10000;        // raw image: time-out without progress

}  // namespace supervisor
