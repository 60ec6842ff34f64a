// Received OCPP-J frames: any bytes go through the transport's receive
// handling as a CALL, an answer to the pending request or noise. Nothing may
// crash or overrun, every slot field stays NUL-terminated, and a CALL that
// is refused is answered with a CALLERROR.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "clock.h"
#include "command.h"
#include "fennick_core.h"
#include "messages.h"
#include "ocpp_time.h"

namespace {

struct NullLink : ocppj::LinkPort {
    bool Send(const std::string&) override { return true; }
    void Drop() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto app = std::make_unique<fennick::FennickApp>();
    static auto x = std::make_unique<ocppj::Exchange>();
    // The clock is fixed, so the pending BootNotification's id is "170928843001";
    // commands (the clock setting) are recorded, never run.
    platform::TestClock clock(1709288430);
    platform::ScopedClock scopedClock(clock);
    platform::RecordingRunner runner;
    platform::ScopedRunner scopedRunner(runner);
    std::memset(app.get(), 0, sizeof *app);
    NullLink link;
    ocppj::FennickCore core(*app, *x, link);
    core.Start();
    core.OnConnected();
    core.Tick();  // a BootNotification is pending: the frame may answer it
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Answer the pending request with the frame's payload under the right id.
    ocppj::Frame f = ocppj::ParseFrame(text);
    core.OnText(text);
    if (f.type == 2 || f.type == 3)
        core.OnText("[3,\"170928843001\"," + (f.payload.is_object() ? f.payload.dump() : std::string("{}")) + "]");
    clock.Advance(30000);
    core.Tick();
    if (x->boot.status[sizeof x->boot.status - 1] != '\0' || x->boot.currentTime[sizeof x->boot.currentTime - 1] != '\0' ||
        x->changeConfiguration.value[sizeof x->changeConfiguration.value - 1] != '\0')
        __builtin_trap();
    ocppj::UtcToEpoch(text);
    return 0;
}
