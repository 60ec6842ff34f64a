// Any bytes as a request to Quillon's SOAP server: HTTP head, envelope,
// every operation's body, the command executed by the main process over the
// same register map and the reply written.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "clock.h"
#include "command.h"
#include "commands.h"
#include "quillon.h"
#include "server.h"
#include "stepped_clock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool rooted = [] {
        char tmpl[] = "/tmp/fuzz-ocpp15-server-XXXXXX";
        setenv("STATION_ROOT", mkdtemp(tmpl), 1);  // the local list and the interval file land here
        return true;
    }();
    (void)rooted;
    static SteppedClock clock;
    static platform::ScopedClock scopedClock(clock);
    static platform::RecordingRunner runner;
    static platform::ScopedRunner scopedRunner(runner);
    static std::vector<std::uint8_t> mem(regmap::kMapSize);
    static ocpps::Quillon q;
    static bool inMain = false;
    q.map = regmap::RegisterMap(mem.data(), mem.size());
    clock.onSleep = [] {
        if (inMain) return;
        inMain = true;
        ocpps::ServeCommands(q);
        inMain = false;
    };
    mem[263] = size > 0 ? data[0] % 40 : 0;  // the station state, now and then none of the known ones
    ocpps::ChargePointServer server(q.map, 1000);
    server.Serve(std::string(reinterpret_cast<const char*>(data), size));
    runner.commands.clear();
    q.ownStatus.clear();
    return 0;
}
