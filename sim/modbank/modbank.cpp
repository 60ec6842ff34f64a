// modbank: a bank of rectifier modules on the simulated can0.
//
// Usage: modbank [--modules N] [--load OHMS] [--control FIFO]
// The control FIFO takes lines that change the modules while they run:
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

namespace {

volatile std::sig_atomic_t g_stop = 0;

void Control(modbank::ModuleBank& bank, const std::string& line) {
    std::istringstream in(line);
    std::string word;
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
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--modules") count = std::atoi(argv[i + 1]);
        else if (a == "--load") load = std::atof(argv[i + 1]);
        else if (a == "--control") control = argv[i + 1];
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
