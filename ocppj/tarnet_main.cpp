// Tarnet: attaches the two OCPP segments, restores its state, starts Fennick
// and runs its managers once a second for ever.
#include <cstdio>
#include <string>

#include "clock.h"
#include "exchange.h"
#include "fennick_app.h"
#include "instance_lock.h"
#include "ocpp_time.h"
#include "tarnet.h"

int main() {
    std::string error;
    fennick::FennickApp* app = fennick::AttachFennickApp(false, &error);
    if (app == nullptr) {
        std::fprintf(stderr, "[Error] Fennick App shared memory error (%s)\n", error.c_str());
        return 0;
    }
    if (!platform::HoldInstanceLock("Tarnet", &error)) {
        ocppj::RecordFennickLog(*app, "[Error] Tarnet already running: " + error);
        return 0;
    }
    ocppj::Exchange* x = ocppj::AttachExchange(&error);
    if (x == nullptr) {
        ocppj::RecordFennickLog(*app, "[Error] Fennick shared memory error");
        return 0;
    }
    ocppj::Tarnet tarnet;
    if (!tarnet.Init(*app, *x)) return 0;
    for (;;) {
        platform::GetClock().SleepMs(1000);
        tarnet.Pass();
    }
}
