// Tarnet's charging profiles: SetChargingProfile, ClearChargingProfile and
// GetCompositeSchedule, the table's file, and once a second the housekeeping
// of transaction profiles and each connector's limits.
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "clock.h"
#include "files.h"
#include "messages.h"
#include "paths.h"
#include "tarnet.h"

namespace ocppj {

namespace {

template <std::size_t N>
bool FieldIs(const char (&field)[N], const std::string& text) {
    return FieldText(field) == text;
}

}  // namespace

std::vector<ConnectorTxn> Tarnet::Txns() const {
    std::vector<ConnectorTxn> txns;
    for (const ConnectorRuntime& r : runtime_) txns.push_back(ConnectorTxn{r.transactionId, r.txnStartTime});
    return txns;
}

bool Tarnet::WriteProfiles() {
    const std::string path = platform::SystemPath(StorageDir() + "ChgProfile");
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (platform::ReplaceFile(path, &profiles_, sizeof profiles_)) return true;
    Log("[Error][Tarnet] ChgProfile write failed");
    return false;
}

int Tarnet::SetChgProfile(std::int32_t connectorId, const std::uint8_t* body) {
    ChgProfile p{};
    p.connectorId = connectorId;
    std::memcpy(reinterpret_cast<std::uint8_t*>(&p) + kProfileBodyOffset, body, kProfileBodySize);
    std::memset(p.zero, 0, sizeof p.zero);

    float lo = 0, hi = 0;
    ProfileRange(*app_, connectors_, connectorId, FieldText(p.chargingRateUnit), &lo, &hi);
    for (const SchedulePeriod& sp : p.chargingSchedulePeriod)
        if (sp.startPeriod != -1 && (sp.limit > hi || sp.limit < lo)) Log("[Info] Profile period limit is over range\n");
    if (p.stackLevel > kMaxStackLevel || p.stackLevel < 0) {
        Log("[Info] Profile stack level is overflow \n");
        return 0;
    }
    ChgProfile* target = nullptr;
    for (ChgProfile& s : profiles_.slot)
        if (!target && s.chargingProfilePurpose[0] && s.chargingProfileId == p.chargingProfileId) target = &s;
    for (ChgProfile& s : profiles_.slot)
        if (!target && s.chargingProfilePurpose[0] && s.stackLevel == p.stackLevel &&
            FieldIs(s.chargingProfilePurpose, FieldText(p.chargingProfilePurpose)))
            target = &s;
    for (ChgProfile& s : profiles_.slot)
        if (!target && s.chargingProfilePurpose[0] == '\0') target = &s;
    if (!target) {
        Log("[Info] Profile buffer is full\n");
        return 0;
    }
    *target = p;
    WriteProfiles();
    return 1;
}

void Tarnet::SetChargingProfileConf() {
    SetChargingProfileSlot& s = SetChargingProfileOf(*x_);
    std::int32_t connectorId = 0, transactionId = 0;
    std::memcpy(&connectorId, s.profile, sizeof connectorId);
    std::memcpy(&transactionId, s.profile + offsetof(ChgProfile, transactionId), sizeof transactionId);
    const std::string purpose = ProfileBodyPurpose(s.profile + kProfileBodyOffset);
    const char* refusal = nullptr;
    if (purpose == "ChargePointMaxProfile") {
        if (connectorId != 0) refusal = "[Info] Connector ID is not 0 in MaxProfile";
    } else if (purpose == "TxDefaultProfile") {
        if (connectorId < 0 || connectorId > connectors_)
            refusal = "[Info] Connector ID is over upper limit in TxDefaultProfile";
    } else if (purpose == "TxProfile") {
        if (connectorId == 0) refusal = "[Info] Connector ID is 0 in TxProfile";
        else if (connectorId < 0 || connectorId > connectors_)
            refusal = "[Info] Connector ID is over upper limit in TxProfile";
        else if (runtime_[connectorId - 1].txnStartTime == 0)
            refusal = "[Info] No transaction is alive for the connector ID in TxProfile";
        else if (transactionId != runtime_[connectorId - 1].transactionId)
            refusal = "[Info] TansactionId from the TxProfile does not match the specific transaction of connector";
    } else {
        refusal = "[Info] ChargingProfilePurpose is not correct";
    }
    if (refusal) Log(refusal);
    const bool stored = !refusal && SetChgProfile(connectorId, s.profile + kProfileBodyOffset) == 1;
    PutText(s.status, stored ? "Accepted" : "Rejected");
}

void Tarnet::ClearChargingProfileConf() {
    ClearChargingProfileSlot& s = ClearChargingProfileOf(*x_);
    const std::string purpose = FieldText(s.chargingProfilePurpose);
    if (s.id == -1 && s.connectorId == -1 && s.stackLevel == -1 && purpose.empty()) {
        std::memset(&profiles_, 0, sizeof profiles_);
        WriteProfiles();
        Log("[Info][Tarnet] clear all profile");
        PutText(s.status, "Accepted");
        return;
    }
    // Every profile that meets each criterion given goes; a connector absent
    // or 0 means any connector.
    int removed = 0;
    if (s.id != -1 || s.connectorId <= connectors_) {
        for (ChgProfile& p : profiles_.slot) {
            if (p.chargingProfilePurpose[0] == '\0') continue;
            const bool match = s.id != -1
                                   ? p.chargingProfileId == s.id
                                   : (s.connectorId <= 0 || p.connectorId == s.connectorId) &&
                                         (purpose.empty() || FieldIs(p.chargingProfilePurpose, purpose)) &&
                                         (s.stackLevel == -1 || p.stackLevel == s.stackLevel);
            if (!match) continue;
            std::memset(&p, 0, sizeof p);
            ++removed;
        }
    }
    if (removed) WriteProfiles();
    PutText(s.status, removed ? "Accepted" : "Unknown");
}

void Tarnet::GetCompositeScheduleConf() {
    CompositeSchedule(profiles_, Txns(), app_->connectorRatings, platform::GetClock().WallSeconds(),
                      GetCompositeScheduleOf(*x_));
}

void Tarnet::ChgProfileMgmt() {
    const std::int64_t now = platform::GetClock().WallSeconds();
    const std::int64_t holdLimit = std::atoll(config_.Value("ConnectionTimeOut").c_str()) + 2;
    bool changed = false;
    for (ChgProfile& p : profiles_.slot) {
        if (!FieldIs(p.chargingProfilePurpose, "TxProfile") || p.connectorId < 1 || p.connectorId > connectors_)
            continue;
        const ConnectorRuntime& r = runtime_[p.connectorId - 1];
        if (r.txProfileHoldSince != 0) {
            // A remote start's profile belongs to the transaction that start opened.
            if (r.txnStartTime != 0 && p.transactionId != r.transactionId) {
                p.transactionId = r.transactionId;
                changed = true;
            }
        } else if (r.txnStartTime == 0) {
            std::memset(&p, 0, sizeof p);
            changed = true;
        }
    }
    for (ConnectorRuntime& r : runtime_) {
        if (r.txProfileHoldSince == 0) continue;
        // Held until the transaction has its id from the central system.
        if ((r.txnStartTime != 0 && r.transactionId != 0) || std::llabs(now - r.txProfileHoldSince) >= holdLimit)
            r.txProfileHoldSince = 0;
    }
    if (changed) WriteProfiles();

    const std::vector<ConnectorTxn> txns = Txns();
    for (int c = 1; c <= connectors_; ++c) {
        const ConnectorLimits l = CombinedLimits(profiles_, c, txns, now);
        fennick::ConnectorRecord& cr = fennick::ConnectorRec(*app_, c);
        cr.currentLimitA = l.limitA;
        cr.currentMinRate = l.rateA;
        cr.powerLimitW = l.limitW;
        cr.powerMinRate = l.rateW;
    }
}

}  // namespace ocppj
