// modem_sim: an emulated cellular module on ptys. Each node the module shows
// is a pty linked under the station root ("<root>/dev/ttyACM1" ->
// /dev/pts/N); nodes vanish and come back when the module restarts (AT+CFUN
// or a pulse on GPIO 69 under <root>/sys/class/gpio). Every line received is
// logged. Faults and values can be changed while it runs through a control
// file, one order per line:
//   fault <silent|error|cme|flood|split|none> <command text or *>
//   set <model|revision|imei|imsi|iccid|csq|cesq|creg|cind|cpin|sysinfo|cops|smoni|srvset|provcfg|rxpower> <value>
//
// usage: modem_sim --root DIR --model NAME [--restart-ms N] [--board-type 0|1]
//                  [--log FILE] [--control FILE]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "clock.h"
#include "modem_device.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Pty {
    int master = -1;
    int slave = -1;
    std::string link;
};

bool OpenPty(Pty& p, const std::string& link) {
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) return false;
    const std::string name = ptsname(p.master);
    // The module's side holds the line open, so the host's closing never
    // hangs it up, and its line discipline is raw from the start.
    p.slave = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.slave < 0) return false;
    termios t{};
    tcgetattr(p.slave, &t);
    cfmakeraw(&t);
    tcsetattr(p.slave, TCSANOW, &t);
    fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
    unlink(link.c_str());
    if (symlink(name.c_str(), link.c_str()) != 0) return false;
    p.link = link;
    return true;
}

void ClosePty(Pty& p) {
    if (!p.link.empty()) unlink(p.link.c_str());
    if (p.master >= 0) close(p.master);
    if (p.slave >= 0) close(p.slave);
    p = Pty{};
}

std::int64_t MTimeNs(const std::string& path) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

sim::Fault ParseFault(const std::string& k) {
    if (k == "silent") return sim::Fault::Silent;
    if (k == "error") return sim::Fault::Error;
    if (k == "cme") return sim::Fault::CmeError;
    if (k == "flood") return sim::Fault::Flood;
    if (k == "split") return sim::Fault::Split;
    return sim::Fault::None;
}

void ApplyControl(sim::ModemDevice& dev, const std::string& path) {
    std::ifstream in(path);
    std::string line;
    dev.ClearFaults();
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string verb, a;
        f >> verb >> a;
        std::string rest;
        std::getline(f, rest);
        if (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
        auto& s = dev.script();
        if (verb == "fault") {
            dev.SetFault(rest, ParseFault(a));
        } else if (verb == "set") {
            std::map<std::string, std::string*> texts = {
                {"model", &s.model}, {"revision", &s.revision}, {"imei", &s.imei},   {"imsi", &s.imsi},
                {"iccid", &s.iccid}, {"csq", &s.csq},           {"cesq", &s.cesq},   {"creg", &s.creg},
                {"cind", &s.cind},   {"cpin", &s.cpin},         {"sysinfo", &s.sysinfo}, {"cops", &s.cops},
                {"smoni", &s.smoni}, {"srvset", &s.srvset},     {"rxpower", &s.rxPower}};
            if (auto it = texts.find(a); it != texts.end()) *it->second = rest;
            if (a == "provcfg") s.provCfg = std::atoi(rest.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string root, model = "TOBY-L210", log, control;
    int restartMs = 3000;
    std::string boardType = "0";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--root") root = v;
        else if (k == "--model") model = v;
        else if (k == "--restart-ms") restartMs = std::atoi(v.c_str());
        else if (k == "--board-type") boardType = v;
        else if (k == "--log") log = v;
        else if (k == "--control") control = v;
    }
    if (root.empty()) {
        std::fprintf(stderr, "usage: modem_sim --root DIR --model NAME [--restart-ms N] [--board-type 0|1] "
                             "[--log FILE] [--control FILE]\n");
        return 2;
    }
    if (log.empty()) log = root + "/modem-sim.log";
    if (control.empty()) control = root + "/modem-sim.ctl";
    std::filesystem::create_directories(root + "/dev");
    const std::string gpio = root + "/sys/class/gpio";
    std::filesystem::create_directories(gpio + "/gpio74");
    std::filesystem::create_directories(gpio + "/gpio69");
    std::ofstream(gpio + "/gpio74/value") << boardType << "\n";
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    signal(SIGPIPE, SIG_IGN);

    sim::ModemScript script;
    script.model = model;
    sim::ModemDevice dev(script);
    dev.restartMs = restartMs;
    platform::SystemClock clock;
    std::map<std::string, Pty> nodes;
    unsigned generation = dev.Generation();
    std::int64_t gpioSeen = MTimeNs(gpio + "/gpio69/value");
    std::int64_t controlSeen = -1;
    std::string answerNode;
    std::size_t logged = 0;
    std::ofstream logFile(log, std::ios::app);

    while (!g_stop) {
        const std::int64_t now = clock.MonotonicMs();
        dev.Tick(now);
        if (std::int64_t m = MTimeNs(control); m != controlSeen) {
            controlSeen = m;
            ApplyControl(dev, control);
        }
        if (std::int64_t m = MTimeNs(gpio + "/gpio69/value"); m != gpioSeen) {
            gpioSeen = m;
            std::ifstream v(gpio + "/gpio69/value");
            char c = '0';
            if (v >> c && c == '1') {
                logFile << "power cycle\n" << std::flush;
                dev.PowerCycle(now);
            }
        }
        if (dev.Generation() != generation) {
            generation = dev.Generation();
            for (auto& [n, p] : nodes) ClosePty(p);
            nodes.clear();
        }
        // Nodes follow what the module shows now.
        const auto want = dev.Nodes(now);
        for (auto it = nodes.begin(); it != nodes.end();) {
            if (std::find(want.begin(), want.end(), it->first) == want.end()) {
                ClosePty(it->second);
                it = nodes.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& n : want) {
            if (nodes.count(n)) continue;
            Pty p;
            if (OpenPty(p, root + n)) nodes[n] = p;
            else ClosePty(p);
        }
        // Bytes from the host.
        std::vector<pollfd> fds;
        std::vector<std::string> names;
        for (auto& [n, p] : nodes) {
            fds.push_back({p.master, POLLIN, 0});
            names.push_back(n);
        }
        poll(fds.data(), fds.size(), 10);
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            char buf[512];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                answerNode = names[i];
                dev.Receive(std::string(buf, static_cast<std::size_t>(n)), clock.MonotonicMs());
            }
        }
        for (; logged < dev.Lines().size(); ++logged) logFile << answerNode << " " << dev.Lines()[logged] << "\n";
        logFile.flush();
        // Answers go back on the node the command came in on; a split answer in pieces.
        if (dev.HasOutput() && nodes.count(answerNode)) {
            std::string chunk = dev.Take(4096);
            const int fd = nodes[answerNode].master;
            std::size_t off = 0;
            while (off < chunk.size()) {
                ssize_t w = write(fd, chunk.data() + off, chunk.size() - off);
                if (w > 0) off += static_cast<std::size_t>(w);
                else if (w < 0 && errno != EAGAIN && errno != EINTR) break;
                else usleep(1000);
            }
            if (dev.HasOutput()) usleep(30000);
        }
    }
    for (auto& [n, p] : nodes) ClosePty(p);
    return 0;
}
