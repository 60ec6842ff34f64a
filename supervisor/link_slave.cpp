#include "link_slave.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <memory>

#include "clock.h"
#include "command.h"
#include "link_frames.h"
#include "paths.h"
#include "regmap_fields.h"
#include "self_update.h"
#include "serial_loader.h"
#include "startup.h"

namespace supervisor {

using namespace regmap;
using namespace linkwire;

namespace {

LinkSlaveHooks g_hooks;
SettingsIntake g_intake;

void DefaultReboot() {
    platform::RunCommand("reboot -f", {"reboot", "-f"});
    platform::GetClock().SleepMs(2000);
    platform::RunCommand("reboot -f", {"reboot", "-f"});
}

void Fill(LinkSlaveHooks& h) {
    if (!h.proximity) h.proximity = [] { return static_cast<std::uint8_t>(ProxiDisconn()); };
    if (!h.reboot) h.reboot = DefaultReboot;
}

struct InitHooks {
    InitHooks() { Fill(g_hooks); }
} g_init_hooks;

void SendAck(LinkPort& port, std::uint8_t command, std::uint8_t result = 0) {
    const LinkCommandFrame ack = MakeAck(command, result);
    port.Write(ack.data(), ack.size());  // an acknowledgement goes out with one write
}

// Collects a command: the first byte within one read time-out, the rest within
// the window from the first byte. A loader start gets its two further bytes.
std::size_t CollectCommand(LinkPort& port, std::uint8_t* buf) {
    platform::Clock& clock = platform::GetClock();
    std::size_t got = GatherFrame(port, buf, 1, kSlaveReadTimeoutMs);
    if (got == 0) return 0;
    const std::int64_t first = clock.MonotonicMs();
    auto rest = [&](std::size_t want) {
        const std::int64_t left = first + kSlaveCommandWindowMs - clock.MonotonicMs();
        if (left > 0) got += GatherFrame(port, buf + got, want - got, static_cast<int>(left));
    };
    rest(kCommandSize);
    if (got == kCommandSize && IsLoaderStartPrefix(buf, got)) rest(kLoaderStartSize);
    return got;
}

void WriteImageFile(const std::uint8_t* data, std::size_t len, bool& written) {
    written = false;
    // Truncated: a longer image left from an earlier transfer must not trail
    // behind the new one.
    int fd = open(platform::SystemPath("/mnt/FWImage").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t n;
    do {
        n = write(fd, data, len);
    } while (n < 0 && errno == EINTR);
    written = n == static_cast<ssize_t>(len);
    close(fd);
}

// A raw transfer that installed nothing leaves a charging vehicle its board.
void RebootUnlessCharging(const RegisterMap& map) {
    if (VehicleConnected(map)) {
        std::printf("[main] Raw image not installed: no reboot while a vehicle is connected\n");
        std::fflush(stdout);
        return;
    }
    g_hooks.reboot();
}

void RawImageTransfer(RegisterMap& map, LinkPort& port, const std::uint8_t* command) {
    const std::uint32_t len = RawImageLength(command);
    // Only a whole CCS-board image is ever installed: any other length is a
    // corrupted or stray command, dropped without an answer and never a reboot.
    if (len != g_hooks.rawImageSize) return;
    std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[len]);
    if (!image) {
        RebootUnlessCharging(map);
        return;
    }
    SendAck(port, kCmdRawImage);

    platform::Clock& clock = platform::GetClock();
    std::size_t got = 0;
    std::int64_t lastProgress = clock.MonotonicMs();
    while (got < len) {
        const std::int64_t idle = clock.MonotonicMs() - lastProgress;
        if (idle > kRawImageIdleMs) break;
        ssize_t n = port.Read(image.get() + got, len - got, static_cast<int>(kRawImageIdleMs + 1 - idle));
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            lastProgress = clock.MonotonicMs();
        } else if (n < 0) {
            clock.SleepMs(10);
        }
    }

    map.set(SHRMEM_FW_UPDATE, 0);
    map.set(ccsb::SHRMEM_CCS_FW_WRITING, 0);
    // An image that fails its trailer check is never installed and never
    // holds the link: the answer follows at once.
    if (got == len && linkwire::checkImgSum(image.get(), len) == 1) {
        bool written = false;
        WriteImageFile(image.get(), len, written);
        if (written) {
            map.set(SHRMEM_FW_UPDATE, 2);
            if (g_hooks.startInstall) g_hooks.startInstall(); else StartInstallCopy(false);
        }
    }
    image.reset();
    WaitForInstall(map, false);
    SendAck(port, kCmdRawImage, map.get(SHRMEM_FW_UPDATE));
    if (map.get(SHRMEM_FW_UPDATE) == 1) {
        g_hooks.reboot();
    } else {
        RebootUnlessCharging(map);
    }
}

void TakeSettings(RegisterMap& map, LinkPort& port) {
    EVSEDataFrame f;
    const std::size_t n = GatherFrame(port, f.data(), f.size(), kSlaveSettingsWindowMs);
    if (!IsFramed(f.data(), n, f.size())) return;  // late, short or badly framed: the map keeps its settings
    const std::string fault = EVSEDataFault(f);
    if (!fault.empty()) {
        std::printf("[main] Settings frame refused (%s), %u refused\n", fault.c_str(), ++g_intake.refused);
        std::fflush(stdout);
        return;
    }
    TakeEVSEData(map, f, g_intake.haveLast ? &g_intake.last : nullptr, g_hooks.modelMaxCurrent);
    g_intake.last = f;
    g_intake.haveLast = true;
}

}  // namespace

SettingsIntake& GetSettingsIntake() { return g_intake; }
void ResetSettingsIntake() { g_intake = SettingsIntake{}; }

bool VehicleConnected(const RegisterMap& map) {
    const std::uint8_t pilot = map.get(SHRMEM_CCS_PILOT_STATE);
    return (pilot >= 2 && pilot <= 5) || (map.get(SHRMEM_CCS_PLC_STATUS) >> 24) == 0x06;
}

void SetLinkSlaveHooks(LinkSlaveHooks hooks) {
    Fill(hooks);
    g_hooks = std::move(hooks);
}

const LinkSlaveHooks& GetLinkSlaveHooks() { return g_hooks; }

void ServeBoardLinkOn(RegisterMap& map, LinkPort& port) {
    std::uint8_t cmd[kLoaderStartSize] = {};
    const std::size_t got = CollectCommand(port, cmd);
    switch (ClassifyCommand(cmd, got)) {
    case CommandKind::Invalid:
        return;  // dropped without an answer
    case CommandKind::LoaderStart:
        if (g_hooks.runLoader ? g_hooks.runLoader(port, cmd, got) : RunLoaderSlave(map, port, cmd, got)) g_hooks.reboot();
        return;
    case CommandKind::Command:
        break;
    }
    switch (cmd[1]) {
    case kCmdHandShake:
        // The master starts over: the next settings frame has nothing to agree with.
        g_intake.haveLast = false;
        SendAck(port, kCmdHandShake);
        break;
    case kCmdStatus: {
        const EVDataFrame f = BuildEVData(map, g_hooks.proximity());
        WriteFrame(port, f.data(), f.size(), kSlaveWriteWindowMs);
        break;
    }
    case kCmdSettings:
        SendAck(port, kCmdSettings);
        TakeSettings(map, port);
        break;
    case kCmdRawImage:
        RawImageTransfer(map, port, cmd);
        break;
    default:
        break;
    }
}

void ServeBoardLink(RegisterMap& map, int fd) {
    FdLinkPort port(fd);
    ServeBoardLinkOn(map, port);
}

}  // namespace supervisor
