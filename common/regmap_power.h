// Register-map fields of the power modules and of the AC input contactors
// (main board). The module manager writes the measurements and its alarm
// bits; the station controller and the charging sides write the inputs.
#pragma once

#include <atomic>

#include "regmap_fields.h"

namespace regmap {

inline constexpr U16 SHRMEM_GET_I1{5};                     // sum of module output currents, 0.1 A
inline constexpr U16 SHRMEM_GET_P1{9};
inline constexpr U16 SHRMEM_RECTIFIER_OUTPUT_VOLT{21};     // module output voltage, 0.1 V
inline constexpr Bytes SHRMEM_SMR_TEMP1{67, 2};            // as the module sends them
inline constexpr Bytes SHRMEM_SMR_TEMP2{69, 2};
inline constexpr Bytes SHRMEM_SMR_TEMP3{77, 2};
inline constexpr U8 SHRMEM_RECTIFIER_QTY{89};              // addressed modules
inline constexpr Bytes SHRMEM_SMR1_FW_VERSION{92, 8};
inline constexpr Bytes SHRMEM_SMR2_FW_VERSION{100, 8};
inline constexpr U16 SHRMEM_SMR_GROUP1_VOLT{130};
inline constexpr U8 SHRMEM_RECTIFIER_FW_UPDATE{279};       // 1 primary, other non-zero secondary
inline constexpr Bytes SHRMEM_SMR_VERSION_STATUS{308, 4};
inline constexpr U8 SHRMEM_CHADEMO_HOLD{437};
inline constexpr U8 SHRMEM_FAN_SPEED_VALUE{523};
inline constexpr U8 SHRMEM_FAN_SPEED_CMD{524};             // bit 7 = command pending
inline constexpr U16 SHRMEM_FAN_SPEED1{528};
inline constexpr U16 SHRMEM_FAN_SPEED2{530};
inline constexpr U16Le SHRMEM_CHADEMO_TARGET_VOLTAGE{2066};  // EV102 bytes 1-2, V
inline constexpr U16Le SHRMEM_CHADEMO_PRESENT_VOLTAGE{2082}; // CP109 bytes 1-2, V
inline constexpr U8 SHRMEM_PCM_ONOFF{2115};                // last on/off code
inline constexpr U8 SHRMEM_SMR_CURRENT_LIMIT{2580};        // A
inline constexpr U8 SHRMEM_AC_CONTACTOR{2778};             // request | 0x80; answer bit 0 = closed
inline constexpr U8 SHRMEM_AC_CONTACTOR2{2779};
inline constexpr U8 SHRMEM_RECTIFIER1_RELAY{2782};
inline constexpr U8 SHRMEM_RECTIFIER2_RELAY{2783};
inline constexpr U16Le SHRMEM_SMR_VOUT1{20984};            // 0.1 V, native order
inline constexpr U16Le SHRMEM_SMR_VOUT2{20986};
inline constexpr U16Le SHRMEM_SMR_IOUT1{20988};            // 0.1 A, native order
inline constexpr U16Le SHRMEM_SMR_IOUT2{20990};
inline constexpr U16Le SHRMEM_SMR_AVAIL_POWER{21514};      // W
inline constexpr U8 SHRMEM_SMR_INPUT_POLL{21548};          // 1 = read the input voltages
inline constexpr Bytes SHRMEM_SMR_VALUES_21549{21549, 12};
inline constexpr U8 SHRMEM_SMR_INPUT_SEEN{21561};          // bits 0-5
inline constexpr U16Le SHRMEM_SMR_VOLT_OVERRIDE{21605};    // V
inline constexpr U8 SHRMEM_SMR_CURRENT_CAP{21609};         // A
// Input voltages 1-3 of the first module, then of the second, 4 bytes apart.
inline constexpr U16Le SmrInputVolt(unsigned i) { return U16Le{43098 + 4 * i}; }

inline constexpr Bits ALARM_SYSTEM_FILTER{312, 0x01};
inline constexpr Bits ALARM_SMR_COMM{312, 0x40};
inline constexpr Bits ALARM_SMR_HARDWARE{313, 0x01};
inline constexpr Bits ALARM_SMR_UPDATE{313, 0x08};
inline constexpr Bits ALARM_SMR_AMBIENT_OTP{315, 0x01};
inline constexpr Bits ALARM_SMR_FAN{315, 0x10};
inline constexpr Bits ALARM_SMR_TEMPORARY_315{315, 0x1F};   // ambient, PFC temperatures and fan
inline constexpr Bits ALARM_SMR_OUTPUT_OVP{316, 0x01};
inline constexpr Bits ALARM_SMR_OUTPUT_UVP{316, 0x02};
inline constexpr Bits ALARM_SMR_INPUT_OVP{316, 0x04};
inline constexpr Bits ALARM_SMR_INPUT_UVP{316, 0x08};

// Shared bytes that several programs change bit by bit are changed with one
// atomic read-modify-write, so a bit another program sets in between is kept.
inline void SetBitsAtomic(RegisterMap& map, Bits f, bool on) {
    std::atomic_ref<std::uint8_t> b(*map.bytes(Bytes{f.offset, 1}));
    if (on) b.fetch_or(f.mask); else b.fetch_and(static_cast<std::uint8_t>(~f.mask));
}
// Takes a request byte and leaves `value` in its place in one step.
inline std::uint8_t ExchangeByte(RegisterMap& map, U8 f, std::uint8_t value) {
    std::atomic_ref<std::uint8_t> b(*map.bytes(Bytes{f.offset, 1}));
    return b.exchange(value);
}

}  // namespace regmap
