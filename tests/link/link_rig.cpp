#include "link_rig.h"

#include <cstring>

#include "IF_SPI_App.h"
#include "gpio.h"
#include "link_seams.h"
#include "spi.h"

LinkRig::LinkRig(greenphy::ModemConfig config, greenphy::PcapWriter* pcap) : map(262144, 0) {
    socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sp);
    line = std::make_unique<greenphy::FdLine>(sp[0]);
    modem = std::make_unique<greenphy::GreenPhyModem>(config, line.get(), pcap);
    gpio = std::make_unique<greenphy::ModemGpio>(*modem);
    bus = std::make_unique<SpiInterposer>(*modem);
    prevSpi_ = platform::SetSpiDevice(bus.get());
    prevGpio_ = platform::SetGpio(gpio.get());
    plc::Marlet_LoadDefaults();
    std::memset(segment, 0, sizeof(segment));
    plc::Marlet_Setup(map.data(), segment);
    fd = plc::SPI_init();
    // A key set of its own, so that the modem's default network differs.
    for (int i = 0; i < 7; ++i) plc::NID[i] = static_cast<std::uint8_t>(0x30 + i);
    for (int i = 0; i < 16; ++i) plc::test_NMK[i] = static_cast<std::uint8_t>(0xC0 + i);
}

LinkRig::~LinkRig() {
    plc::SPI_close();
    platform::SetSpiDevice(prevSpi_);
    platform::SetGpio(prevGpio_);
    std::memset(plc::NID, 0, sizeof(plc::NID));
    std::memset(plc::test_NMK, 0, sizeof(plc::test_NMK));
    plc::MeterSMPtr = nullptr;
    close(sp[1]);
}

bool LinkRig::SyncDriver(int max) {
    for (int i = 0; i < max; ++i) {
        if (PhyState() == plc::PHY_RUN) return true;
        DriverStep();
    }
    return PhyState() == plc::PHY_RUN;
}

bool LinkRig::RunUntil(const std::function<bool()>& done, int max) {
    for (int i = 0; i < max; ++i) {
        if (done()) return true;
        Pass();
    }
    return done();
}

void LinkRig::PeerSend(const std::vector<std::uint8_t>& frame) { send(sp[1], frame.data(), frame.size(), 0); }

std::vector<std::uint8_t> LinkRig::PeerReceive() {
    std::vector<std::uint8_t> buf(2048);
    ssize_t n = recv(sp[1], buf.data(), buf.size(), MSG_DONTWAIT);
    buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buf;
}

std::vector<std::uint8_t> LinkRig::MakeFrame(std::size_t len, std::uint8_t seed) {
    std::vector<std::uint8_t> f(len);
    for (std::size_t i = 0; i < len; ++i) f[i] = static_cast<std::uint8_t>(seed + i);
    std::memset(f.data(), 0xFF, 6);
    const std::uint8_t src[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::memcpy(f.data() + 6, src, 6);
    f[12] = 0x86;
    f[13] = 0xDD;
    return f;
}
