// chademo-ev: a CHAdeMO vehicle on the station's can1 and the charger's GPIO
// lines under the root. It plugs in, sends its three frames every 100 ms,
// answers d1 with permission and charging enabled, closes its contactor on
// d2, asks for its current, ends the charge after a while as a vehicle does
// (or stops in the ways asked for) and unplugs once the charger let go. As
// it goes it checks the charger's frames: the 0x109 period, the status bits
// and the current 0x108 announces. It exits 0 when every check held.
//
// With --plant FIFO (the module bank's control) its battery and contactor
// are part of the bank's outlet model: it tells the bank its battery voltage
// and each change of its contactor, and the current the charger reports
// (0x109) must then reach its request.
//
//   chademo-ev [--protocol N] [--target V] [--max-volts V] [--request A]
//              [--charge-ms MS] [--silent] [--silent-at MS] [--early]
//              [--time-10s N] [--plant FIFO] [--battery V] [--expect-fault MASK]
//              [--expect-refusal] [--expect-silence] [--over-ask] [--steps]
// --steps prints each step of the vehicle's side as it passes.
// --expect-fault: the charger must show one of these 0x109 status bits;
// --expect-refusal: it must never energise the outlet.
// A charger whose frames stop for a second while d1 is on has failed: the
// vehicle opens its contactor, withdraws its permission, ends its frames and
// leaves, as CHAdeMO asks of it; --expect-silence says the test causes that.
// --over-ask: the vehicle asks more than the charger announces, on purpose.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "can.h"
#include "clock.h"
#include "gpio.h"
#include "paths.h"

