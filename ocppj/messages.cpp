#include "messages.h"

#include <cstdio>
#include <cstring>

#include "diagnostics.h"
#include "firmware.h"
#include "reset.h"

namespace ocppj {

using nlohmann::json;
using ojson = nlohmann::ordered_json;

namespace {

struct RequestInfo {
    const char* name;
    FlagBit bit;
};
constexpr RequestInfo kRequests[] = {
    {"Authorize", kBitAuthorize},
    {"StartTransaction", kBitStartTransaction},
    {"StopTransaction", kBitStopTransaction},
    {"StatusNotification", kBitStatusNotification},
    {"MeterValues", kBitMeterValues},
    {"DataTransfer", kBitDataTransfer},
    {"DiagnosticsStatusNotification", kBitDiagnosticsStatus},
    {"FirmwareStatusNotification", kBitFirmwareStatus},
    {"BootNotification", kBitBootNotification},
    {"Heartbeat", kBitHeartbeat},
};

template <typename T>
void Zero(T& field) {
    std::memset(&field, 0, sizeof(field));
}

template <std::size_t N>
const char* Table(const char* const (&table)[N], std::uint8_t index) {
    return index < N ? table[index] : "";
}

std::string Call(const std::string& id, const char* action, const ojson& payload) {
    return ojson::array({2, id, action, payload}).dump(-1, ' ', false, json::error_handler_t::replace);
}

// A text member of an object: absent is fine (the field stays empty); a value
// of another type or too long for the field is not.
template <std::size_t N>
bool TakeText(const json& obj, const char* key, char (&field)[N]) {
    if (!obj.is_object()) return false;
    auto it = obj.find(key);
    if (it == obj.end()) return true;
    if (!it->is_string()) return false;
    return PutText(field, it->get<std::string>());
}

bool TakeInt(const json& obj, const char* key, std::int32_t& field) {
    auto it = obj.find(key);
    if (it == obj.end()) return true;
    if (!it->is_number_integer()) return false;
    auto v = it->get<std::int64_t>();
    if (v < INT32_MIN || v > INT32_MAX) return false;
    field = static_cast<std::int32_t>(v);
    return true;
}

bool TakeIdTagInfo(const json& payload, char (&expiry)[28], char (&parent)[21], char (&status)[16]) {
    auto it = payload.find("idTagInfo");
    if (it == payload.end()) return true;
    return it->is_object() && TakeText(*it, "status", status) && TakeText(*it, "expiryDate", expiry) &&
           TakeText(*it, "parentIdTag", parent);
}

// Recovers the id of a CALL that is not valid JSON, so that it can still be
// answered: the first quoted text after the opening bracket and a type digit.
std::string RecoverId(std::string_view text) {
    std::size_t q1 = text.find('"');
    if (q1 == std::string_view::npos) return {};
    std::size_t q2 = text.find('"', q1 + 1);
    if (q2 == std::string_view::npos || q2 - q1 - 1 > 36) return {};
    return std::string(text.substr(q1 + 1, q2 - q1 - 1));
}

}  // namespace

const char* RequestName(Request r) { return kRequests[static_cast<int>(r)].name; }
FlagBit RequestBit(Request r) { return kRequests[static_cast<int>(r)].bit; }

std::string UniqueIds::Next(std::int64_t epochSeconds) {
    seq_ = seq_ >= 100 ? 1 : seq_ + 1;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%lld%02d", static_cast<long long>(epochSeconds), seq_);
    return buf;
}

bool TransactionRelated(Request r, const Exchange& x) {
    return r == Request::StartTransaction || r == Request::StopTransaction ||
           (r == Request::MeterValues && x.meterValues.transactionId != 0);
}

std::string TransactionMessageId(Request r, const Exchange& x) {
    const std::string text = BuildCall(r, "", x);
    std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
    for (unsigned char ch : text) {
        h ^= ch;
        h *= 0x100000001b3ULL;
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "tx%016llx", static_cast<unsigned long long>(h));
    return buf;
}

void ClearAnswerFields(Request r, Exchange& x) {
    switch (r) {
    case Request::Authorize:
        Zero(x.authorize.expiryDate), Zero(x.authorize.parentIdTag), Zero(x.authorize.status);
        break;
    case Request::BootNotification:
        Zero(x.boot.status), Zero(x.boot.currentTime), x.boot.interval = 0;
        break;
    case Request::DataTransfer:
        Zero(x.dataTransfer.status), Zero(x.dataTransfer.answerData);
        break;
    case Request::Heartbeat:
        Zero(x.heartbeat.currentTime);
        break;
    case Request::StartTransaction:
        Zero(x.startTransaction.expiryDate), Zero(x.startTransaction.parentIdTag);
        Zero(x.startTransaction.status), x.startTransaction.transactionId = 0;
        break;
    case Request::StopTransaction:
        Zero(x.stopTransaction.expiryDate), Zero(x.stopTransaction.parentIdTag), Zero(x.stopTransaction.status);
        break;
    default:
        break;
    }
}

std::string BuildCall(Request r, const std::string& id, const Exchange& x) {
    const char* action = RequestName(r);
    ojson p = ojson::object();
    switch (r) {
    case Request::Authorize:
        p["idTag"] = FieldText(x.authorize.idTag);
        break;
    case Request::BootNotification: {
        const auto& b = x.boot;
        p["chargePointVendor"] = FieldText(b.chargePointVendor);
        p["chargePointModel"] = FieldText(b.chargePointModel);
        p["chargePointSerialNumber"] = FieldText(b.chargePointSerialNumber);
        p["chargeBoxSerialNumber"] = FieldText(b.chargeBoxSerialNumber);
        p["firmwareVersion"] = FieldText(b.firmwareVersion);
        p["iccid"] = FieldText(b.iccid);
        p["imsi"] = FieldText(b.imsi);
        break;
    }
    case Request::DataTransfer:
        p["vendorId"] = FieldText(x.dataTransfer.vendorId);
        p["messageId"] = FieldText(x.dataTransfer.messageId);
        p["data"] = FieldText(x.dataTransfer.data);
        break;
    case Request::DiagnosticsStatusNotification:
        p["status"] = FieldText(x.diagnosticsStatus.status);
        break;
    case Request::FirmwareStatusNotification:
        p["status"] = FieldText(x.firmwareStatus.status);
        break;
    case Request::Heartbeat:
        break;
    case Request::StartTransaction: {
        const auto& s = x.startTransaction;
        p["connectorId"] = s.connectorId;
        p["idTag"] = FieldText(s.idTag);
        p["meterStart"] = s.meterStart;
        if (s.reservationId != 0) p["reservationId"] = s.reservationId;
        p["timestamp"] = FieldText(s.timestamp);
        break;
    }
    case Request::StatusNotification: {
        const auto& s = x.statusNotification;
        p["connectorId"] = s.connectorId;
        p["errorCode"] = Table(StatusNotification_ErrorCode, s.errorCode);
        p["info"] = FieldText(s.info);
        p["status"] = Table(StatusNotification_Status, s.status);
        p["timestamp"] = FieldText(s.timestamp);
        p["vendorId"] = FieldText(s.vendorId);
        p["vendorErrorCode"] = FieldText(s.vendorErrorCode);
        break;
    }
    case Request::StopTransaction: {
        const auto& s = x.stopTransaction;
        p["idTag"] = FieldText(s.idTag);
        p["meterStop"] = s.meterStop;
        p["timestamp"] = FieldText(s.timestamp);
        p["transactionId"] = s.transactionId;
        p["reason"] = Table(StopTransaction_StopReason, s.reason);
        break;
    }
    case Request::MeterValues: {
        const auto& m = x.meterValues;
        p["connectorId"] = m.connectorId;
        p["transactionId"] = m.transactionId;
        ojson list = ojson::array();
        for (const MeterValue& mv : m.meterValue) {
            if (mv.timestamp[0] == '\0') break;
            ojson entry = ojson::object();
            entry["timestamp"] = FieldText(mv.timestamp);
            ojson sampled = ojson::array();
            for (const SampledValue& sv : mv.sampledValue) {
                if (sv.value[0] == '\0') break;
                ojson v = ojson::object();
                v["value"] = FieldText(sv.value);
                if (sv.context[0]) v["context"] = FieldText(sv.context);
                if (sv.format[0]) v["format"] = FieldText(sv.format);
                if (sv.measurand[0]) v["measurand"] = FieldText(sv.measurand);
                if (sv.phase[0]) v["phase"] = FieldText(sv.phase);
                if (sv.location[0]) v["location"] = FieldText(sv.location);
                if (sv.unit[0]) v["unit"] = FieldText(sv.unit);
                sampled.push_back(std::move(v));
            }
            entry["sampledValue"] = std::move(sampled);
            list.push_back(std::move(entry));
        }
        p["meterValue"] = std::move(list);
        break;
    }
    }
    return Call(id, action, p);
}

Frame ParseFrame(std::string_view text) {
    Frame f;
    json j = json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded() || !j.is_array() || j.size() < 3 || !j[0].is_number_unsigned() || !j[1].is_string()) {
        if (text.size() > 2 && text.substr(0, 3) == "[2,") f.id = RecoverId(text.substr(3));
        return f;
    }
    f.id = j[1].get<std::string>();
    const int type = static_cast<int>(j[0].get<unsigned>());
    if (type == 2 && j.size() == 4 && j[2].is_string() && j[3].is_object()) {
        f.action = j[2].get<std::string>();
        f.payload = std::move(j[3]);
        f.type = 2;
    } else if (type == 3 && j.size() == 3 && j[2].is_object()) {
        f.payload = std::move(j[2]);
        f.type = 3;
    } else if (type == 4 && j.size() >= 4 && j[2].is_string()) {
        f.errorCode = j[2].get<std::string>();
        f.type = 4;
    }
    return f;
}

