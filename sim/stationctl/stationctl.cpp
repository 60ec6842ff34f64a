// stationctl: stands in for the main board's station controller in the
// simulation. It creates the main board's register map, restores a settings
// image (the station's defaults) and writes the fields the station
// controller owns, then leaves; the programs of the board attach the map.
// With --contactors it stays, answers the output relays and the CHAdeMO
// insulation test (the outlet's relay closed for it, passed after 1 s),
// closes the AC input contactors and answers their requests.
//
// With "--ocpp PROFILE [--fw-install 2|3] [name=value ...]" it also creates
// the OCPP application segment FennickApp, loads it from the profile file,
// then the configuration values saved in "/Storage/FennickConfig3" when its
// sum holds (the settings given on the command line override both), and
// starts Tarnet, as the station does at boot. With --fw-install it stays and
// answers each firmware hand-over with 2 (installed) or 3 (failed).
// "--ocpp-serve" does the same and stays: it takes Tarnet's remote starts,
// stops and unlocks and shows the charging limits it is given.
// "--charge [name=value ...]" then plays a charge on the map and FennickApp
// that are already there (charge.h).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "fennick_app.h"
#include "charge.h"
#include "files.h"
#include "fw_install.h"
#include "ocpp_profile.h"
#include "ocpp_station.h"
#include "paths.h"

#include "clock.h"
#include "contactors.h"
#include "regmap_fields.h"
#include "regmap_power.h"
#include "settings_defaults.h"
#include "shm.h"

