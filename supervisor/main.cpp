// Halvard: the CCS board's supervisor. Started as "Halvard-update --install"
// it is the installer of a received firmware image instead.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "adc.h"
#include "instance_lock.h"
#include "paths.h"
#include "regmap.h"
#include "self_update.h"
#include "shm.h"
#include "startup.h"

int main(int argc, char** argv) {
    const bool installer = argc > 1 && std::string(argv[1]) == "--install";
    std::string error;
    if (!platform::CheckStationRoot(&error)) {
        std::printf("[main] Not started: %s\n", error.c_str());
        return EXIT_FAILURE;
    }
    // One supervisor per board: a second one would write the defaults under
    // the first and start another set of the board's programs.
    if (!installer && !platform::HoldInstanceLock("Halvard", &error)) {
        std::printf("[main] Not started: %s\n", error.c_str());
        return EXIT_FAILURE;
    }
    std::uint8_t* base = platform::AttachSegment(regmap::kMapKey, regmap::kMapSize, !installer, 0777, &error);
    if (base == nullptr) {
        platform::ReportInitFailure("SharedRegisterMap", error);
        return EXIT_FAILURE;
    }
    regmap::RegisterMap map(base, regmap::kMapSize);
    if (installer) return supervisor::RunInstaller(map);

    supervisor::Supervisor s;
    s.map = map;
    platform::DeviceAdc adc;
    supervisor::StartUp(s, adc);
    for (;;) supervisor::LoopPass(s);
}