bool StoreResult(Request r, const json& p, Exchange& x) {
    switch (r) {
    case Request::BootNotification:
        return TakeText(p, "status", x.boot.status) && TakeText(p, "currentTime", x.boot.currentTime) &&
               TakeInt(p, "interval", x.boot.interval);
    case Request::Heartbeat:
        return TakeText(p, "currentTime", x.heartbeat.currentTime);
    case Request::Authorize:
        return TakeIdTagInfo(p, x.authorize.expiryDate, x.authorize.parentIdTag, x.authorize.status);
    case Request::StartTransaction:
        return TakeIdTagInfo(p, x.startTransaction.expiryDate, x.startTransaction.parentIdTag,
                             x.startTransaction.status) &&
               TakeInt(p, "transactionId", x.startTransaction.transactionId);
    case Request::StopTransaction:
        return TakeIdTagInfo(p, x.stopTransaction.expiryDate, x.stopTransaction.parentIdTag,
                             x.stopTransaction.status);
    case Request::DataTransfer: {
        if (!TakeText(p, "status", x.dataTransfer.status)) return false;
        auto it = p.find("data");
        if (it == p.end()) return true;
        // The data may be any JSON value; a non-text is kept as its JSON text.
        return PutText(x.dataTransfer.answerData, it->is_string() ? it->get<std::string>() : it->dump());
    }
    default:
        return p.is_object();
    }
}

