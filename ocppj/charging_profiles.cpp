#include "charging_profiles.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "messages.h"
#include "ocpp_time.h"

namespace ocppj {

namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kWeek = 604800;
constexpr std::int64_t kFirstMonday = 345600;  // 1970-01-05T00:00:00Z

const char* PurposeOf(ProfileRule rule) {
    switch (rule) {
    case ProfileRule::Max: return "ChargePointMaxProfile";
    case ProfileRule::Tx: return "TxProfile";
    default: return "TxDefaultProfile";
    }
}

bool Is(const char* field, std::size_t width, const char* text) {
    return std::strlen(text) < width && std::strncmp(field, text, width) == 0;
}
template <std::size_t N>
bool Is(const char (&field)[N], const char* text) {
    return Is(field, N, text);
}

std::int64_t Epoch(const char* text, std::size_t width) { return UtcToEpoch(std::string(text, strnlen(text, width))); }
template <std::size_t N>
std::int64_t Epoch(const char (&field)[N]) {
    return Epoch(field, N);
}

// Schedule start and elapsed time of a profile at `t`; false when it does not apply.
bool Elapsed(const ChgProfile& p, std::int64_t txnStart, std::int64_t t, std::int64_t* e) {
    const std::int64_t d = p.duration;
    if (Is(p.chargingProfileKind, "Absolute")) {
        const std::int64_t s = Epoch(p.startSchedule);
        if (t < s || (d != 0 && t >= s + d)) return false;
        *e = t - s;
        return true;
    }
    if (Is(p.chargingProfileKind, "Relative")) {
        if (txnStart == 0 || (d != 0 && t >= txnStart + d)) return false;
        *e = t - txnStart;
        return true;
    }
    if (!Is(p.chargingProfileKind, "Recurring")) return false;
    if (Is(p.recurrencyKind, "Daily")) {
        *e = ((t % kDay) + kDay) % kDay;
    } else if (Is(p.recurrencyKind, "Weekly")) {
        if (t < kFirstMonday) return false;
        *e = (t - kFirstMonday) % kWeek;
    } else {
        return false;
    }
    return d == 0 || *e < d;
}

bool Valid(const ChgProfile& p, std::int64_t t) {
    if (t < Epoch(p.validFrom)) return false;
    return p.validTo[0] == '\0' || Epoch(p.validTo) >= t;
}

bool Applies(const ChgProfile& p, ProfileRule rule, int c, const std::vector<ConnectorTxn>& txns, int connectorOf) {
    if (!Is(p.chargingProfilePurpose, PurposeOf(rule))) return false;
    switch (rule) {
    case ProfileRule::Max: return true;
    case ProfileRule::Tx: return p.connectorId == c && p.transactionId == txns[c - 1].transactionId;
    default: return p.connectorId == connectorOf;
    }
}

}  // namespace

LimitResult EvaluateProfiles(const ProfileTable& table, ProfileRule rule, int c, const std::vector<ConnectorTxn>& txns,
                             std::int64_t t) {
    int defaultsOn = c;
    if (rule == ProfileRule::Default) {
        // A connector's own defaults hide the station's, valid or not.
        defaultsOn = 0;
        for (const ChgProfile& p : table.slot)
            if (Is(p.chargingProfilePurpose, "TxDefaultProfile") && p.connectorId == c) defaultsOn = c;
    }
    const std::int64_t txnStart = txns[c - 1].txnStartTime;
    int best = -1;
    LimitResult r;
    int unit = 0;
    for (const ChgProfile& p : table.slot) {
        if (!Applies(p, rule, c, txns, defaultsOn) || !Valid(p, t)) continue;
        std::int64_t e = 0;
        if (!Elapsed(p, txnStart, t, &e) || p.stackLevel <= best) continue;
        best = p.stackLevel;
        r.limit = -1.0f;
        for (const SchedulePeriod& sp : p.chargingSchedulePeriod)
            if (sp.startPeriod != -1 && sp.startPeriod <= e) r.limit = sp.limit;
        r.minRate = p.minChargingRate;
        unit = Is(p.chargingRateUnit, "W") ? 2 : (Is(p.chargingRateUnit, "A") ? 1 : 0);
    }
    if (best < 0 || r.limit == -1.0f || unit == 0) return LimitResult{};
    r.code = unit;
    return r;
}

ConnectorLimits CombinedLimits(const ProfileTable& table, int c, const std::vector<ConnectorTxn>& txns, std::int64_t t) {
    int charging = 0;
    for (const ConnectorTxn& x : txns)
        if (x.txnStartTime != 0) ++charging;
    ConnectorLimits out;
    auto take = [&](const LimitResult& r, bool narrowOnly) {
        if (r.code == 0 || r.limit < 0) return;
        float& limit = r.code == 1 ? out.limitA : out.limitW;
        float& rate = r.code == 1 ? out.rateA : out.rateW;
        if (!narrowOnly) limit = charging != 0 ? r.limit / static_cast<float>(charging) : r.limit;
        else if (limit == -1.0f || limit > r.limit) limit = r.limit;
        rate = std::max(rate, r.minRate);
    };
    take(EvaluateProfiles(table, ProfileRule::Max, c, txns, t), false);
    const LimitResult tx = EvaluateProfiles(table, ProfileRule::Tx, c, txns, t);
    take(tx, true);
    if (tx.code == 0) take(EvaluateProfiles(table, ProfileRule::Default, c, txns, t), true);
    return out;
}

