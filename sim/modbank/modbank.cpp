// modbank: a bank of rectifier modules on the simulated can0.
//
// Usage: modbank [--modules N] [--load OHMS] [--control FIFO] [--outlet]
// With --outlet the modules feed the CHAdeMO outlet instead of the load:
// the bank follows the outlet's relay (register-map byte 2783, as the
// station controller answered it) and writes what the station's voltmeter
// at the outlet reads into the map (bytes 1-2); the vehicle tells its
// battery and contactor through the control FIFO.
// The control FIFO takes lines that change the modules while they run:
//   vehicle DV 0|1    the vehicle's battery voltage (0.1 V) and its contactor (1 closed)
//   overvolt DV       a regulation fault: the output runs DV (0.1 V) above the plant
//   status A WORD     the status word of module A's reports (hex, e.g. 0x00000203)
//   hwfault A 0|1     byte 1 of module A's heartbeat acknowledge
//   mute A | unmute A module A stops or resumes answering
//   object A N HEX    object 21.N of module A (up to 8 bytes of hex)
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "can.h"
#include "clock.h"
#include "module_bank.h"
#include "regmap.h"
#include "regmap_fields.h"
#include "regmap_power.h"
#include "shm.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void Control(modbank::ModuleBank& bank, const std::string& line) {
    std::istringstream in(line);
    std::string word;
    if (line.starts_with("vehicle ")) {
        unsigned volts = 0, closed = 0;
        if (in >> word >> volts >> closed && volts <= 0xFFFF) {
            bank.outlet.battery = static_cast<std::uint16_t>(volts);
            bank.outlet.contactorClosed = closed != 0;
        }
        return;
    }
    if (line.starts_with("overvolt ")) {
        unsigned volts = 0;
        if (in >> word >> volts && volts <= 0xFFFF) bank.outlet.overVolt = static_cast<std::uint16_t>(volts);
        return;
    }
    unsigned address = 0;
    in >> word >> address;
    modbank::SimModule* m = nullptr;
    for (auto& mod : bank.modules)
        if (mod.address == address) m = &mod;
    if (!m) return;
    if (word == "status") {
        std::string v;
        in >> v;
        m->statusWord = static_cast<std::uint32_t>(std::strtoul(v.c_str(), nullptr, 16));
    } else if (word == "hwfault") {
        int v = 0;
        in >> v;
        m->hardwareFault = static_cast<std::uint8_t>(v);
    } else if (word == "mute") {
        m->muted = true;
    } else if (word == "unmute") {
        m->muted = false;
    } else if (word == "object") {
        unsigned n = 0;
        std::string hex;
        in >> n >> hex;
        if (n > 255) return;
        for (std::size_t i = 0; i + 1 < hex.size() && i / 2 < 8; i += 2)
            m->objects21[n][i / 2] = static_cast<std::uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    }
}

}  // namespace

int main(int argc, char** argv) {
    int count = 2;
    double load = 10.0;
    std::string control;
    bool outlet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--outlet") {
            outlet = true;
            continue;
        }
        if (i + 1 >= argc) break;
        if (a == "--modules") count = std::atoi(argv[++i]);
        else if (a == "--load") load = std::atof(argv[++i]);
        else if (a == "--control") control = argv[++i];
    }
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });
    platform::CanOpenStep step;
    auto bus = platform::OpenCan("can0", &step);
    if (!bus) {
        std::fprintf(stderr, "modbank: can0 not available\n");
        return 1;
    }
    modbank::ModuleBank bank([&](const platform::CanFrame& f) { bus->Write(f); });
    bank.loadOhms = load;
    bank.outletModel = outlet;
    std::uint8_t* mapBase = nullptr;
    if (outlet) {
        std::string error;
        mapBase = platform::AttachSegment(regmap::kMapKey, regmap::kMapSize, false, 0777, &error);
        if (mapBase == nullptr) {
            std::fprintf(stderr, "modbank: no register map for the outlet: %s\n", error.c_str());
            return 1;
        }
    }
    regmap::RegisterMap map(mapBase, mapBase ? regmap::kMapSize : 0);
    for (int i = 0; i < count; ++i)
        bank.Add(static_cast<std::uint16_t>(0x1234 - 0x100 * i), static_cast<std::uint16_t>(0x5600 + i), 0x0001,
                 static_cast<std::uint16_t>(0x9000 + i));
    int fifo = -1;
    if (!control.empty()) fifo = open(control.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    std::string pending;
    auto& clock = platform::GetClock();
    bank.PowerUp();
    std::printf("modbank: %d modules on can0\n", count);
    std::fflush(stdout);
    while (!g_stop) {
        platform::CanFrame f;
        if (bus->Read(f)) bank.Receive(f, clock.MonotonicMs());
        bank.Tick(clock.MonotonicMs());
        if (mapBase != nullptr) {
            // A request still pending leaves the contacts as they were.
            const std::uint8_t relay = map.get(regmap::SHRMEM_RECTIFIER2_RELAY);
            if ((relay & 0x80) == 0) bank.outlet.relaysClosed = (relay & 0x03) == 0x03;
            bank.Plant();
            map.set(regmap::SHRMEM_GET_V1, bank.OutletVoltage());
        }
        if (fifo >= 0) {
            char buf[256];
            const ssize_t n = read(fifo, buf, sizeof buf);
            if (n > 0) pending.append(buf, static_cast<std::size_t>(n));
            for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
                Control(bank, pending.substr(0, nl));
        }
    }
    return 0;
}
