// GreenPhyModem: the emulated Green PHY modem as a program of the simulation.
// Marlet's driver reaches its SPI side through a unix socket (set
// GREENPHY_SPI_SOCKET to the same path for Marlet); its line side is a TAP
// interface; its reset line is GPIO 79 of the station root (STATION_ROOT).
// Data frames cross the line only for a vehicle that joined the network
// through SLAC; every sound from the line is reported to the host with the
// attenuation groups of --atten (one value for all 58 groups, or a list).
// --write-space-short N makes every Nth write-space read find no room.
// SIGUSR1 makes the line lose a fifth of the data frames, SIGUSR2 ends it.
//
//   GreenPhyModem --socket PATH [--tap NAME] [--pcap FILE] [--mac aa:bb:cc:dd:ee:ff]
//                 [--set-key-result N] [--reset-delay-ms N] [--silent]
//                 [--atten N[,N...]] [--write-space-short N]
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gpio.h"
#include "greenphy_modem.h"
#include "line.h"
#include "spi.h"

namespace {

bool ParseMac(const std::string& text, std::uint8_t mac[6]) {
    unsigned v[6];
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) return false;
    for (int i = 0; i < 6; ++i) {
        if (v[i] > 255) return false;
        mac[i] = static_cast<std::uint8_t>(v[i]);
    }
    return true;
}

int Listen(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) return -1;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool ParseAtten(const std::string& text, std::vector<std::uint8_t>* out) {
    std::vector<std::uint8_t> v;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find(',', pos);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(pos, end - pos);
        char* rest = nullptr;
        long n = std::strtol(item.c_str(), &rest, 10);
        if (item.empty() || *rest || n < 0 || n > 255) return false;
        v.push_back(static_cast<std::uint8_t>(n));
        pos = end + 1;
    }
    if (v.empty() || v.size() > 255) return false;
    if (v.size() == 1) v.assign(58, v[0]);
    *out = v;
    return true;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: GreenPhyModem --socket PATH [--tap NAME] [--pcap FILE] [--mac MAC] "
                 "[--set-key-result N] [--reset-delay-ms N] [--silent] [--atten N[,N...]] "
                 "[--write-space-short N]\n");
    return 2;
}

}  // namespace

namespace {
// SIGUSR1 makes the line lose a fifth of the data frames, SIGUSR2 ends it.
volatile sig_atomic_t g_loss = 0;
void LossOn(int) { g_loss = 20; }
void LossOff(int) { g_loss = 0; }
}  // namespace

int main(int argc, char** argv) {
    greenphy::ModemConfig config;
    config.requireMatch = true;
    std::string socketPath, tapName = "plc0", pcapPath;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--silent") config.managementSilent = true;
        else if (a == "--socket" && hasValue) socketPath = argv[++i];
        else if (a == "--tap" && hasValue) tapName = argv[++i];
        else if (a == "--pcap" && hasValue) pcapPath = argv[++i];
        else if (a == "--mac" && hasValue) {
            if (!ParseMac(argv[++i], config.mac)) return Usage();
        } else if (a == "--set-key-result" && hasValue) config.setKeyResult = static_cast<std::uint8_t>(std::atoi(argv[++i]));
        else if (a == "--reset-delay-ms" && hasValue) config.resetDelayMs = std::atoi(argv[++i]);
        else if (a == "--atten" && hasValue) {
            if (!ParseAtten(argv[++i], &config.attenuation)) return Usage();
        } else if (a == "--write-space-short" && hasValue)
            config.writeSpaceShortEvery = static_cast<std::uint32_t>(std::atoi(argv[++i]));
        else return Usage();
    }
    if (socketPath.empty()) return Usage();

    std::string error;
    int tap = greenphy::OpenTap(tapName, &error);
    if (tap < 0) {
        std::fprintf(stderr, "GreenPhyModem: %s\n", error.c_str());
        return 1;
    }
    greenphy::FdLine line(tap);
    greenphy::PcapWriter pcap;
    if (!pcapPath.empty() && !pcap.Open(pcapPath)) {
        std::fprintf(stderr, "GreenPhyModem: cannot write %s\n", pcapPath.c_str());
        return 1;
    }
    greenphy::GreenPhyModem modem(config, &line, pcapPath.empty() ? nullptr : &pcap);
    int listener = Listen(socketPath);
    if (listener < 0) {
        std::fprintf(stderr, "GreenPhyModem: cannot listen on %s\n", socketPath.c_str());
        return 1;
    }
    std::printf("GreenPhyModem: SPI on %s, line on %s\n", socketPath.c_str(), tapName.c_str());
    std::fflush(stdout);

    signal(SIGUSR1, LossOn);
    signal(SIGUSR2, LossOff);
    auto& gpio = platform::GetGpio();
    int client = -1;
    std::string tx;
    std::vector<std::uint8_t> rx;
    for (;;) {
        // The reset line: the value file of GPIO 79 (missing: released).
        auto level = gpio.ReadChar(79);
        modem.SetResetLine(level && *level == '0' ? 0 : 1);
        modem.SetDataLoss(static_cast<unsigned>(g_loss));

        pollfd fds[2] = {{client >= 0 ? client : listener, POLLIN, 0}, {tap, POLLIN, 0}};
        if (poll(fds, 2, 5) < 0) continue;
        if (fds[1].revents & POLLIN) modem.PollLine();
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        if (client < 0) {
            client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            continue;
        }
        unsigned bits = 8;
        if (!platform::ReadSpiRequest(client, tx, bits)) {
            close(client);
            client = -1;
            continue;
        }
        rx.assign(tx.size(), 0);
        modem.Transfer(reinterpret_cast<const std::uint8_t*>(tx.data()), rx.data(), tx.size(), bits);
        platform::WriteSpiAnswer(client, rx.data(), rx.size());
    }
}