namespace {

// The configuration saved by Bastide, when the file is whole.
void RestoreSavedConfiguration(fennick::FennickApp& app) {
    std::uint8_t image[fennick::kFennickConfigSize + 1];
    const ssize_t n = platform::ReadFileBytes(platform::SystemPath(fennick::kFennickConfigFile), image, sizeof image);
    if (n < 0) return;
    if (fennick::LoadFennickConfigImage(app, image, static_cast<std::size_t>(n)))
        std::printf("stationctl: configuration restored from %s\n", fennick::kFennickConfigFile);
    else
        std::printf("stationctl: %s ignored: its sum does not hold\n", fennick::kFennickConfigFile);
}

int StartOcpp(const std::string& profile, std::vector<std::string> overrides, fennick::FennickApp** loaded,
              int* fwAnswer) {
    *fwAnswer = 0;
    if (overrides.size() >= 2 && overrides[0] == "--fw-install") {
        *fwAnswer = std::atoi(overrides[1].c_str());
        if (*fwAnswer != 2 && *fwAnswer != 3) {
            std::fprintf(stderr, "stationctl: --fw-install takes 2 or 3\n");
            return EXIT_FAILURE;
        }
        overrides.erase(overrides.begin(), overrides.begin() + 2);
    }
    std::string error;
    fennick::FennickApp* app = fennick::AttachFennickApp(true, &error);
    if (app == nullptr) {
        platform::ReportInitFailure("FennickApp", error);
        return EXIT_FAILURE;
    }
    std::memset(app, 0, sizeof *app);
    if (!LoadOcppProfile(*app, profile, &error)) {
        std::fprintf(stderr, "stationctl: %s\n", error.c_str());
        return EXIT_FAILURE;
    }
    RestoreSavedConfiguration(*app);
    for (const std::string& o : overrides) {
        std::size_t eq = o.find('=');
        if (eq == std::string::npos || !ApplyOcppSetting(*app, o.substr(0, eq), o.substr(eq + 1))) {
            std::fprintf(stderr, "stationctl: bad setting %s\n", o.c_str());
            return EXIT_FAILURE;
        }
    }
    platform::Command cmd;
    cmd.text = "/root/Tarnet &";
    cmd.argv = {"/root/Tarnet"};
    cmd.background = true;
    if (platform::Runner().Run(cmd) != 0) {
        std::fprintf(stderr, "stationctl: Tarnet could not be started\n");
        return EXIT_FAILURE;
    }
    std::printf("stationctl: FennickApp loaded, Tarnet started\n");
    if (loaded) *loaded = app;
    return 0;
}

int Charge(const std::vector<std::string>& words) {
    std::string error;
    stationctl::ChargeScript script;
    if (!stationctl::ParseChargeScript(words, &script, &error)) {
        std::fprintf(stderr, "stationctl: %s\n", error.c_str());
        return 2;
    }
    std::uint8_t* base = platform::AttachSegment(regmap::kMapKey, regmap::kMapSize, false, 0777, &error);
    fennick::FennickApp* app = base ? fennick::AttachFennickApp(false, &error) : nullptr;
    if (app == nullptr) {
        platform::ReportInitFailure("SharedRegisterMap or FennickApp", error);
        return EXIT_FAILURE;
    }
    regmap::RegisterMap map(base, regmap::kMapSize);
    return stationctl::PlayCharge(map, *app, script);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace regmap;
    std::string error;
    if (argc > 1 && std::strcmp(argv[1], "--charge") == 0) return Charge(std::vector<std::string>(argv + 2, argv + argc));
    std::uint8_t* base = platform::AttachSegment(kMapKey, kMapSize, true, 0777, &error);
    if (base == nullptr) {
        platform::ReportInitFailure("SharedRegisterMap", error);
        return EXIT_FAILURE;
    }
    RegisterMap map(base, kMapSize);
    common::WriteDefaults(map);  // the settings image as restored from flash
    map.set(mainb::SHRMEM_MAX_OUTPUT_CURRENT, 125);

    // Station-controller inputs of the other programs.
    map.set(SHRMEM_GET_V1, 0);
    map.set(SHRMEM_STOP_BUTTON, 0);
    map.set(SHRMEM_STOP_CHARGING, 0);
    map.set(SHRMEM_CHARGER_STATE, 0);
    map.set(SHRMEM_ACTIVE_CONNECTOR, 2);   // the CCS outlet
    map.set(SHRMEM_CCS_SELECTED, 1);
    map.set(SHRMEM_CHARGE_STEP, 0);        // no charging step yet
    for (std::uint32_t b : {279u, 437u, 454u, 21522u, 21548u, 21605u, 21606u}) map.set(U8{b}, 0);
    map.set(SHRMEM_SMR_CURRENT_CAP, 255);  // no cap below the rated current
    map.set(SHRMEM_CURRENT_CAP, 255);
    // No charging profile from a central system.
    map.set(SHRMEM_OCPP_CURRENT_LIMIT, -1);
    map.set(SHRMEM_OCPP_POWER_LIMIT, -1);
    std::printf("stationctl: main board register map ready\n");
    if (argc > 1 && std::strcmp(argv[1], "--contactors") == 0) {
        map.set(SHRMEM_AC_CONTACTOR2, 1);
        map.set(SHRMEM_AC_CONTACTOR, 1);
        std::fflush(stdout);
        for (;;) {
            stationctl::ServeContactors(map);
            stationctl::ServeOutputSide(map, platform::GetClock().MonotonicMs(), 1000);
            platform::GetClock().SleepMs(10);
        }
    }
    const bool serve = argc >= 3 && std::strcmp(argv[1], "--ocpp-serve") == 0;
    if (argc >= 3 && (serve || std::strcmp(argv[1], "--ocpp") == 0)) {
        fennick::FennickApp* app = nullptr;
        int fwAnswer = 0;
        if (int rc = StartOcpp(argv[2], std::vector<std::string>(argv + 3, argv + argc), &app, &fwAnswer); rc != 0)
            return rc;
        if (!serve && fwAnswer == 0) return 0;
        stationctl::FwInstaller installer(fwAnswer, 1000);
        for (;;) {
            if (fwAnswer != 0) installer.Serve(*app, platform::GetClock().MonotonicMs());
            const std::string shown = serve ? stationctl::ServeOcppRequests(*app, map) : "";
            if (!shown.empty()) std::fputs(shown.c_str(), stdout);
            std::fflush(stdout);
            platform::GetClock().SleepMs(100);
        }
    }
    return 0;
}