namespace {

constexpr const char* kRetriesRule = "retries and retryInterval are integers from 0";

// The optional retries and retryInterval of a transfer command; the CALLERROR
// code when one is not a count.
const char* TakeRetries(const json& p, std::int32_t& retries, std::int32_t& retryInterval) {
    for (auto [name, field] : {std::pair{"retries", &retries}, std::pair{"retryInterval", &retryInterval}}) {
        auto v = p.find(name);
        if (v == p.end()) continue;
        if (!v->is_number_integer()) return "TypeConstraintViolation";
        const long long n = v->get<long long>();
        if (n < 0 || n > 0x7FFFFFFF) return "PropertyConstraintViolation";
        *field = static_cast<std::int32_t>(n);
    }
    return nullptr;
}

}  // namespace

bool CommandServed(int command) {
    return command == kCmdChangeConfiguration || command == kCmdGetConfiguration || command == kCmdUpdateFirmware ||
           command == kCmdReset || command == kCmdGetDiagnostics || CommandServedHere(command);
}

CommandCheck StoreCommand(const std::string& action, const json& p, Exchange& x) {
    CommandCheck c;
    const int cmd = CommandIndex(action);
    if (cmd < 0) {
        c.errorCode = "NotImplemented";
        c.description = "Unknown action";
        return c;
    }
    if (!CommandServed(cmd)) {
        c.errorCode = "NotSupported";
        c.description = "Action not supported yet";
        return c;
    }
    const SlotRange slot = kCommandSlots[cmd];
    std::uint8_t* base = reinterpret_cast<std::uint8_t*>(&x);
    std::memset(base + slot.offset, 0, slot.size);
    auto fail = [&](const char* code, const char* desc) {
        std::memset(base + slot.offset, 0, slot.size);
        c.errorCode = code;
        c.description = desc;
        return c;
    };
    if (cmd == kCmdChangeConfiguration) {
        auto k = p.find("key");
        auto v = p.find("value");
        if (k == p.end() || v == p.end()) return fail("OccurenceConstraintViolation", "key and value are required");
        if (!k->is_string() || !v->is_string()) return fail("TypeConstraintViolation", "key and value are texts");
        if (!PutText(x.changeConfiguration.key, k->get<std::string>()) ||
            !PutText(x.changeConfiguration.value, v->get<std::string>()))
            return fail("PropertyConstraintViolation", "key or value too long");
    } else if (cmd == kCmdGetConfiguration) {
        auto k = p.find("key");
        if (k != p.end()) {
            if (!k->is_array()) return fail("TypeConstraintViolation", "key is a list of texts");
            if (k->size() > static_cast<std::size_t>(kConfigListMax))
                return fail("OccurenceConstraintViolation", "more keys than GetConfigurationMaxKeys");
            std::size_t i = 0;
            for (const json& e : *k) {
                if (!e.is_string()) return fail("TypeConstraintViolation", "key is a list of texts");
                if (e.get<std::string>().empty() || !PutText(x.getConfiguration.key[i++], e.get<std::string>()))
                    return fail("PropertyConstraintViolation", "key empty or too long");
            }
        }
    } else if (cmd == kCmdUpdateFirmware) {
        auto loc = p.find("location");
        auto date = p.find("retrieveDate");
        if (loc == p.end() || date == p.end()) return fail("OccurenceConstraintViolation", "location and retrieveDate are required");
        if (!loc->is_string() || !date->is_string()) return fail("TypeConstraintViolation", "location and retrieveDate are texts");
        UpdateFirmwareSlot& slot = FirmwareSlot(x);
        if (loc->get<std::string>().empty() || !PutText(slot.location, loc->get<std::string>()) ||
            !PutText(slot.retrieveDate, date->get<std::string>()))
            return fail("PropertyConstraintViolation", "location empty or too long, or retrieveDate too long");
        if (const char* e = TakeRetries(p, slot.retries, slot.retryInterval)) return fail(e, kRetriesRule);
    } else if (cmd == kCmdGetDiagnostics) {
        auto loc = p.find("location");
        if (loc == p.end()) return fail("OccurenceConstraintViolation", "location is required");
        if (!loc->is_string()) return fail("TypeConstraintViolation", "location is a text");
        GetDiagnosticsSlot& slot = DiagnosticsSlot(x);
        if (loc->get<std::string>().empty() || !PutText(slot.location, loc->get<std::string>()) ||
            !TakeText(p, "startTime", slot.startTime) || !TakeText(p, "stopTime", slot.stopTime))
            return fail("PropertyConstraintViolation", "location empty or too long, or a time not a short text");
        if (const char* e = TakeRetries(p, slot.retries, slot.retryInterval)) return fail(e, kRetriesRule);
    } else if (cmd == kCmdReset) {
        auto t = p.find("type");
        if (t == p.end()) return fail("OccurenceConstraintViolation", "type is required");
        if (!t->is_string()) return fail("TypeConstraintViolation", "type is a text");
        // A type too long for the slot is no reset type: left empty, it is rejected.
        PutText(ResetSlotOf(x).type, t->get<std::string>());
    } else if (std::string code, desc; !StoreServedCommand(cmd, p, x, &code, &desc)) {
        std::memset(base + slot.offset, 0, slot.size);
        c.errorCode = code;
        c.description = desc;
        return c;
    }
    c.command = cmd;
    return c;
}

