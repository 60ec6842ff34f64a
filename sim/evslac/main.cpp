// EvSlac: the vehicle's side of SLAC as a program of the simulation. It
// speaks HomePlug AV management messages (EtherType 0x88E1) on a network
// interface, normally the vehicle's end of the emulated modem's line, with
// that interface's MAC address unless --mac gives another.
//
//   EvSlac --if NAME [--mac aa:bb:cc:dd:ee:ff] [--fault none|silent|wrong-run-id|foreign-match]
//          [--timeout-ms N]
// Exits 0 once matched, 1 when SLAC failed or the time ran out, 2 on bad usage.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ev_slac.h"
#include "line.h"
#include "packet_line.h"

namespace {

std::string Hex(const std::vector<std::uint8_t>& b) {
    std::string s;
    char x[4];
    for (auto v : b) {
        std::snprintf(x, sizeof(x), "%02x", v);
        s += x;
    }
    return s;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: EvSlac --if NAME [--mac MAC] [--fault none|silent|wrong-run-id|foreign-match] "
                 "[--timeout-ms N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string ifname;
    evsim::EvConfig config;
    bool macGiven = false;
    std::int64_t timeoutMs = 20000;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--if" && hasValue) ifname = argv[++i];
        else if (a == "--mac" && hasValue) {
            if (!evsim::ParseMac(argv[++i], &config.mac)) return Usage();
            macGiven = true;
        } else if (a == "--fault" && hasValue) {
            if (!evsim::ParseFault(argv[++i], &config.fault)) return Usage();
        } else if (a == "--timeout-ms" && hasValue) timeoutMs = std::atoll(argv[++i]);
        else return Usage();
    }
    if (ifname.empty()) return Usage();

    evsim::Mac ifMac = config.mac;
    std::string error;
    int fd = evsim::OpenHpavSocket(ifname, &ifMac, &error);
    if (fd < 0) {
        std::fprintf(stderr, "EvSlac: %s\n", error.c_str());
        return 1;
    }
    if (!macGiven) config.mac = ifMac;
    greenphy::FdLine line(fd);
    evsim::EvSlac ev(config, &line);
    std::printf("EvSlac: on %s as %02x:%02x:%02x:%02x:%02x:%02x, %s\n", ifname.c_str(), config.mac[0], config.mac[1],
                config.mac[2], config.mac[3], config.mac[4], config.mac[5], ev.StateName());
    std::fflush(stdout);
    evsim::StepUntilDone(fd, &ev, timeoutMs, "EvSlac");
    if (ev.state() == evsim::EvSlac::State::Matched) {
        std::printf("EvSlac: matched with %02x:%02x:%02x:%02x:%02x:%02x, NID %s, %d sounds reported\n",
                    ev.station()[0], ev.station()[1], ev.station()[2], ev.station()[3], ev.station()[4],
                    ev.station()[5], Hex(ev.nid()).c_str(), ev.soundsReported());
        return 0;
    }
    if (ev.state() == evsim::EvSlac::State::Failed) return 1;
    std::printf("EvSlac: no match within %lld ms (%s)\n", static_cast<long long>(timeoutMs), ev.StateName());
    return 1;
}
