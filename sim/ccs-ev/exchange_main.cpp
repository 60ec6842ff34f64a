// ccs_exchange N: the vehicle charges against the station's V2G session in
// this one process (no sockets, a test clock), with N CurrentDemand
// exchanges. Under callgrind, collecting only in V2G_Service, the difference
// between two runs gives the station's instructions per CurrentDemand
// exchange (sim/ccs-bench.sh). Exits 0 when the session passed its checks.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ccs_vehicle.h"
#include "clock.h"
#include "session_channel.h"

int main(int argc, char** argv) {
    int n = argc > 1 ? std::atoi(argv[1]) : 0;
    if (argc != 2 || n < 1) {
        std::fprintf(stderr, "usage: ccs_exchange N\n");
        return 2;
    }
    platform::TestClock clock;
    platform::ScopedClock scoped(clock);
    evsim::SimpleStation station;
    evsim::SessionChannel channel(station.bytes.data());
    channel.beforeRequest = [&] { station.Work(); };
    evsim::CcsEvConfig c;
    c.demands = n;
    c.gapMs = 0;
    evsim::CcsVehicle vehicle(c, &channel, [](const std::string&) {});
    bool ok = vehicle.Run();
    std::printf("ccs_exchange: %d requests, %s\n", channel.requests(), ok ? "session done" : vehicle.failure().c_str());
    return ok ? 0 : 1;
}