std::string BuildConf(int command, const std::string& id, const Exchange& x) {
    ojson p = ojson::object();
    if (command == kCmdChangeConfiguration) {
        p["status"] = FieldText(x.changeConfiguration.status);
    } else if (command == kCmdReset) {
        p["status"] = FieldText(ResetSlotOf(x).status);
    } else if (command == kCmdGetDiagnostics) {
        const std::string name = FieldText(DiagnosticsSlot(x).fileName);
        if (!name.empty()) p["fileName"] = name;
    } else if (command == kCmdGetConfiguration) {
        ojson known = ojson::array();
        for (const ConfigKeyEntry& e : x.getConfiguration.configurationKey) {
            if (e.key[0] == '\0') break;
            ojson o = ojson::object();
            o["key"] = FieldText(e.key);
            o["readonly"] = FieldText(e.readonly) == "true";
            if (e.value[0]) o["value"] = FieldText(e.value);
            known.push_back(std::move(o));
        }
        ojson unknown = ojson::array();
        for (const auto& k : x.getConfiguration.unknownKey) {
            if (k[0] == '\0') break;
            unknown.push_back(FieldText(k));
        }
        p["configurationKey"] = std::move(known);
        p["unknownKey"] = std::move(unknown);
    } else {
        BuildServedConf(command, x, p);
    }
    return ojson::array({3, id, p}).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string BuildCallError(const std::string& id, const std::string& code, const std::string& description) {
    return ojson::array({4, id, code, description, ojson::object()}).dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace ocppj
