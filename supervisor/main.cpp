// Halvard: the CCS board's supervisor.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "adc.h"
#include "regmap.h"
#include "shm.h"
#include "startup.h"

int main() {
    std::string error;
    std::uint8_t* base = platform::AttachSegment(regmap::kMapKey, regmap::kMapSize, true, 0777, &error);
    if (base == nullptr) {
        platform::ReportInitFailure("SharedRegisterMap", error);
        return EXIT_FAILURE;
    }
    supervisor::Supervisor s;
    s.map = regmap::RegisterMap(base, regmap::kMapSize);
    platform::DeviceAdc adc;
    supervisor::StartUp(s, adc);
    for (;;) supervisor::LoopPass(s);
}
