#include "charge.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "regmap_chademo.h"
#include "regmap_fields.h"
#include "regmap_power.h"

namespace stationctl {

using namespace regmap;

namespace {

constexpr std::int64_t kTickMs = 100;

std::uint8_t LoadApp(std::uint8_t& field) {
    return std::atomic_ref<std::uint8_t>(field).load(std::memory_order_acquire);
}

bool Number(const std::string& text, int lo, int hi, int* out) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

// The card goes into the mailbox; Tarnet answers in authResult.
int Authorize(fennick::FennickApp& app, const std::string& card, int connector, std::uint8_t kind, int reason) {
    platform::Clock& clock = platform::GetClock();
    app.authKind = kind;
    app.authConnectorId = connector;
    app.authStopReason = static_cast<std::uint8_t>(reason);
    std::atomic_ref<std::uint8_t>(app.authResult).store(0, std::memory_order_release);
    std::memset(app.authIdTag, 0, sizeof app.authIdTag);
    std::memcpy(app.authIdTag, card.data(), card.size());
    for (int i = 0; i < 3000; ++i) {  // five minutes at most
        const std::uint8_t r = LoadApp(app.authResult);
        if (app.authIdTag[0] == '\0' && (r == 2 || r == 3)) return r;
        clock.SleepMs(kTickMs);
    }
    return 3;
}

void Meter(RegisterMap& map, int connector, double volts, double amps, double soc) {
    map.set(SHRMEM_GET_V1, static_cast<std::uint16_t>(volts * 10));
    map.set(SHRMEM_GET_I1, static_cast<std::uint16_t>(amps * 10));
    map.set(SHRMEM_GET_P1, static_cast<std::uint16_t>(volts * amps > 65535 ? 65535 : volts * amps));
    if (connector == 2) {
        map.set(SHRMEM_CCS_EV_SOC, static_cast<std::uint8_t>(soc));
        map.set(SHRMEM_CCS_EV_FULL_SOC, 0);
        map.set(mainb::SHRMEM_CCS_CURRENT_LIMIT, static_cast<std::uint8_t>(amps > 0 ? 125 : 0));
    } else {
        map.set(mainb::SHRMEM_CHADEMO_SOC_REFERENCE, 100);
        map.set(mainb::SHRMEM_CHADEMO_SOC, static_cast<std::uint8_t>(soc));
        map.set(CP108_AVAILABLE_CURRENT, static_cast<std::uint8_t>(amps > 0 ? 125 : 0));
    }
}

}  // namespace

bool ParseChargeScript(const std::vector<std::string>& words, ChargeScript* s, std::string* error) {
    for (const std::string& w : words) {
        const std::size_t eq = w.find('=');
        const std::string name = w.substr(0, eq), value = eq == std::string::npos ? "" : w.substr(eq + 1);
        bool ok = eq != std::string::npos;
        if (!ok) {
        } else if (name == "connector") {
            ok = Number(value, 1, 2, &s->connector);
        } else if (name == "card") {
            ok = !value.empty() && value.size() <= 20;
            s->card = value;
        } else if (name == "seconds") {
            ok = Number(value, 1, 86400, &s->seconds);
        } else if (name == "reason") {
            ok = Number(value, 0, 10, &s->stopReason);
        } else if (name == "energy") {
            ok = Number(value, 0, 2000000000, &s->energyStart);
        } else {
            ok = false;
        }
        if (!ok) {
            *error = "bad charge setting " + w;
            return false;
        }
    }
    return true;
}

int PlayCharge(RegisterMap& map, fennick::FennickApp& app, const ChargeScript& s) {
    platform::Clock& clock = platform::GetClock();
    const int c = s.connector;
    fennick::ConnectorRecord& rec = fennick::ConnectorRec(app, c);
    auto say = [](const char* what) {
        std::printf("stationctl: %s\n", what);
        std::fflush(stdout);
    };
    double energy = s.energyStart;
    map.set(SHRMEM_ENERGY_OFFSET, static_cast<std::int32_t>(energy));
    map.set(mainb::SHRMEM_ENERGY_HOLD, 0);
    map.set(mainb::SHRMEM_CHARGE_END, 0);
    map.set(SHRMEM_ACTIVE_CONNECTOR, static_cast<std::uint8_t>(c));
    map.set(mainb::SHRMEM_PLUG_IN, static_cast<std::uint8_t>(1u << (c - 1)));
    map.set(SHRMEM_CHARGER_STATE, 16);
    Meter(map, c, 0, 0, 20);
    say("plugged, preparing");
    clock.SleepMs(1000);

    if (Authorize(app, s.card, c, 0, 0) != 2) {
        say("card refused");
        map.set(SHRMEM_CHARGER_STATE, 0);
        map.set(mainb::SHRMEM_PLUG_IN, 0);
        return 1;
    }
    say("card accepted, charging");
    map.set(SHRMEM_CHARGER_STATE, 1);
    bool stopped = false;
    const std::int64_t start = clock.MonotonicMs();
    std::int64_t last = start;
    for (;;) {
        const std::int64_t now = clock.MonotonicMs();
        const double t = (now - start) / 1000.0;
        if (t >= s.seconds) break;
        if (LoadApp(rec.stopChargingReq) != 0) {
            std::atomic_ref<std::uint8_t>(rec.stopChargingReq).store(0, std::memory_order_release);
            stopped = true;
            say("stop requested");
            break;
        }
        // Ramps: the voltage rises to 400 V in 2 s, the current to 100 A in
        // 4 s; the state of charge climbs from 20 % by 1 % a second.
        const double volts = t >= 2 ? 400 : 200 * t;
        const double amps = t >= 4 ? 100 : 25 * t;
        energy += volts * amps * ((now - last) / 3600000.0);
        last = now;
        map.set(SHRMEM_ENERGY_OFFSET, static_cast<std::int32_t>(energy));
        Meter(map, c, volts, amps, 20 + (t > 60 ? 60 : t));
        clock.SleepMs(kTickMs);
    }

    Meter(map, c, 0, 0, 20 + (s.seconds > 60 ? 60 : s.seconds));
    map.set(mainb::SHRMEM_CHARGE_END, 1);
    map.set(SHRMEM_CHARGER_STATE, 32);
    say("finishing");
    clock.SleepMs(1500);
    if (!stopped && rec.idTag[0] != '\0') {
        Authorize(app, s.card, c, 1, s.stopReason);
        say("stopped by the card");
    }
    clock.SleepMs(1500);
    map.set(mainb::SHRMEM_PLUG_IN, 0);
    map.set(SHRMEM_CHARGER_STATE, 0);
    map.set(mainb::SHRMEM_CHARGE_END, 0);
    say("unplugged");
    // What the meter counted, for a test to hold the central system's records against.
    const std::string charged = "charged from " + std::to_string(s.energyStart) + " Wh to " +
                                std::to_string(static_cast<std::int32_t>(energy)) + " Wh";
    say(charged.c_str());
    return 0;
}

}  // namespace stationctl
