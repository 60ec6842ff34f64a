// relay: joins two simulated boards by a serial line made of two pseudo
// terminals. Each board's device path becomes a link to one pty; what one
// board writes, the other reads, paced and broken up as a real line may be.
//
//   relay --link-a ROOT_A/dev/ttyS2 --link-b ROOT_B/dev/ttyAMA4
//         [--baud 115200] [--split] [--drop RATE] [--corrupt RATE] [--seed N]
//
// --baud paces each direction at baud / 10 bytes per second (8N1). On
// SIGUSR1 and at its end the relay prints what it has done to the bytes:
//   relay: to B 123456 bytes, 12 dropped, 120 corrupted; to A ...
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "clock.h"
#include "line_shaper.h"
#include "serial.h"

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_report = 0;
void OnSignal(int) { g_stop = 1; }
void OnReport(int) { g_report = 1; }

void Report(const sim::LineShaper& toB, const sim::LineShaper& toA) {
    std::printf("relay: to B %llu bytes, %llu dropped, %llu corrupted; to A %llu bytes, %llu dropped, %llu corrupted\n",
                static_cast<unsigned long long>(toB.bytes()), static_cast<unsigned long long>(toB.dropped()),
                static_cast<unsigned long long>(toB.corrupted()), static_cast<unsigned long long>(toA.bytes()),
                static_cast<unsigned long long>(toA.dropped()), static_cast<unsigned long long>(toA.corrupted()));
    std::fflush(stdout);
}

struct Pty {
    int master = -1;
    int slave = -1;  // kept open so the line never hangs up between openers
    std::string name;
};

bool OpenPty(Pty& p, const std::string& link) {
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) return false;
    p.name = ptsname(p.master);
    p.slave = open(p.name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.slave < 0) return false;
    termios t{};
    tcgetattr(p.master, &t);
    cfmakeraw(&t);
    tcsetattr(p.master, TCSANOW, &t);
    platform::SetRawLine(p.slave);  // raw before any board opens it: no echo, no line editing
    unlink(link.c_str());
    if (symlink(p.name.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "relay: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

std::int64_t NowUs() { return platform::GetClock().MonotonicMs() * 1000; }

}  // namespace

int main(int argc, char** argv) {
    std::string linkA, linkB;
    sim::LineOptions o;
    std::uint32_t seed = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--split") {
            o.split = true;
        } else if (v == nullptr) {
            std::fprintf(stderr, "relay: %s needs a value\n", a.c_str());
            return 2;
        } else if (a == "--link-a") {
            linkA = v, ++i;
        } else if (a == "--link-b") {
            linkB = v, ++i;
        } else if (a == "--baud") {
            o.bytesPerSecond = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10) / 10), ++i;
        } else if (a == "--drop") {
            o.dropRate = std::strtod(v, nullptr), ++i;
        } else if (a == "--corrupt") {
            o.corruptRate = std::strtod(v, nullptr), ++i;
        } else if (a == "--seed") {
            seed = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10)), ++i;
        } else {
            std::fprintf(stderr, "relay: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (linkA.empty() || linkB.empty()) {
        std::fprintf(stderr, "usage: relay --link-a PATH --link-b PATH [--baud N] [--split] [--drop R] [--corrupt R] [--seed N]\n");
        return 2;
    }
    Pty a, b;
    if (!OpenPty(a, linkA) || !OpenPty(b, linkB)) return 1;
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    signal(SIGUSR1, OnReport);
    std::printf("relay: %s=%s %s=%s\n", linkA.c_str(), a.name.c_str(), linkB.c_str(), b.name.c_str());
    std::fflush(stdout);

    sim::LineShaper toB(o, seed), toA(o, seed + 1);
    struct Dir {
        int from, to;
        sim::LineShaper& shaper;
    } dirs[] = {{a.master, b.master, toB}, {b.master, a.master, toA}};

    while (!g_stop) {
        if (g_report) {
            g_report = 0;
            Report(toB, toA);
        }
        // Wait for input or for the next chunk that falls due.
        int timeoutMs = 100;
        for (const Dir& d : dirs) {
            const std::int64_t due = d.shaper.NextDueUs();
            if (due >= 0) timeoutMs = std::min<int>(timeoutMs, static_cast<int>(std::max<std::int64_t>(0, (due - NowUs() + 999) / 1000)));
        }
        pollfd p[2] = {{a.master, POLLIN, 0}, {b.master, POLLIN, 0}};
        if (poll(p, 2, timeoutMs) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & POLLIN)) continue;
            std::uint8_t buf[512];
            const ssize_t n = read(dirs[i].from, buf, sizeof buf);
            if (n > 0) dirs[i].shaper.Push(buf, static_cast<std::size_t>(n), NowUs());
        }
        for (Dir& d : dirs) {
            for (;;) {
                const std::vector<std::uint8_t> chunk = d.shaper.Take(NowUs());
                if (chunk.empty()) break;
                platform::WriteAll(d.to, chunk.data(), chunk.size());
                if (o.split) break;  // one chunk per turn: the reader sees it on its own
            }
        }
    }
    Report(toB, toA);
    unlink(linkA.c_str());
    unlink(linkB.c_str());
    return 0;
}
