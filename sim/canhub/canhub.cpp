// canhub: the station's CAN buses in the simulation, where the kernel has no
// CAN. Each interface named on the command line is a SOCK_SEQPACKET socket
// "/run/can/<interface>" under the station root; a member's 16-byte frame
// record goes to every other member of that bus, never back to the sender,
// as CAN_RAW does. A message that is not a record is a control word: "down"
// stops the bus (records are dropped, as on an interface that is down),
// "up" starts it again. Every frame carried is written to
// <dir>/<interface>.pcap (link type 227, Linux SocketCAN, as Wireshark reads
// it) and as a candump log line to <dir>/candump.log.
//
// Usage: canhub [--dir DIR] IF...
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "can.h"
#include "clock.h"
#include "paths.h"

namespace {

struct Bus {
    std::string name;
    int listener = -1;
    std::vector<int> members;
    bool up = true;
    std::FILE* pcap = nullptr;
    long undelivered = 0;   // frames a member's full queue refused
};

volatile std::sig_atomic_t g_stop = 0;

void PutLe32(std::FILE* f, std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    std::fwrite(b, 1, 4, f);
}

std::FILE* OpenPcap(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return nullptr;
    PutLe32(f, 0xA1B2C3D4);
    const std::uint8_t version[4] = {2, 0, 4, 0};
    std::fwrite(version, 1, 4, f);
    PutLe32(f, 0);
    PutLe32(f, 0);
    PutLe32(f, 65535);
    PutLe32(f, 227);  // LINKTYPE_CAN_SOCKETCAN
    std::fflush(f);
    return f;
}

// The pcap form keeps the identifier word in network byte order.
void WritePcap(std::FILE* f, std::int64_t wallUs, const platform::CanFrame& fr) {
    const std::uint32_t len = 8 + fr.len;
    PutLe32(f, static_cast<std::uint32_t>(wallUs / 1000000));
    PutLe32(f, static_cast<std::uint32_t>(wallUs % 1000000));
    PutLe32(f, len);
    PutLe32(f, len);
    const std::uint8_t head[8] = {static_cast<std::uint8_t>(fr.can_id >> 24), static_cast<std::uint8_t>(fr.can_id >> 16),
                                  static_cast<std::uint8_t>(fr.can_id >> 8), static_cast<std::uint8_t>(fr.can_id),
                                  fr.len, 0, 0, 0};
    std::fwrite(head, 1, 8, f);
    std::fwrite(fr.data, 1, fr.len, f);
    std::fflush(f);
}

int Listen(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) return -1;
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = ".";
    std::vector<Bus> buses;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) dir = argv[++i];
        else {
            Bus b;
            b.name = a;
            buses.push_back(b);
        }
    }
    if (buses.empty()) {
        std::fprintf(stderr, "usage: canhub [--dir DIR] IF...\n");
        return 2;
    }
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::signal(SIGPIPE, SIG_IGN);
    std::error_code ec;
    std::filesystem::create_directories(platform::SystemPath("/run/can"), ec);
    std::ofstream candump(dir + "/candump.log", std::ios::app);
    for (Bus& b : buses) {
        const std::string path = platform::SystemPath(platform::CanHubSocketPath(b.name));
        b.listener = Listen(path);
        b.pcap = OpenPcap(dir + "/" + b.name + ".pcap");
        if (b.listener < 0 || !b.pcap) {
            std::fprintf(stderr, "canhub: cannot serve %s at %s\n", b.name.c_str(), path.c_str());
            return 1;
        }
    }
    std::printf("canhub: serving");
    for (const Bus& b : buses) std::printf(" %s", b.name.c_str());
    std::printf("\n");
    std::fflush(stdout);

    auto& clock = platform::GetClock();
    while (!g_stop) {
        std::vector<pollfd> fds;
        std::vector<std::pair<std::size_t, int>> owner;  // bus, member index (-1 = listener)
        for (std::size_t i = 0; i < buses.size(); ++i) {
            fds.push_back({buses[i].listener, POLLIN, 0});
            owner.push_back({i, -1});
            for (std::size_t m = 0; m < buses[i].members.size(); ++m) {
                fds.push_back({buses[i].members[m], POLLIN, 0});
                owner.push_back({i, static_cast<int>(m)});
            }
        }
        if (poll(fds.data(), fds.size(), 200) <= 0) continue;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (!fds[k].revents) continue;
            Bus& b = buses[owner[k].first];
            if (owner[k].second < 0) {
                int c = accept4(b.listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) b.members.push_back(c);
                continue;
            }
            const int fd = fds[k].fd;
            char buf[64];
            const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
                close(fd);
                std::erase(b.members, fd);
                continue;
            }
            if (n == static_cast<ssize_t>(sizeof(platform::CanFrame))) {
                platform::CanFrame f;
                std::memcpy(&f, buf, sizeof f);
                if (!b.up || f.len > 8) continue;
                const std::int64_t us = clock.WallMs() * 1000;
                WritePcap(b.pcap, us, f);
                candump << platform::CandumpLine(us, b.name, f) << '\n' << std::flush;
                // A member that does not read in time loses frames, as a
                // SocketCAN socket whose receive queue is full does; said,
                // so that a test that misses a frame shows where it went.
                for (int other : b.members) {
                    if (other == fd || send(other, &f, sizeof f, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) continue;
                    if (errno != EAGAIN && errno != EWOULDBLOCK) continue;
                    if (++b.undelivered == 1 || b.undelivered % 100 == 0) {
                        std::printf("canhub: %s: %ld frames not delivered to a member whose queue was full\n",
                                    b.name.c_str(), b.undelivered);
                        std::fflush(stdout);
                    }
                }
            } else if (n > 0) {
                const std::string word(buf, static_cast<std::size_t>(n));
                if (word == platform::kCanHubDown) b.up = false;
                else if (word == platform::kCanHubUp) b.up = true;
            }
        }
    }
    for (Bus& b : buses) {
        unlink(platform::SystemPath(platform::CanHubSocketPath(b.name)).c_str());
        if (b.pcap) std::fclose(b.pcap);
    }
    return 0;
}
