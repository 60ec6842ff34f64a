#include "can.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "command.h"
#include "paths.h"
#include "unix_socket.h"

namespace platform {
namespace {

static_assert(sizeof(can_frame) == sizeof(CanFrame), "the record is the kernel's frame");

enum class Io { Done, Nothing, Broken };

// Errors that say nothing about the bus itself: a time-out, a full queue.
bool Transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ENOBUFS; }

Io ReadRecord(int fd, CanFrame& frame, int pollMs) {
    if (pollMs >= 0) {
        pollfd p{fd, POLLIN, 0};
        int r;
        do {
            r = poll(&p, 1, pollMs);
        } while (r < 0 && errno == EINTR);
        if (r < 0) return Io::Broken;
        if (r == 0) return Io::Nothing;
        // A hung-up socket polls ready for ever: it is gone, not busy.
        if (!(p.revents & POLLIN)) return Io::Broken;
    }
    CanFrame in{};
    ssize_t n;
    do {
        n = recv(fd, &in, sizeof in, pollMs >= 0 ? MSG_DONTWAIT : 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return Io::Broken;  // the other end closed
    if (n < 0) return Transient(errno) ? Io::Nothing : Io::Broken;
    // A record that is not a whole frame, or claims more than eight data
    // bytes, is not a frame of this bus.
    if (n != static_cast<ssize_t>(sizeof in) || in.len > 8) return Io::Nothing;
    frame = in;
    return Io::Done;
}

// One member socket of a bus: a SocketCAN raw socket, whose own receive
// time-out paces a read, or a hub socket, where the read waits in poll.
class CanSocket {
public:
    CanSocket(int fd, int pollMs) : fd_(fd), pollMs_(pollMs) {}
    ~CanSocket() { close(fd_); }
    CanSocket(const CanSocket&) = delete;
    CanSocket& operator=(const CanSocket&) = delete;
    Io Write(const CanFrame& f) {
        if (send(fd_, &f, sizeof f, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof f)) return Io::Done;
        return Transient(errno) ? Io::Nothing : Io::Broken;
    }
    Io Read(CanFrame& f) { return ReadRecord(fd_, f, pollMs_); }

private:
    int fd_;
    int pollMs_;  // -1: the socket's own time-out
};

using SocketOpener = std::unique_ptr<CanSocket> (*)(const std::string&, CanOpenStep*, int);

// The bus as the programs hold it: the socket, and after it failed, the
// pause and the next attempt to open it again.
class Bus final : public CanBus {
public:
    Bus(std::unique_ptr<CanSocket> s, SocketOpener open, std::string ifname, int timeoutUs)
        : sock_(std::move(s)), open_(open), ifname_(std::move(ifname)), timeoutUs_(timeoutUs) {}
    bool Write(const CanFrame& f) override {
        if (!Usable()) return false;
        const Io r = sock_->Write(f);
        if (r == Io::Broken) Drop();
        return r == Io::Done;
    }
    bool Read(CanFrame& f) override {
        if (!Usable()) return Pause();
        switch (sock_->Read(f)) {
        case Io::Done: return true;
        case Io::Nothing: return false;
        case Io::Broken: break;
        }
        Drop();
        return Pause();
    }
    bool Lost() const override { return !sock_; }

private:
    bool Usable() {
        if (sock_) return true;
        const std::int64_t now = GetClock().MonotonicMs();
        if (now - lastTry_ < kCanReopenPauseMs) return false;
        lastTry_ = now;
        sock_ = open_(ifname_, nullptr, timeoutUs_);
        return sock_ != nullptr;
    }
    void Drop() {
        sock_.reset();
        lastTry_ = GetClock().MonotonicMs();
    }
    // A read of a dead bus takes its time-out, as an empty read does.
    bool Pause() {
        GetClock().SleepMs(std::max(1, timeoutUs_ / 1000));
        return false;
    }

    std::unique_ptr<CanSocket> sock_;
    SocketOpener open_;
    std::string ifname_;
    int timeoutUs_;
    std::int64_t lastTry_ = 0;
};

std::unique_ptr<CanSocket> SocketCanSocket(const std::string& ifname, CanOpenStep* step, int timeoutUs) {
    auto fail = [&](CanOpenStep s, int fd) -> std::unique_ptr<CanSocket> {
        if (step) *step = s;
        if (fd >= 0) close(fd);
        return nullptr;
    };
    int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) return fail(CanOpenStep::Socket, -1);
    timeval tv{0, timeoutUs};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return fail(CanOpenStep::FirstOption, fd);
    int buf = kCanBufferBytes;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf) != 0)
        return fail(CanOpenStep::LaterOption, fd);
    const unsigned index = if_nametoindex(ifname.c_str());
    // Index 0 would bind to every CAN interface of the board.
    if (index == 0) return fail(CanOpenStep::NoInterface, fd);
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(index);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail(CanOpenStep::Bind, fd);
    if (step) *step = CanOpenStep::Ok;
    return std::make_unique<CanSocket>(fd, -1);
}