namespace {

constexpr int kD1 = 82, kD2 = 68, kJ = 44, kProximity = 46, kLock = 80, kLockDetect = 85;

struct Options {
    int protocol = 2, target = 400, maxVolts = 500, request = 30, time10s = 60, battery = 350, expectFault = 0;
    long chargeMs = 5000, silentAt = 0;
    bool silent = false, early = false, expectRefusal = false, expectSilence = false, overAsk = false, steps = false;
    std::string plant;
};

// The battery and contactor as the bank's outlet model sees them.
void TellPlant(const std::string& fifo, int batteryVolts, bool closed) {
    if (fifo.empty()) return;
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    const std::string line = "vehicle " + std::to_string(batteryVolts * 10) + (closed ? " 1\n" : " 0\n");
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        std::fprintf(stderr, "chademo-ev: the module bank did not take the battery's state\n");
    close(fd);
}

bool High(int line) { return platform::GetGpio().ReadChar(line).value_or('0') == '1'; }
// The vehicle's inputs to the charger change in one step (a new file
// renamed over the old), so the charger never reads a half-written value.
void Set(int line, bool high) {
    const std::string dir = platform::SystemPath("/sys/class/gpio/gpio" + std::to_string(line));
    const std::string temp = dir + "/.value";
    if (FILE* f = std::fopen(temp.c_str(), "w")) {
        std::fputs(high ? "1\n" : "0\n", f);
        std::fclose(f);
        std::rename(temp.c_str(), (dir + "/value").c_str());
    }
}

platform::CanFrame Frame(std::uint32_t id, std::initializer_list<int> bytes) {
    platform::CanFrame f{};
    f.can_id = id;
    f.len = 8;
    int i = 0;
    for (int b : bytes) f.data[i++] = static_cast<std::uint8_t>(b);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::strtol(argv[++i], nullptr, 0) : 0L; };
        if (a == "--protocol") o.protocol = static_cast<int>(next());
        else if (a == "--target") o.target = static_cast<int>(next());
        else if (a == "--max-volts") o.maxVolts = static_cast<int>(next());
        else if (a == "--battery") o.battery = static_cast<int>(next());
        else if (a == "--expect-fault") o.expectFault = static_cast<int>(next());
        else if (a == "--plant") o.plant = i + 1 < argc ? argv[++i] : "";
        else if (a == "--request") o.request = static_cast<int>(next());
        else if (a == "--charge-ms") o.chargeMs = next();
        else if (a == "--silent-at") o.silentAt = next();
        else if (a == "--time-10s") o.time10s = static_cast<int>(next());
        else if (a == "--silent") o.silent = true;
        else if (a == "--early") o.early = true;
        else if (a == "--expect-refusal") o.expectRefusal = true;
        else if (a == "--expect-silence") o.expectSilence = true;
        else if (a == "--over-ask") o.overAsk = true;
        else if (a == "--steps") o.steps = true;
        else {
            std::fprintf(stderr, "chademo-ev: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    auto& gpio = platform::GetGpio();
    for (int line : {kD1, kD2, kJ, kProximity, kLock, kLockDetect}) gpio.Export(line);
    Set(kJ, !o.early);           // 0 is permission
    Set(kLockDetect, true);      // 0 is locked
    Set(kProximity, false);      // plugged in
    // The lock detector follows the lock drive within a millisecond, as the
    // connector's switch does.
    // It is stopped before the program ends, while the GPIO access it uses
    // still exists.
    std::atomic<bool> unplugged{false};
    std::jthread lockSwitch([&unplugged] {
        for (bool locked = false; !unplugged; usleep(500)) {
            const bool drive = High(kLock);
            if (drive != locked) Set(kLockDetect, !drive), locked = drive;
        }
    });
    struct StopSwitch {
        std::atomic<bool>& flag;
        std::jthread& thread;
        ~StopSwitch() { flag = true; if (thread.joinable()) thread.join(); }
    } stopSwitch{unplugged, lockSwitch};
    std::unique_ptr<platform::CanBus> bus = platform::OpenCan("can1", nullptr);
    if (!bus) {
        std::fprintf(stderr, "chademo-ev: can1 cannot be opened\n");
        return 1;
    }
    TellPlant(o.plant, o.battery, false);
    auto& clock = platform::GetClock();
    const std::int64_t start = clock.MonotonicMs();
    auto now = [&] { return clock.MonotonicMs() - start; };
    auto step = [&](const std::string& text) {
        if (!o.steps) return;
        std::printf("%7.1f s  %s\n", static_cast<double>(now()) / 1000.0, text.c_str());
        std::fflush(stdout);
    };
    step("plugged in");

    // The vehicle talks once the charger raised d1, and permits once it has
    // the charger's parameters (0x108 and 0x109).
    bool sending = false, heardCharger = false, enabled = false, contactorClosed = false, stopped = false;
    std::int64_t stoppedAt = -1, lastSend = -1000, chargeFrom = -1, framesEndAt = -1, unplugAt = -1, lastD1On = -1;
    // What the charger's frames showed.
    std::int64_t last109 = -1, longestGap = 0, frames109 = 0;
    int announcedBelowRequest = 0, faultStatus = 0;
    bool energisingSeen = false, d1Seen = false, chargerStopped = false, d1Off = false, chargerLost = false;
    std::int64_t lastChargerFrame = -1;
    int presentCurrent = 0, mostCurrent = 0, presentVolts = 0;

    for (;;) {
        const std::int64_t t = now();
        const bool d1 = High(kD1), d2 = High(kD2);
        if (d1 && !d1Seen) step("d1 on: the charger starts the session");
        if (d1) d1Seen = true, lastD1On = t;
        if (d1Seen && !d1 && !d1Off) d1Off = true, step("d1 off");

        if (d1 && !o.silent && framesEndAt < 0 && !sending && !stopped) {
            sending = true;
            step("sending 0x100, 0x101, 0x102 (protocol " + std::to_string(o.protocol) + ")");
        }
        if (d1 && heardCharger && !enabled && !stopped) {
            enabled = true;
            Set(kJ, false);
            step("charger's 0x108 and 0x109 heard: permission (j) and charging enabled");
        }
        if (d2 && enabled && !contactorClosed && !stopped) {
            contactorClosed = true;
            TellPlant(o.plant, o.battery, true);
            chargeFrom = t;
            step("d2 on: contactor closed, asking for " + std::to_string(o.request) + " A");
        }
        if (contactorClosed && !stopped && (t - chargeFrom >= o.chargeMs || !d2 || chargerStopped)) {
            stopped = true;   // the battery is full, or the charger ended it
            enabled = false;
            step(chargerStopped ? "the charger stopped the charge" : !d2 ? "d2 off: the charger ended the charge"
                                                                        : "charge done: asking for 0 A");
        }
        if (heardCharger && d1 && !chargerLost && t - lastChargerFrame > 1000) {
            chargerLost = true;
            stopped = true;
            enabled = false;
            Set(kJ, true);
            if (contactorClosed) TellPlant(o.plant, o.battery, false);
            contactorClosed = false;
            step("charger's frames stopped for 1 s: contactor open, permission withdrawn");
            if (framesEndAt < 0) framesEndAt = t + 500;
        }
        if (stopped && stoppedAt < 0) stoppedAt = t;
        // The charger sees the end in the next frames before the vehicle lets go.
        if (stopped && contactorClosed && presentCurrent < 5 && t - stoppedAt >= 300) {
            contactorClosed = false;
            TellPlant(o.plant, o.battery, false);
            Set(kJ, true);
            step("current below 5 A: contactor open, permission withdrawn");
        }
        if (o.silentAt && sending && chargeFrom >= 0 && t - chargeFrom >= o.silentAt) sending = false;
        // After the charger dropped d1, the vehicle stops talking and leaves.
        if (d1Seen && !d1 && framesEndAt < 0 && t - lastD1On > 300) framesEndAt = t + 500;
        if (framesEndAt >= 0 && t >= framesEndAt && unplugAt < 0) {
            sending = false;
            step("frames stopped");
            unplugAt = t + 1000;
        }
        if (unplugAt >= 0 && t >= unplugAt) {
            Set(kProximity, true);
            step("unplugged");
            break;
        }
        if (o.silent && t > 8000 && !d1) {
            Set(kProximity, true);
            break;
        }

        if (sending && t - lastSend >= 100) {
            lastSend = t;
            const int request = contactorClosed && !stopped ? o.request : 0;
            const int status = (enabled ? 0x01 : 0) | (contactorClosed ? 0 : 0x08);
            bus->Write(Frame(0x100, {0, 0, 0, 0, o.maxVolts & 0xFF, o.maxVolts >> 8, 100, 0}));
            bus->Write(Frame(0x101, {0, o.time10s, 0, 0, 0, 0, 0, 0}));
            bus->Write(Frame(0x102, {o.protocol, o.target & 0xFF, o.target >> 8, request, 0, status, 55, 0}));
        }
        platform::CanFrame f{};
        while (bus->Read(f)) {
            if ((f.can_id == 0x108 || f.can_id == 0x109) && f.len == 8) lastChargerFrame = now();
            if (f.can_id == 0x109 && f.len == 8) {
                heardCharger = true;
                const std::int64_t at = now();
                if (last109 >= 0 && d1) longestGap = std::max(longestGap, at - last109);
                last109 = at;
                ++frames109;
                presentCurrent = f.data[3];
                presentVolts = f.data[1] | f.data[2] << 8;
                if (contactorClosed && !stopped && mostCurrent < o.request && presentCurrent >= o.request)
                    step("charging: " + std::to_string(presentVolts) + " V, " + std::to_string(presentCurrent) +
                         " A (0x109)");
                if (contactorClosed) mostCurrent = std::max(mostCurrent, presentCurrent);
                if ((f.data[5] & 0x01) && !energisingSeen) step("charger energising");
                if (f.data[5] & 0x01) energisingSeen = true;
                // Once it has energised, a charger that shows "stopped" ends the charge.
                if (energisingSeen && contactorClosed && (f.data[5] & 0x20)) chargerStopped = true;
                if (f.data[5] & 0x12) faultStatus |= f.data[5] & 0x12;
            } else if (f.can_id == 0x108 && f.len == 8) {
                if (contactorClosed && !stopped && f.data[3] < o.request) ++announcedBelowRequest;
            }
        }
    }
    if (contactorClosed) TellPlant(o.plant, o.battery, false);
    std::printf("chademo-ev: 0x109 frames %lld, longest gap %lld ms, energising %s, fault bits 0x%02x, "
                "announced below request %d, most current %d A%s\n",
                static_cast<long long>(frames109), static_cast<long long>(longestGap), energisingSeen ? "seen" : "never",
                faultStatus, announcedBelowRequest, mostCurrent, chargerLost ? ", the charger fell silent" : "");
    if (o.silent) return 0;
    // A vehicle ends the session after 1 s without the charger's frames;
    // half of that is the margin it accepts.
    bool ok = longestGap <= 500 && (announcedBelowRequest == 0 || o.overAsk) &&
              (o.silentAt || chargerLost == o.expectSilence);
    if (o.expectSilence) return ok ? 0 : 1;
    if (o.expectFault) ok = ok && (faultStatus & o.expectFault);
    else if (o.expectRefusal) ok = ok && !energisingSeen && mostCurrent == 0;
    else if (!o.silentAt) ok = ok && energisingSeen && !faultStatus;
    // With the power path modelled, the charge carried the current asked for
    // (a battery above the target takes none).
    if (!o.plant.empty() && !o.expectFault && !o.expectRefusal && !o.silentAt && o.battery < o.target) ok = ok && mostCurrent >= o.request;
    return ok ? 0 : 1;
}
