#include "ocpp_station.h"

#include <atomic>

#include "regmap_fields.h"

namespace stationctl {

namespace {

// Takes a request byte: true when it was set (and is now cleared).
bool Take(std::uint8_t& field) {
    std::uint8_t one = 1;
    return std::atomic_ref<std::uint8_t>(field).compare_exchange_strong(one, 0, std::memory_order_acq_rel);
}

}  // namespace

std::string ServeOcppRequests(fennick::FennickApp& app, regmap::RegisterMap& map) {
    using namespace regmap;
    std::string shown;
    int n = app.configValues.NumberOfConnectors;
    n = n < 1 ? 1 : (n > fennick::kMaxConnectors ? fennick::kMaxConnectors : n);
    for (int c = 1; c <= n; ++c) {
        fennick::ConnectorRecord& r = fennick::ConnectorRec(app, c);
        if (Take(r.remoteStartFlag)) {
            map.set(SHRMEM_ACTIVE_CONNECTOR, static_cast<std::uint8_t>(c));
            map.set(mainb::SHRMEM_PLUG_IN, static_cast<std::uint8_t>(1u << (c - 1)));
            map.set(SHRMEM_CHARGER_STATE, 1);
            shown += "stationctl: remote start on connector " + std::to_string(c) + "\n";
        }
        if (Take(r.stopChargingReq)) {
            map.set(SHRMEM_CHARGER_STATE, 0);
            shown += "stationctl: charging stopped on connector " + std::to_string(c) + "\n";
        }
        if (Take(r.unlockReq)) shown += "stationctl: connector " + std::to_string(c) + " unlocked\n";
    }
    static std::int32_t lastA = -2, lastW = -2;
    const std::int32_t a = map.get(SHRMEM_OCPP_CURRENT_LIMIT), w = map.get(SHRMEM_OCPP_POWER_LIMIT);
    if (a != lastA || w != lastW) {
        lastA = a;
        lastW = w;
        shown += "stationctl: charging limit " + std::to_string(a) + " A, " + std::to_string(w) + " W\n";
    }
    return shown;
}

}  // namespace stationctl