std::unique_ptr<CanSocket> HubSocket(const std::string& ifname, CanOpenStep* step, int timeoutUs) {
    int fd = ConnectSeqPacket(SystemPath(CanHubSocketPath(ifname)));
    if (fd < 0) {
        if (step) *step = CanOpenStep::NoInterface;
        return nullptr;
    }
    // A hub that does not take a record within the time-out loses it, as a
    // full SocketCAN queue does: a send never stalls the sender's loop.
    timeval tv{0, timeoutUs};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (step) *step = CanOpenStep::Ok;
    return std::make_unique<CanSocket>(fd, std::max(1, timeoutUs / 1000));
}

std::unique_ptr<CanBus> MakeBus(SocketOpener open, const std::string& ifname, CanOpenStep* step, int timeoutUs) {
    auto s = open(ifname, step, timeoutUs);
    if (!s) return nullptr;
    return std::make_unique<Bus>(std::move(s), open, ifname, timeoutUs);
}

void TellHub(const std::string& ifname, const char* what) {
    int fd = ConnectSeqPacket(SystemPath(CanHubSocketPath(ifname)));
    if (fd < 0) return;
    send(fd, what, std::strlen(what), MSG_NOSIGNAL);
    close(fd);
}

}  // namespace

std::unique_ptr<CanBus> OpenSocketCan(const std::string& ifname, CanOpenStep* step, int timeoutUs) {
    return MakeBus(SocketCanSocket, ifname, step, timeoutUs);
}

std::string CanHubSocketPath(const std::string& ifname) { return "/run/can/" + ifname; }

std::unique_ptr<CanBus> ConnectCanHub(const std::string& ifname, CanOpenStep* step, int timeoutUs) {
    return MakeBus(HubSocket, ifname, step, timeoutUs);
}

std::unique_ptr<CanBus> OpenCan(const std::string& ifname, CanOpenStep* step, int timeoutUs) {
    return IsSandboxRoot() ? ConnectCanHub(ifname, step, timeoutUs) : OpenSocketCan(ifname, step, timeoutUs);
}

void CanLinkDown(const std::string& ifname) {
    RunCommand("/sbin/ip link set " + ifname + " down", {"/sbin/ip", "link", "set", ifname, "down"});
    if (IsSandboxRoot()) TellHub(ifname, kCanHubDown);
}

void CanLinkUp(const std::string& ifname, int bitrate, int restartMs) {
    const std::string rate = std::to_string(bitrate), restart = std::to_string(restartMs);
    RunCommand("/sbin/ip link set " + ifname + " type can bitrate " + rate + " restart-ms " + restart,
               {"/sbin/ip", "link", "set", ifname, "type", "can", "bitrate", rate, "restart-ms", restart});
    RunCommand("/sbin/ip link set " + ifname + " up", {"/sbin/ip", "link", "set", ifname, "up"});
    if (IsSandboxRoot()) TellHub(ifname, kCanHubUp);
}

std::string CandumpLine(std::int64_t wallUs, const std::string& ifname, const CanFrame& f) {
    char head[64];
    std::snprintf(head, sizeof head, "(%lld.%06lld) ", static_cast<long long>(wallUs / 1000000),
                  static_cast<long long>(wallUs % 1000000));
    std::string line = head + ifname + " ";
    char id[16];
    if (f.can_id & kCanExtendedFlag)
        std::snprintf(id, sizeof id, "%08X#", f.can_id & kCanExtendedMask);
    else
        std::snprintf(id, sizeof id, "%03X#", f.can_id & kCanStandardMask);
    line += id;
    if (f.can_id & kCanRemoteFlag) {
        line += 'R';
    } else {
        for (unsigned i = 0; i < f.len && i < 8; ++i) {
            char b[3];
            std::snprintf(b, sizeof b, "%02X", f.data[i]);
            line += b;
        }
    }
    return line;
}

bool ParseCanFrameText(const std::string& text, CanFrame& frame) {
    const std::size_t hash = text.find('#');
    if (hash != 3 && hash != 8) return false;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    CanFrame f{};
    std::uint32_t id = 0;
    for (std::size_t i = 0; i < hash; ++i) {
        const int h = hex(text[i]);
        if (h < 0) return false;
        id = id << 4 | static_cast<std::uint32_t>(h);
    }
    if (hash == 8) {
        if (id > kCanExtendedMask) return false;
        id |= kCanExtendedFlag;
    } else if (id > kCanStandardMask) {
        return false;
    }
    f.can_id = id;
    const std::string data = text.substr(hash + 1);
    if (data == "R") {
        f.can_id |= kCanRemoteFlag;
    } else {
        if (data.size() % 2 || data.size() > 16) return false;
        for (std::size_t i = 0; i < data.size(); i += 2) {
            const int hi = hex(data[i]), lo = hex(data[i + 1]);
            if (hi < 0 || lo < 0) return false;
            f.data[i / 2] = static_cast<std::uint8_t>(hi << 4 | lo);
        }
        f.len = static_cast<std::uint8_t>(data.size() / 2);
    }
    frame = f;
    return true;
}

}  // namespace platform