bool CompositeSchedule(const ProfileTable& table, const std::vector<ConnectorTxn>& txns,
                       const fennick::ConnectorRating* ratings, std::int64_t now, GetCompositeScheduleSlot& slot) {
    std::memset(slot.chargingSchedulePeriod, 0xFF, sizeof slot.chargingSchedulePeriod);
    const int c = slot.connectorId;
    if (c < 1 || c > static_cast<int>(txns.size())) {
        PutText(slot.status, "Rejected");
        return false;
    }
    PutText(slot.status, "Accepted");
    slot.answerConnectorId = c;
    const std::string start = EpochToUTC(now);
    PutText(slot.scheduleStart, start);
    PutText(slot.startSchedule, start);
    slot.scheduleDuration = slot.duration;
    std::memcpy(slot.scheduleUnit, slot.chargingRateUnit, sizeof slot.scheduleUnit);
    const bool amps = Is(slot.chargingRateUnit, "A");
    const std::int64_t end = now + std::max<std::int32_t>(slot.duration, 0);

    // Every point in time where some profile of the unit may change the limit.
    std::set<std::int64_t> points;
    auto add = [&](std::int64_t t) {
        if (t >= now && t <= end) points.insert(t);
    };
    for (const ChgProfile& p : table.slot) {
        if (!Is(p.chargingProfilePurpose, "ChargePointMaxProfile") && !Is(p.chargingProfilePurpose, "TxDefaultProfile") &&
            !Is(p.chargingProfilePurpose, "TxProfile"))
            continue;
        if (!Is(p.chargingRateUnit, amps ? "A" : "W")) continue;
        const std::int64_t validFrom = Epoch(p.validFrom);
        const std::int64_t validTo = p.validTo[0] ? Epoch(p.validTo) : -1;
        if (end < validFrom || (validTo != -1 && now >= validTo)) continue;
        std::int64_t base = -1;
        if (Is(p.chargingProfileKind, "Absolute")) {
            base = Epoch(p.startSchedule);
        } else if (Is(p.chargingProfileKind, "Relative")) {
            if (txns[c - 1].txnStartTime != 0) base = txns[c - 1].txnStartTime;
        } else if (Is(p.chargingProfileKind, "Recurring") && Is(p.recurrencyKind, "Daily")) {
            base = now - now % kDay;
        } else if (Is(p.chargingProfileKind, "Recurring") && Is(p.recurrencyKind, "Weekly") && now >= kFirstMonday) {
            base = (now - kFirstMonday) - (now - kFirstMonday) % kWeek + kFirstMonday;
        }
        if (base < 0) continue;
        for (const SchedulePeriod& sp : p.chargingSchedulePeriod) {
            if (sp.startPeriod == -1) break;
            const std::int64_t t = base + sp.startPeriod;
            if (t >= validFrom && (validTo == -1 || t < validTo)) add(t);
        }
        if (validTo != -1) add(validTo);
        add(validFrom);
        if (p.duration != 0) add(base + p.duration);
    }
    points.insert(now);

    const fennick::ConnectorRating& rating = ratings[c - 1];
    const float maximum = amps ? rating.maxCurrentA : rating.maxPowerW;
    int n = 0;
    float previous = 0.0f;
    float rate = 0.0f;
    for (std::int64_t t : points) {
        const ConnectorLimits l = CombinedLimits(table, c, txns, t);
        const float limit = amps ? l.limitA : l.limitW;
        rate = amps ? l.rateA : l.rateW;
        if (t != now && limit == previous) continue;
        previous = limit;
        if (n == kSchedulePeriods) continue;
        slot.chargingSchedulePeriod[n++] = SchedulePeriod{static_cast<std::int32_t>(t - now),
                                                          limit == -1.0f ? maximum : limit, 1};
    }
    slot.minChargingRate = rate;
    return true;
}

void ProfileRange(const fennick::FennickApp& app, int connectors, int connectorId, const std::string& unit, float* lo,
                  float* hi) {
    const bool watts = unit == "W";
    auto bounds = [&](int c, float* l, float* h) {
        const fennick::ConnectorRating& r = app.connectorRatings[c - 1];
        *l = watts ? r.minPowerW : r.minCurrentA;
        *h = watts ? r.maxPowerW : r.maxCurrentA;
    };
    if (connectorId >= 1 && connectorId <= connectors) {
        bounds(connectorId, lo, hi);
        return;
    }
    bounds(1, lo, hi);
    for (int c = 2; c <= connectors; ++c) {
        float l, h;
        bounds(c, &l, &h);
        *lo = std::max(*lo, l);
        *hi = std::min(*hi, h);
    }
}

}  // namespace ocppj
