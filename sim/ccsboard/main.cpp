// ccsboard: the CCS board's software around Marlet in the simulation (the
// station side of a DIN session in the CCS status block), or with
// --main-board the power modules' output on the main board.
//
//   ccsboard [--pilot N] [--auth-ms MS] [--isolation-ms MS] [--isolation valid|fault]
//            [--response-code N] [--tick-ms MS] [--present-from-link] [--seconds S]
//   ccsboard --main-board [--gfd pass|fail] [--gfd-ms MS] [--tick-ms MS] [--seconds S]
//
// It attaches the register map of its IPC namespace (key 5438, created by
// Halvard or stationctl) and runs a tick every --tick-ms (default 50) until
// SIGTERM or --seconds. On the CCS board it writes the pilot state once
// (--pilot 4: a vehicle plugged in, state C), answers with response code 0
// and status EVSE_Ready, clears EVSEProcessing (2201) --auth-ms after the
// vehicle reached ContractAuthentication (default 300) and writes the
// isolation result (2174) and clears 2201 --isolation-ms after the first
// CableCheck (default 500). From PreCharge until PowerDelivery stops the
// charge it sets the output set-point (134, 146, armed at 145) to the
// vehicle's targets (2184-2186) within the station's limits (2176, 2177) and
// models the output: the present voltage (2187-2188) and current (2196) move
// toward it by 50 V and 20 A a tick and fall by 100 V and 50 A a tick once
// the vehicle stops. With --present-from-link it leaves the present values to
// Halvard, which writes those the main board sends; there `ccsboard
// --main-board` follows the set-point mailbox the board link delivers and
// writes the main board's present values (2187-2188, 2196, 1-2, 5-6); it
// also plays the ground-fault detector: a self-test started at byte 108
// (0x80) is answered --gfd-ms later (default 200) with 0, passed, or with 1
// under --gfd fail.
// Every change in the course of the session is printed as one line.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ccs_board.h"
#include "clock.h"
#include "shm.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int Usage() {
    std::fprintf(stderr,
                 "usage: ccsboard [--pilot N] [--auth-ms MS] [--isolation-ms MS] [--isolation valid|fault]\n"
                 "                [--response-code N] [--tick-ms MS] [--present-from-link] [--seconds S]\n"
                 "       ccsboard --main-board [--gfd pass|fail] [--gfd-ms MS] [--tick-ms MS] [--seconds S]\n");
    return EXIT_FAILURE;
}

bool Number(const char* text, long lo, long hi, long* out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    ccsboard::Options o;
    long tickMs = 50;
    long seconds = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        long v = 0;
        bool more = i + 1 < argc;
        if (a == "--present-from-link") {
            o.presentFromLink = true;
        } else if (a == "--main-board") {
            o.mainBoard = true;
        } else if (a == "--isolation" && more) {
            std::string r = argv[++i];
            if (r != "valid" && r != "fault") return Usage();
            o.isolationResult = r == "valid" ? 1 : 3;
        } else if (a == "--gfd" && more) {
            std::string r = argv[++i];
            if (r != "pass" && r != "fail") return Usage();
            o.gfdFails = r == "fail";
        } else if (more && Number(argv[i + 1], 0, 86400000, &v)) {
            ++i;
            if (a == "--pilot" && v <= 7) o.pilot = static_cast<int>(v);
            else if (a == "--auth-ms") o.authMs = v;
            else if (a == "--isolation-ms") o.isolationMs = v;
            else if (a == "--response-code" && v <= 25) o.responseCode = static_cast<int>(v);
            else if (a == "--tick-ms" && v >= 1) tickMs = v;
            else if (a == "--gfd-ms") o.gfdTestMs = v;
            else if (a == "--seconds") seconds = v;
            else return Usage();
        } else {
            return Usage();
        }
    }
    std::string error;
    std::uint8_t* base = platform::AttachSegment(regmap::kMapKey, regmap::kMapSize, false, 0777, &error);
    if (base == nullptr) {
        std::fprintf(stderr, "ccsboard: no register map: %s\n", error.c_str());
        return EXIT_FAILURE;
    }
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    ccsboard::StandIn standIn(regmap::RegisterMap(base), o);
    standIn.Start();
    std::printf("ccsboard: running on the %s board\n", o.mainBoard ? "main" : "CCS");
    std::fflush(stdout);
    platform::Clock& clock = platform::GetClock();
    const std::int64_t start = clock.MonotonicMs();
    while (!g_stop && (seconds == 0 || clock.MonotonicMs() - start < seconds * 1000)) {
        std::string line = standIn.Tick(clock.MonotonicMs());
        if (!line.empty()) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        }
        clock.SleepMs(tickMs);
    }
    return 0;
}
