// The watched bits of the alarm bit map (bytes 312-343): per bit its event
// code, the info texts of the OCPP 1.5 status record, and how its report
// departs from the usual event line + trap + status record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace alarms {

inline constexpr std::uint32_t kAlarmMapFirst = 312;
inline constexpr std::size_t kAlarmBytes = 32;

enum class Rule : std::uint8_t {
    None,
    TrackOnly,        // the remembered copy follows the bit; nothing is reported
    GfdPreWarning,    // 1.6 record on the connector in use at the raise
    Gfd,              // the same, and a raise is a ground failure of a faulted connector
    SmrInputUvp,      // reported once it has lasted more than 3 s and the GFD alarm is clear
    EmergencyButton,  // examined only while a charge step is running
    ModemComm,        // not examined while the model name carries the product prefix
    Forced,           // the CHAdeMO controller can force a raise through a force bit
};

struct AlarmRow {
    std::uint8_t index;          // byte - 312
    std::uint8_t mask;
    const char* code;            // four hexadecimal digits; "" = no event line
    const char* textRaised;      // OCPP 1.5 info; nullptr = no OCPP 1.5 record
    const char* textCleared;
    bool trap;
    bool ocpp16;                 // a CpStatus record in the status ring
    const char* oid;             // alarm OID; nullptr = the bit's own
    const char* vendorOid;       // OID of the OCPP 1.5 vendorErrorCode; nullptr = oid without its leading point
    Rule rule = Rule::None;
    std::uint32_t forceByte = 0;  // Forced rows: the force bit
    std::uint8_t forceMask = 0;
};

// The rows in the order a pass examines them: ascending byte, then mask.
std::span<const AlarmRow> AlarmRows();

// The four letters that open the product's own model names; on such a model
// the 3G module is not fitted and its communication alarm means nothing.
inline constexpr const char* kProductModelPrefix = "VDCQ";

}  // namespace alarms
