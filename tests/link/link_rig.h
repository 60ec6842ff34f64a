// Marlet's driver and controller in one process against the emulated modem:
// the SPI seam leads to the emulator, GPIO 79 to its reset line, the line side
// is a socket pair whose other end plays the powerline peer. Time is a test
// clock: every sleep of the code under test advances it.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "IF_HPCC_GreenPHY.h"
#include "IF_Main.h"
#include "clock.h"
#include "greenphy_modem.h"
#include "ram_drv.h"
#include "regmap.h"

// The SPI bus between driver and modem, where tests inject faults: every
// transfer can fail, and a hook can run before the Nth one (for example the
// controller clearing the segment while the driver is in the middle of a pass).
class SpiInterposer final : public platform::SpiDevice {
public:
    explicit SpiInterposer(platform::SpiDevice& chip) : chip_(chip) {}
    int Transfer(const std::uint8_t* tx, std::uint8_t* rx, std::size_t len, unsigned bits) override {
        ++count;
        if (hook && count == hookAt) hook();
        if (failing) return -1;
        return chip_.Transfer(tx, rx, len, bits);
    }
    bool failing = false;
    std::uint64_t count = 0;
    std::uint64_t hookAt = 0;
    std::function<void()> hook;

private:
    platform::SpiDevice& chip_;
};

// The frame queued in transmit slot `i`, as long as its length word says.
inline std::vector<std::uint8_t> QueuedFrame(std::size_t i) {
    const std::uint8_t* s = plc::TxSlot(i);
    std::size_t len = s[4] | s[5] << 8;
    return std::vector<std::uint8_t>(s + 8, s + 8 + len);
}

class LinkRig {
public:
    explicit LinkRig(greenphy::ModemConfig config = {}, greenphy::PcapWriter* pcap = nullptr);
    ~LinkRig();
    LinkRig(const LinkRig&) = delete;
    LinkRig& operator=(const LinkRig&) = delete;

    void DriverStep() { plc::GreenPHY_DriverStep(fd); }
    // One driver pass and one controller pass.
    void Pass() {
        DriverStep();
        plc::Task_Schedular(fd);
    }
    // Runs driver steps until the driver runs (PHY state 2); false after `max` steps.
    bool SyncDriver(int max = 5000);
    // Runs passes until `done` holds; false after `max` passes.
    bool RunUntil(const std::function<bool()>& done, int max = 5000);

    void SetPilot(std::uint8_t v) { map[2160] = v; }
    std::uint32_t StatusWord() const { return regmap::RegisterMap(const_cast<std::uint8_t*>(map.data())).get(regmap::U32{2197}); }
    std::uint16_t PhyState() { return plc::LoadWord(plc::kPhyState); }

    // The powerline peer: sends a frame to the modem's line side / takes one.
    void PeerSend(const std::vector<std::uint8_t>& frame);
    std::vector<std::uint8_t> PeerReceive();

    // A frame of `len` bytes: broadcast destination, a peer source, EtherType
    // 0x86DD, payload bytes counting up from `seed`.
    static std::vector<std::uint8_t> MakeFrame(std::size_t len, std::uint8_t seed);

    platform::TestClock clock;
    platform::ScopedClock scopedClock{clock};
    int sp[2] = {-1, -1};
    std::unique_ptr<greenphy::FdLine> line;
    std::unique_ptr<greenphy::GreenPhyModem> modem;
    std::unique_ptr<greenphy::ModemGpio> gpio;
    std::unique_ptr<SpiInterposer> bus;
    std::vector<std::uint8_t> map;
    alignas(64) std::uint8_t segment[plc::kFrameSegmentSize];
    int fd = -1;

private:
    platform::SpiDevice* prevSpi_ = nullptr;
    platform::Gpio* prevGpio_ = nullptr;
};
