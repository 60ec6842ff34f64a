// The transport's side of the reservation, availability, remote start and
// stop, trigger, unlock, charging-profile and local-list commands: each CALL
// payload checked and stored into its slot, each answer turned into its
// CALLRESULT payload. A list longer than its slot is refused whole, never
// stored cut.
#include <cmath>
#include <cstring>

#include "command_slots.h"
#include "messages.h"
#include "ocpp_time.h"

namespace ocppj {

using nlohmann::json;
using ojson = nlohmann::ordered_json;

namespace {

// A refusal: the CALLERROR code and its description.
struct Refusal {
    const char* code;
    const char* description;
};
constexpr Refusal kMissing{"OccurenceConstraintViolation", "a required field is missing"};
constexpr Refusal kType{"TypeConstraintViolation", "a field has the wrong type"};
constexpr Refusal kLength{"PropertyConstraintViolation", "a text is too long for its field"};
constexpr Refusal kDate{"TypeConstraintViolation", "a date-time field holds no date-time"};
constexpr Refusal kTooMany{"OccurenceConstraintViolation", "more list entries than the charge point holds"};

struct Reader {
    const json& obj;
    const Refusal* refusal = nullptr;

    bool Fail(const Refusal& r) {
        if (!refusal) refusal = &r;
        return false;
    }
    const json* Find(const char* key, bool required) {
        if (!obj.is_object()) return Fail(kType), nullptr;
        auto it = obj.find(key);
        if (it == obj.end()) return required ? (Fail(kMissing), nullptr) : nullptr;
        return &*it;
    }
    template <std::size_t N>
    bool Text(const char* key, char (&field)[N], bool required = false) {
        const json* v = Find(key, required);
        if (!v) return refusal == nullptr;
        if (!v->is_string()) return Fail(kType);
        return PutText(field, v->get<std::string>()) || Fail(kLength);
    }
    // A date-time that reads as one: a text that is none would pass for
    // already expired, or for no limit at all.
    template <std::size_t N>
    bool Date(const char* key, char (&field)[N], bool required = false) {
        if (!Text(key, field, required)) return false;
        return field[0] == '\0' || UtcToEpoch(FieldText(field)) != 0 || Fail(kDate);
    }
    bool Int(const char* key, std::int32_t& field, bool required = false) {
        const json* v = Find(key, required);
        if (!v) return refusal == nullptr;
        if (!v->is_number_integer()) return Fail(kType);
        const auto n = v->get<std::int64_t>();
        if (n < INT32_MIN || n > INT32_MAX) return Fail(kType);
        field = static_cast<std::int32_t>(n);
        return true;
    }
    bool Float(const char* key, float& field, bool required = false) {
        const json* v = Find(key, required);
        if (!v) return refusal == nullptr;
        if (!v->is_number()) return Fail(kType);
        field = v->get<float>();
        return true;
    }
};

// A profile body (chargingProfileId on) from a chargingProfile object.
bool ReadProfile(const json& obj, ChgProfile& p, const Refusal** refusal) {
    std::memset(p.chargingSchedulePeriod, 0xFF, sizeof p.chargingSchedulePeriod);
    Reader r{obj};
    bool ok = r.Int("chargingProfileId", p.chargingProfileId, true) && r.Int("transactionId", p.transactionId) &&
              r.Int("stackLevel", p.stackLevel, true) &&
              r.Text("chargingProfilePurpose", p.chargingProfilePurpose, true) &&
              r.Text("chargingProfileKind", p.chargingProfileKind, true) &&
              r.Text("recurrencyKind", p.recurrencyKind) && r.Text("validFrom", p.validFrom) &&
              r.Text("validTo", p.validTo);
    const json* schedule = ok ? r.Find("chargingSchedule", true) : nullptr;
    if (ok && schedule) {
        Reader s{*schedule};
        ok = s.Int("duration", p.duration) && s.Text("startSchedule", p.startSchedule) &&
             s.Text("chargingRateUnit", p.chargingRateUnit, true) && s.Float("minChargingRate", p.minChargingRate);
        const json* periods = ok ? s.Find("chargingSchedulePeriod", true) : nullptr;
        if (ok && periods) {
            if (!periods->is_array()) ok = s.Fail(kType);
            else if (periods->size() > static_cast<std::size_t>(kSchedulePeriods)) ok = s.Fail(kTooMany);
            for (std::size_t i = 0; ok && i < periods->size(); ++i) {
                Reader e{(*periods)[i]};
                SchedulePeriod& sp = p.chargingSchedulePeriod[i];
                ok = e.Int("startPeriod", sp.startPeriod, true) && e.Float("limit", sp.limit, true) &&
                     e.Int("numberPhases", sp.numberPhases);
                if (!ok) s.refusal = e.refusal;
            }
        }
        if (!ok) r.refusal = s.refusal;
    }
    if (!ok || !schedule) *refusal = r.refusal ? r.refusal : &kMissing;
    return ok && schedule;
}

bool ReadLocalList(const json& p, SendLocalListSlot& s, const Refusal** refusal) {
    Reader r{p};
    if (!r.Int("listVersion", s.listVersion, true) || !r.Text("updateType", s.updateType, true)) {
        *refusal = r.refusal;
        return false;
    }
    const json* list = r.Find("localAuthorizationList", false);
    if (!list) return true;
    if (!list->is_array()) return *refusal = &kType, false;
    if (list->size() > static_cast<std::size_t>(kLocalListSlotEntries)) return *refusal = &kTooMany, false;
    for (std::size_t i = 0; i < list->size(); ++i) {
        LocalListEntry& e = s.entries[i];
        Reader er{(*list)[i]};
        bool ok = er.Text("idTag", e.idTag, true);
        if (ok && e.idTag[0] == '\0') ok = er.Fail(kLength);  // an empty idTag would end the list early
        const json* info = ok ? er.Find("idTagInfo", false) : nullptr;
        if (ok && info) {
            Reader ir{*info};
            ok = ir.Text("status", e.status, true) && ir.Text("expiryDate", e.expiryDate) &&
                 ir.Text("parentIdTag", e.parentIdTag);
            if (!ok) er.refusal = ir.refusal;
        }
        if (!ok) return *refusal = er.refusal, false;
    }
    return true;
}

double OneDecimal(float v) { return std::round(static_cast<double>(v) * 10.0) / 10.0; }

}  // namespace

bool CommandServedHere(int command) {
    switch (command) {
    case kCmdCancelReservation: case kCmdChangeAvailability: case kCmdClearCache: case kCmdClearChargingProfile:
    case kCmdDataTransfer: case kCmdGetCompositeSchedule: case kCmdGetLocalListVersion:
    case kCmdRemoteStartTransaction: case kCmdRemoteStopTransaction: case kCmdReserveNow: case kCmdSendLocalList:
    case kCmdSetChargingProfile: case kCmdTriggerMessage: case kCmdUnlockConnector:
        return true;
    default:
        return false;
    }
}

bool StoreServedCommand(int command, const json& p, Exchange& x, std::string* code, std::string* description) {
    Reader r{p};
    const Refusal* refusal = nullptr;
    bool ok = true;
    switch (command) {
    case kCmdCancelReservation:
        ok = r.Int("reservationId", CancelReservationOf(x).reservationId, true);
        break;
    case kCmdChangeAvailability:
        ok = r.Int("connectorId", ChangeAvailabilityOf(x).connectorId, true) &&
             r.Text("type", ChangeAvailabilityOf(x).type, true);
        break;
    case kCmdClearChargingProfile: {
        ClearChargingProfileSlot& s = ClearChargingProfileOf(x);
        s.id = s.connectorId = s.stackLevel = -1;
        ok = r.Int("id", s.id) && r.Int("connectorId", s.connectorId) &&
             r.Text("chargingProfilePurpose", s.chargingProfilePurpose) && r.Int("stackLevel", s.stackLevel);
        break;
    }
    case kCmdDataTransfer: {
        DataTransferCmdSlot& s = DataTransferCmdOf(x);
        ok = r.Text("vendorId", s.vendorId, true) && r.Text("messageId", s.messageId);
        auto d = p.find("data");  // carried for the log only; any length
        if (ok && d != p.end()) PutText(s.data, (d->is_string() ? d->get<std::string>() : d->dump()).substr(0, 255));
        break;
    }
    case kCmdGetCompositeSchedule: {
        GetCompositeScheduleSlot& s = GetCompositeScheduleOf(x);
        ok = r.Int("connectorId", s.connectorId, true) && r.Int("duration", s.duration, true) &&
             r.Text("chargingRateUnit", s.chargingRateUnit);
        break;
    }
    case kCmdRemoteStartTransaction: {
        RemoteStartSlot& s = RemoteStartOf(x);
        s.connectorId = -1;
        std::memset(s.profile + offsetof(ChgProfile, chargingSchedulePeriod) - kProfileBodyOffset, 0xFF,
                    sizeof(ChgProfile::chargingSchedulePeriod));
        ok = r.Int("connectorId", s.connectorId) && r.Text("idTag", s.idTag, true);
        auto profile = p.find("chargingProfile");
        if (ok && profile != p.end()) {
            ChgProfile body{};
            ok = ReadProfile(*profile, body, &refusal);
            if (ok) std::memcpy(s.profile, reinterpret_cast<std::uint8_t*>(&body) + kProfileBodyOffset, kProfileBodySize);
        }
        break;
    }
    case kCmdRemoteStopTransaction:
        ok = r.Int("transactionId", RemoteStopOf(x).transactionId, true);
        break;
    case kCmdReserveNow: {
        Reservation& b = ReserveNowOf(x);
        ok = r.Int("connectorId", b.connectorId, true) && r.Date("expiryDate", b.expiryDate, true) &&
             r.Text("idTag", b.idTag, true) && r.Text("parentIdTag", b.parentIdTag) &&
             r.Int("reservationId", b.reservationId, true);
        break;
    }
    case kCmdSendLocalList:
        ok = ReadLocalList(p, SendLocalListOf(x), &refusal);
        break;
    case kCmdSetChargingProfile: {
        SetChargingProfileSlot& s = SetChargingProfileOf(x);
        ChgProfile body{};
        ok = r.Int("connectorId", body.connectorId, true);
        const json* profile = ok ? r.Find("csChargingProfiles", true) : nullptr;
        ok = ok && profile && ReadProfile(*profile, body, &refusal);
        if (ok) std::memcpy(s.profile, &body, sizeof s.profile);
        break;
    }
    case kCmdTriggerMessage: {
        TriggerMessageSlot& s = TriggerMessageOf(x);
        s.connectorId = -1;
        ok = r.Text("requestedMessage", s.requestedMessage, true) && r.Int("connectorId", s.connectorId);
        break;
    }
    case kCmdUnlockConnector:
        ok = r.Int("connectorId", UnlockConnectorOf(x).connectorId, true);
        break;
    default:
        break;
    }
    if (ok) return true;
    if (!refusal) refusal = r.refusal ? r.refusal : &kType;
    *code = refusal->code;
    *description = refusal->description;
    return false;
}

void BuildServedConf(int command, const Exchange& x, ojson& p) {
    switch (command) {
    case kCmdCancelReservation: p["status"] = FieldText(CancelReservationOf(x).status); break;
    case kCmdChangeAvailability: p["status"] = FieldText(ChangeAvailabilityOf(x).status); break;
    case kCmdClearCache: p["status"] = FieldText(ClearCacheOf(x).status); break;
    case kCmdClearChargingProfile: p["status"] = FieldText(ClearChargingProfileOf(x).status); break;
    case kCmdDataTransfer: p["status"] = FieldText(DataTransferCmdOf(x).status); break;
    case kCmdGetLocalListVersion: p["listVersion"] = GetLocalListVersionOf(x).listVersion; break;
    case kCmdRemoteStartTransaction: p["status"] = FieldText(RemoteStartOf(x).status); break;
    case kCmdRemoteStopTransaction: p["status"] = FieldText(RemoteStopOf(x).status); break;
    case kCmdReserveNow: p["status"] = FieldText(ReserveNowOf(x).status); break;
    case kCmdSendLocalList: p["status"] = FieldText(SendLocalListOf(x).status); break;
    case kCmdSetChargingProfile: p["status"] = FieldText(SetChargingProfileOf(x).status); break;
    case kCmdTriggerMessage: p["status"] = FieldText(TriggerMessageOf(x).status); break;
    case kCmdUnlockConnector: p["status"] = FieldText(UnlockConnectorOf(x).status); break;
    case kCmdGetCompositeSchedule: {
        const GetCompositeScheduleSlot& s = GetCompositeScheduleOf(x);
        p["status"] = FieldText(s.status);
        if (FieldText(s.status) == "Rejected") break;
        p["connectorId"] = s.answerConnectorId;
        p["scheduleStart"] = FieldText(s.scheduleStart);
        ojson schedule = ojson::object();
        schedule["duration"] = s.scheduleDuration;
        schedule["startSchedule"] = FieldText(s.startSchedule);
        schedule["chargingRateUnit"] = s.scheduleUnit[0] ? FieldText(s.scheduleUnit) : std::string("W");
        ojson periods = ojson::array();
        for (const SchedulePeriod& sp : s.chargingSchedulePeriod) {
            if (sp.startPeriod == -1) break;
            ojson o = ojson::object();
            o["startPeriod"] = sp.startPeriod;
            o["limit"] = OneDecimal(sp.limit);
            o["numberPhases"] = sp.numberPhases;
            periods.push_back(std::move(o));
        }
        schedule["chargingSchedulePeriod"] = std::move(periods);
        schedule["minChargingRate"] = OneDecimal(s.minChargingRate);
        p["chargingSchedule"] = std::move(schedule);
        break;
    }
    default:
        break;
    }
}

}  // namespace ocppj
