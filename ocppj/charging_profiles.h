// Charging profiles: the table of 20 the central system installs, the limits
// they give each connector at a point in time, and the composite schedule
// sampled from those limits. The rules here know nothing of files or
// segments: Tarnet hands them the table and its connectors' transactions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "command_slots.h"
#include "fennick_app.h"

namespace ocppj {

inline constexpr int kProfileSlots = 20;
inline constexpr int kMaxStackLevel = 3;
inline constexpr std::size_t kProfileFileSize = kProfileSlots * sizeof(ChgProfile);  // 8240

struct ProfileTable {
    ChgProfile slot[kProfileSlots];
};
static_assert(sizeof(ProfileTable) == 8240);

// What the rules need of one connector's transaction.
struct ConnectorTxn {
    std::int32_t transactionId = 0;
    std::int32_t txnStartTime = 0;  // 0 = no transaction running
};

// Result of one evaluation: code 0 none (limit -1), 1 in A, 2 in W.
struct LimitResult {
    int code = 0;
    float limit = -1.0f;
    float minRate = 0.0f;
};

enum class ProfileRule { Max, Tx, Default };
// The limit of one purpose for connector `c` (1-based into `txns`) at epoch `t`.
LimitResult EvaluateProfiles(const ProfileTable& table, ProfileRule rule, int c, const std::vector<ConnectorTxn>& txns,
                             std::int64_t t);

struct ConnectorLimits {
    float limitA = -1.0f;
    float rateA = 0.0f;
    float limitW = -1.0f;
    float rateW = 0.0f;
};
// The combined limits of connector `c` at `t`: the station maximum shared by
// the connectors charging, narrowed by the transaction's profile or else the
// default one. Units never mix.
ConnectorLimits CombinedLimits(const ProfileTable& table, int c, const std::vector<ConnectorTxn>& txns, std::int64_t t);

// The composite schedule of connector `c` (1..N) over [now, now + duration]
// for unit "A" or (anything else) "W", written into the answer fields of the
// slot. False (status "Rejected") for a connector out of range.
bool CompositeSchedule(const ProfileTable& table, const std::vector<ConnectorTxn>& txns,
                       const fennick::ConnectorRating* ratings, std::int64_t now, GetCompositeScheduleSlot& slot);

// The bounds a profile's limits should keep for its connector (0: the
// tightest over every connector); "W" in watts, else amperes.
void ProfileRange(const fennick::FennickApp& app, int connectors, int connectorId, const std::string& unit, float* lo,
                  float* hi);

}  // namespace ocppj
