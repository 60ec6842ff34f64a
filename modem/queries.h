// Identity, radio and network queries: one AT exchange each, the answer
// checked and parsed into the register map, each change logged.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "regmap.h"
#include "wendle.h"

namespace modem {

// Writes the text into the field (cut to fit, NUL kept) and logs
// "[Wendle]<name> from <old> to <new>" unless the old text contains the new one.
void UpdateText(regmap::RegisterMap& map, regmap::Text field, std::string_view name, std::string_view text);

// Decimal fields of an answer after its prefix: digits make the value, a comma
// ends a field, anything else is skipped. The last field is the one the line
// end cut off; `commas` tells how many fields a comma ended.
struct Fields {
    std::vector<std::optional<long>> values;  // nothing = no digit in the field
    std::size_t commas = 0;
    long at(std::size_t i) const { return i < values.size() && values[i] ? *values[i] : 0; }
    bool has(std::size_t i) const { return i < values.size() && values[i].has_value(); }
};
Fields ScanFields(std::string_view afterPrefix);

// Identity (1 when read and stored).
bool ReadModelText(Wendle& w, int fd, std::string& model);
bool GetModelName(Wendle& w, int fd);
bool GetVersion(Wendle& w, int fd);
bool GetIMEI(Wendle& w, int fd);
bool GetIMSI(Wendle& w, int fd);
bool GetICCID(Wendle& w, int fd);

// Radio and network state.
bool GetRSXX(Wendle& w, int fd);
bool GetServiceStatue(Wendle& w, int fd);
bool GetSIMstate(Wendle& w, int fd);
bool GetSystemInfo(Wendle& w, int fd);
bool GetOperator(Wendle& w, int fd);
// ppp0's address into `field`; false (field untouched) without one.
bool GetPPP0Info(Wendle& w, regmap::Text field);

// The texts of the status tables ("Unknow(%d)" for an unlisted value).
std::string ServiceStatusText(long v);      // AT^SYSINFO field 0
std::string RegistrationText(long v);       // AT+CREG? field 1
std::string AccessTechText(long v);         // AT+COPS? AcT

}  // namespace modem
