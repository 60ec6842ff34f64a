#include "can.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "command.h"
#include "paths.h"
#include "unix_socket.h"

namespace platform {
namespace {

static_assert(sizeof(can_frame) == sizeof(CanFrame), "the record is the kernel's frame");

bool ReadRecord(int fd, CanFrame& frame, bool waitFirst) {
    if (waitFirst) {
        pollfd p{fd, POLLIN, 0};
        int r;
        do {
            r = poll(&p, 1, kCanTimeoutUs / 1000);
        } while (r < 0 && errno == EINTR);
        if (r <= 0) return false;
    }
    CanFrame in{};
    ssize_t n;
    do {
        n = recv(fd, &in, sizeof in, waitFirst ? MSG_DONTWAIT : 0);
    } while (n < 0 && errno == EINTR);
    // A record that is not a whole frame, or claims more than eight data
    // bytes, is not a frame of this bus.
    if (n != static_cast<ssize_t>(sizeof in) || in.len > 8) return false;
    frame = in;
    return true;
}

// One member of a bus: a SocketCAN raw socket, whose own receive time-out
// paces a read, or a hub socket, where the read waits in poll.
class CanSocket final : public CanBus {
public:
    CanSocket(int fd, bool pollFirst) : fd_(fd), pollFirst_(pollFirst) {}
    ~CanSocket() override { close(fd_); }
    bool Write(const CanFrame& f) override {
        return send(fd_, &f, sizeof f, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof f);
    }
    bool Read(CanFrame& f) override { return ReadRecord(fd_, f, pollFirst_); }

private:
    int fd_;
    bool pollFirst_;
};

void TellHub(const std::string& ifname, const char* what) {
    int fd = ConnectSeqPacket(SystemPath(CanHubSocketPath(ifname)));
    if (fd < 0) return;
    send(fd, what, std::strlen(what), MSG_NOSIGNAL);
    close(fd);
}

}  // namespace

std::unique_ptr<CanBus> OpenSocketCan(const std::string& ifname, CanOpenStep* step) {
    auto fail = [&](CanOpenStep s, int fd) -> std::unique_ptr<CanBus> {
        if (step) *step = s;
        if (fd >= 0) close(fd);
        return nullptr;
    };
    int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) return fail(CanOpenStep::Socket, -1);
    timeval tv{0, kCanTimeoutUs};
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
    return std::make_unique<CanSocket>(fd, false);
}

std::string CanHubSocketPath(const std::string& ifname) { return "/run/can/" + ifname; }

std::unique_ptr<CanBus> ConnectCanHub(const std::string& ifname, CanOpenStep* step) {
    int fd = ConnectSeqPacket(SystemPath(CanHubSocketPath(ifname)));
    if (fd < 0) {
        if (step) *step = CanOpenStep::NoInterface;
        return nullptr;
    }
    if (step) *step = CanOpenStep::Ok;
    return std::make_unique<CanSocket>(fd, true);
}

std::unique_ptr<CanBus> OpenCan(const std::string& ifname, CanOpenStep* step) {
    return IsSandboxRoot() ? ConnectCanHub(ifname, step) : OpenSocketCan(ifname, step);
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
