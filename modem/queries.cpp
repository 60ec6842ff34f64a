#include "queries.h"

#include <cstdlib>

#include "at_transport.h"
#include "regmap_fields.h"
#include "syslog.h"

namespace modem {

using namespace regmap::mainb;
using regmap::Text;

namespace {

bool AllDigits(std::string_view s) {
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

std::string Unknown(const char* format, long v) { return common::FormatLogText(format, static_cast<int>(v)); }

std::string FromTable(const std::vector<std::pair<long, const char*>>& table, long v, const char* other = "Unknow(%d)") {
    for (const auto& [k, t] : table) {
        if (k == v) return t;
    }
    return Unknown(other, v);
}

// The answer's text after `prefix`, or nothing when the prefix is missing.
std::optional<std::string_view> After(std::string_view answer, std::string_view prefix) {
    std::size_t at = answer.find(prefix);
    if (at == std::string_view::npos) return std::nullopt;
    return answer.substr(at + prefix.size());
}

// One query of the identity: ask, accept, store, log.
bool StoreIdentity(Wendle& w, Text field, const char* name, std::string_view value) {
    UpdateText(w.map, field, name, value);
    return true;
}

}  // namespace

void UpdateText(regmap::RegisterMap& map, Text field, std::string_view name, std::string_view text) {
    const std::string old = map.get(field);
    map.clear(field);
    map.set(field, text);
    if (old.find(text) == std::string::npos) {
        common::RecordSysLog("[Wendle]" + std::string(name) + " from " + old + " to " + std::string(text));
    }
}

Fields ScanFields(std::string_view s) {
    Fields f;
    std::optional<long> cur;
    for (char c : s) {
        if (c >= '0' && c <= '9') {
            long v = cur.value_or(0);
            // No module reports numbers this large; hold the value instead of overflowing.
            cur = v > 100000000 ? v : v * 10 + (c - '0');
        } else if (c == ',') {
            f.values.push_back(cur);
            cur.reset();
            ++f.commas;
        }
    }
    f.values.push_back(cur);
    return f;
}

bool ReadModelText(Wendle& w, int fd, std::string& model) {
    return Ask(*w.io, fd, "AT+CGMM", model) == Exchange::Ok;
}

bool GetModelName(Wendle& w, int fd) {
    std::string a;
    if (!ReadModelText(w, fd, a)) return false;
    return StoreIdentity(w, SHRMEM_3G_MODEL, "ModelName", a);
}

bool GetVersion(Wendle& w, int fd) {
    std::string a;
    if (Ask(*w.io, fd, "AT+CGMR", a) != Exchange::Ok) return false;
    return StoreIdentity(w, SHRMEM_3G_REVISION, "Version", a);
}

bool GetIMEI(Wendle& w, int fd) {
    std::string a;
    if (Ask(*w.io, fd, "AT+CGSN", a) != Exchange::Ok || !AllDigits(a)) return false;
    return StoreIdentity(w, SHRMEM_3G_IMEI, "IMEI", a);
}

bool GetIMSI(Wendle& w, int fd) {
    std::string a;
    if (Ask(*w.io, fd, "AT+CIMI", a) != Exchange::Ok || a.empty() || !AllDigits(a)) return false;
    StoreIdentity(w, SHRMEM_3G_MODEM_IMSI, "IMSI", a);
    w.map.clear(SHRMEM_3G_IMSI);
    w.map.set(SHRMEM_3G_IMSI, a);
    return true;
}

bool GetICCID(Wendle& w, int fd) {
    const char* cmd = nullptr;
    const char* prefix = nullptr;
    switch (w.ModuleModel) {
        case 0: cmd = "AT^ICCID?"; prefix = "^ICCID:"; break;
        case 1:
        case 2: cmd = "AT+CCID"; prefix = "+CCID:"; break;
        case 3: cmd = "AT^SIND=\"iccid\",0"; prefix = "^SIND: iccid,0,"; break;
        default: return false;
    }
    std::string a;
    if (Ask(*w.io, fd, cmd, a) != Exchange::Ok) return false;
    auto rest = After(a, prefix);
    if (!rest) return false;
    std::string digits;
    for (char c : *rest) {
        if (c >= '0' && c <= '9' && digits.size() < 31) digits += c;
    }
    if (digits.empty()) return false;
    return StoreIdentity(w, SHRMEM_3G_ICCID, "ICCID", digits);
}

bool GetRSXX(Wendle& w, int fd) {
    const bool cesq = w.ModuleModel == 2 || w.ModuleModel == 3;
    const std::string word = cesq ? "+CESQ" : "+CSQ";
    std::string a;
    if (Ask(*w.io, fd, "AT" + word, a) != Exchange::Ok) return false;
    auto rest = After(a, word + ":");
    if (!rest) return false;
    Fields f = ScanFields(*rest);
    auto asByte = [](long v) { return static_cast<std::uint8_t>(v > 255 ? 255 : v); };
    if (!cesq) {
        if (f.commas < 1) return true;
        const std::uint8_t rssi = asByte(f.at(0));
        w.map.set(SHRMEM_3G_MODEM_RSSI, rssi);
        if (std::abs(rssi - w.lastRssi) >= 6) {
            common::RecordSysLogf("[Wendle] RSSI is from %d to %u", w.lastRssi, rssi);
            w.lastRssi = rssi;
        }
        return true;
    }
    if (f.commas < 4) return true;
    const std::uint8_t rsrq = asByte(f.at(4));
    w.map.set(SHRMEM_3G_MODEM_RSRQ, rsrq);
    if (std::abs(rsrq - w.lastRsrq) > 10) {
        common::RecordSysLogf("[Wendle] RSRQ is from %d to %u", w.lastRsrq, rsrq);
        w.lastRsrq = rsrq;
    }
    if (f.commas < 5) return true;
    const std::uint8_t rsrp = asByte(f.at(5));
    w.map.set(SHRMEM_3G_MODEM_RSRP, rsrp);
    if (std::abs(rsrp - w.lastRsrp) > 10) {
        common::RecordSysLogf("[Wendle] RSRP is from %d to %u", w.lastRsrp, rsrp);
        w.lastRsrp = rsrp;
    }
    return true;
}

std::string RegistrationText(long v) {
    return FromTable({{0, "No services"}, {1, "Valid services"}, {2, "Search new service"}, {3, "Service denied"},
                      {4, "Unknown"}, {5, "Valid roaming services"}},
                     v);
}

std::string ServiceStatusText(long v) {
    return FromTable({{0, "No services"}, {1, "Restricted services"}, {2, "Valid services"},
                      {3, "Restricted regional services"}, {4, "Power saving"}},
                     v);
}

std::string AccessTechText(long v) {
    static const char* const kNames[] = {"GSM", "GSM Compact", "UTRAN", "GSM w/EGPRS", "UTRAN w/HSDPA",
                                         "UTRAN w/HSUPA", "UTRAN w/HSDPA HSUPA", "LTE", "EC-GSM-IoT", "E-UTRAN"};
    return v >= 0 && v <= 9 ? kNames[v] : "Unknown";
}

bool GetServiceStatue(Wendle& w, int fd) {
    std::string a;
    if (Ask(*w.io, fd, "AT+CREG?", a) != Exchange::Ok) return false;
    auto rest = After(a, "+CREG:");
    if (!rest) return false;
    Fields f = ScanFields(*rest);
    if (f.has(1)) UpdateText(w.map, SHRMEM_3G_SERVICE_STATUS, "SHRMEM_3G_SERVICE_STATUS", RegistrationText(f.at(1)));
    return true;
}

bool GetSIMstate(Wendle& w, int fd) {
    std::string a;
    if (Ask(*w.io, fd, "AT+CPIN?", a) != Exchange::Ok) return false;
    std::string text;
    if (auto rest = After(a, "+CPIN")) {
        text = rest->find("READY") != std::string_view::npos ? "Valid SIM card" : "Unknown SIM state";
    } else if (auto err = After(a, "+CME ERROR:")) {
        text = err->find("SIM failure") != std::string_view::npos ? "Invalid SIM card" : "Unknown SIM state";
    } else {
        return true;
    }
    UpdateText(w.map, SHRMEM_3G_SIM_STATE, "SHRMEM_3G_SIM_STATE", text);
    return true;
}

bool GetSystemInfo(Wendle& w, int fd) {
    if (w.ModuleModel == 2) {
        GetServiceStatue(w, fd);
        std::string a;
        if (Ask(*w.io, fd, "AT+CIND?", a) != Exchange::Ok) return false;
        auto rest = After(a, "+CIND:");
        if (!rest) return false;
        Fields f = ScanFields(*rest);
        if (f.has(11)) {
            UpdateText(w.map, SHRMEM_3G_SIM_STATE, "SHRMEM_3G_SIM_STATE",
                       FromTable({{0, "No SIM card is found"}, {1, "Valid SIM card"}, {2, "Invalid SIM card"}},
                                 f.at(11), "Unknow SIM state(%d)"));
        }
        return false;
    }
    if (w.ModuleModel == 3) {
        GetServiceStatue(w, fd);
        GetSIMstate(w, fd);
        return false;
    }
    if (w.ModuleModel != 0) return false;
    std::string a;
    if (Ask(*w.io, fd, "AT^SYSINFO", a) != Exchange::Ok) return false;
    auto rest = After(a, "^SYSINFO:");
    if (!rest) return false;
    Fields f = ScanFields(*rest);
    struct Slot {
        std::size_t field;
        Text dest;
        const char* name;
        std::string (*text)(long);
    };
    static const Slot kSlots[] = {
        {0, SHRMEM_3G_SERVICE_STATUS, "SHRMEM_3G_SERVICE_STATUS", ServiceStatusText},
        {1, SHRMEM_3G_SERVICE_DOMAIN, "SHRMEM_3G_SERVICE_DOMAIN",
         [](long v) {
             return FromTable({{0, "No services"}, {1, "CS service only"}, {2, "PS service only"},
                               {3, "PS+CS services"}, {4, "searching now"}},
                              v);
         }},
        {2, SHRMEM_3G_ROAM_STATUS, "SHRMEM_3G_ROAM_STATUS",
         [](long v) { return FromTable({{0, "Not roaming"}, {1, "Roaming"}}, v); }},
        {3, SHRMEM_3G_SYSTEM_MODE, "SHRMEM_3G_SYSTEM_MODE",
         [](long v) {
             return FromTable({{0, "No services"}, {1, "AMPS mode"}, {2, "CDMA mode"}, {3, "GSM/GPRS mode"},
                               {4, "HDR mode"}, {5, "WCDMA mode"}, {6, "GPS mode"}, {7, "GSM/WCDMA"},
                               {8, "CDMA/HDR HYBRID"}, {15, "TD_SCDMA mode"}},
                              v);
         }},
        {4, SHRMEM_3G_SIM_STATE, "SHRMEM_3G_SIM_STATE",
         [](long v) {
             return FromTable({{0, "Invalid SIM card"}, {1, "Valid SIM card"}, {2, "Invalid SIM card in CS"},
                               {3, "Invalid SIM card in PS"}, {4, "Invalid SIM card in CS and PS"},
                               {240, "ROM-SIM version"}, {255, "No SIM card is found"}},
                              v);
         }},
        {6, SHRMEM_3G_SYSTEM_SUBMODE, "SHRMEM_3G_SYSTEM_SUBMODE",
         [](long v) {
             static const char* const kNames[] = {
                 "No services", "GSM mode", "GPRS mode", "EDGE mode", "WCDMA mode", "HSDPA mode", "HSUPA mode",
                 "HSUPA and HSDPA mode", "TD_SCDMA mode", "HSPA+ mode", "EVDO Rev.0", "EVDO Rev.A", "EVDO Rev.B",
                 "1xRTT", "UMB", "1xEVDV", "3xRTT", "HSPA+(64QAM) mode", "HSPA+(MIMO) mode"};
             return v >= 0 && v <= 18 ? std::string(kNames[v]) : Unknown("Unknow(%d)", v);
         }},
    };
    for (const Slot& s : kSlots) {
        if (f.has(s.field)) UpdateText(w.map, s.dest, s.name, s.text(f.at(s.field)));
    }
    return true;
}

bool GetOperator(Wendle& w, int fd) {
    std::string a;
    if (Ask(*w.io, fd, "AT+COPS?", a) != Exchange::Ok) return false;
    auto rest = After(a, "+COPS:");
    if (!rest) return false;
    std::string work[4] = {"0", "0", "No Connect", "0"};
    std::size_t field = 0;
    std::size_t commas = 0;
    for (char c : *rest) {
        if (c == ',') {
            ++commas;
            if (field < 3) {
                ++field;
                work[field].clear();
            }
        } else if (field < 4 && work[field].size() < 31 && commas == field) {
            work[field] += c;
        }
    }
    long act = 255;
    if (!rest->empty()) {
        w.map.clear(SHRMEM_3G_OPERATOR);
        w.map.set(SHRMEM_3G_OPERATOR, commas < 2 ? std::string("No Connect") : work[2]);
        if (commas > 2) act = ScanFields(work[3]).has(0) ? ScanFields(work[3]).at(0) : 0;
    }
    w.map.clear(SHRMEM_3G_ACCESS_TECH);
    w.map.set(SHRMEM_3G_ACCESS_TECH, AccessTechText(act));
    return true;
}

bool GetPPP0Info(Wendle& w, Text field) {
    std::optional<std::string> addr = w.board.ppp0Address ? w.board.ppp0Address() : std::nullopt;
    if (!addr || addr->empty()) return false;
    w.map.clear(field);
    w.map.set(field, *addr);
    return true;
}

}  // namespace modem
