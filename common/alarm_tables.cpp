#include "alarm_tables.h"

namespace common {

// Event codes of the system event bits (entry = byte x 8 + bit from 21529).
const char pu8SysAlarmCode[32][7] = {
    "00A00D", "00A00E", "00A011", "00A012", "00A013", "00A014", "000000", "000000",  // 0-7
    "00A00F", "00A010", "000000", "000000", "000000", "000000", "000000", "000000",  // 8-15
    "000000", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 16-23
    "000000", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 24-31
};
const char pu8SysAlarmCodeRcvr[32][7] = {
    "10A00D", "10A00E", "10A011", "10A012", "10A013", "10A014", "000000", "000000",  // 0-7
    "10A00F", "10A010", "000000", "000000", "000000", "000000", "000000", "000000",  // 8-15
    "000000", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 16-23
    "000000", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 24-31
};
const std::uint8_t pu8SysAlarmLvl[32] = {
    1, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0-15
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 16-31
};

// Event codes of the DIN event bits (entry = byte x 8 + bit from 21533).
const char pu8DINAlarmCode[88][7] = {
    "00C100", "00C101", "00C102", "00C103", "00C104", "00C105", "00C106", "00C107",  // 0-7
    "00C108", "00C109", "00C10A", "00C10B", "00C10C", "00C10D", "00C10E", "00C10F",  // 8-15
    "00C110", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 16-23
    "000000", "000000", "00C202", "00C203", "00C204", "00C205", "00C206", "000000",  // 24-31
    "000000", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 32-39
    "000000", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 40-47
    "00C300", "00C301", "00C302", "00C303", "00C304", "00C305", "00C306", "00C307",  // 48-55
    "00C308", "00C309", "00C30A", "00C30B", "00C30C", "00C30D", "00C30E", "00C30F",  // 56-63
    "00C310", "00C311", "00C312", "00C313", "00C314", "00C315", "00C316", "00C317",  // 64-71
    "00C318", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 72-79
    "000000", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 80-87
};
const char pu8DINAlarmCodeRcvr[88][7] = {
    "10C100", "10C101", "10C102", "10C103", "10C104", "10C105", "10C106", "10C107",  // 0-7
    "10C108", "10C109", "10C10A", "10C10B", "10C10C", "10C10D", "10C10E", "10C10F",  // 8-15
    "10C110", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 16-23
    "000000", "000000", "10C202", "10C203", "10C204", "10C205", "10C206", "000000",  // 24-31
    "000000", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 32-39
    "000000", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 40-47
    "10C300", "10C301", "10C302", "10C303", "10C304", "10C305", "10C306", "10C307",  // 48-55
    "10C308", "10C309", "10C30A", "10C30B", "10C30C", "10C30D", "10C30E", "10C30F",  // 56-63
    "10C310", "10C311", "10C312", "10C313", "10C314", "10C315", "10C316", "10C317",  // 64-71
    "10C318", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 72-79
    "000000", "000000", "000000", "000000", "000000", "000000", "000000", "000000",  // 80-87
};
const std::uint8_t pu8DINAlarmLvl[88] = {
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0-15
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 3,  // 16-31
    3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 32-47
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 48-63
    1, 1, 1, 1, 1, 1, 1, 1, 1, 3, 1, 1, 1, 1, 1, 1,  // 64-79
    1, 1, 1, 1, 1, 1, 1, 1,  // 80-87
};

// Event codes of the CHAdeMO alarm bits (entry = byte x 8 + bit from 21517).
const char pu8ChaDeMoAlarmCode[21][7] = {
    "00D00D", "00D00E", "00D019", "00D01B", "00D01E", "00D01F", "000000", "000000",  // 0-7
    "00D00F", "00D010", "00D011", "00D012", "00D013", "00D01C", "00D01D", "000000",  // 8-15
    "00D014", "00D015", "00D016", "00D017", "00D018",                                // 16-20
};
const char pu8ChaDeMoAlarmCodeRcvr[21][7] = {
    "10D00D", "10D00E", "10D019", "10D01B", "10D01E", "10D01F", "000000", "000000",  // 0-7
    "10D00F", "10D010", "10D011", "10D012", "10D013", "10D01C", "10D01D", "000000",  // 8-15
    "10D014", "10D015", "10D016", "10D017", "10D018",                                // 16-20
};

// Names of the CCS status word's bytes and of the pilot state.
const char pu8DINPhase[13][31] = {
    "DIN_Idle",
    "DIN_SLAC",
    "DIN_SLAAC",
    "DIN_SECC",
    "DIN_TCPStartConnection",
    "DIN_TCPWaitConnection",
    "DIN_V2GCommunication",
    "DIN_TCPClose",
    "DIN_TCPWaitCloseing",
    "DIN_QCA7K_SYNC",
    "DIN_End",
    "DIN_StandBy",
    "Unknown",
};
const char pu8DINV2GPhase[23][31] = {
    "IDLE",
    "SupportAppProtocol",
    "SessionSetup",
    "ServiceDiscovery",
    "ContractAuth",
    "ServicePaySelect",
    "ChgParamDiscovery",
    "CableCheck",
    "PreCharge",
    "PwrDelivery",
    "CurrentDemand",
    "WeldingDetect",
    "SessionStop",
    "Unknown",
    "Unknown",
    "Unknown",
    "Unknown",
    "Unknown",
    "Unknown",
    "Unknown",
    "Unknown",
    "END",
    "Unknown",
};
const char pu8DINError[5][31] = {
    "Unknown",
    "V2G_SEQUENCE_ERROR",
    "V2G_PERFORMANCE_TIME_OUT",
    "V2G_SEQUENCE_TIME_OUT",
    "V2G_Error",
};
const char pu8PilotState[8][11] = {
    "Unknown",
    "A1",
    "B1",
    "B2",
    "C",
    "D",
    "E",
    "F",
};

namespace {
template <std::size_t N, std::size_t W>
const char* Pick(const char (&table)[N][W], unsigned index) {
    return table[index < N ? index : 0];
}
}  // namespace

const char* PilotStateName(unsigned pilot) { return Pick(pu8PilotState, pilot); }
const char* DINPhaseName(unsigned phase) { return phase < kDINPhaseCount ? pu8DINPhase[phase] : pu8DINPhase[kDINPhaseCount - 1]; }
const char* DINV2GPhaseName(unsigned step) { return step < kDINV2GPhaseCount ? pu8DINV2GPhase[step] : "Unknown"; }
const char* DINErrorName(unsigned result) { return result > 251 ? pu8DINError[result - 251] : pu8DINError[0]; }

bool HasEventCode(const char* code) { return std::string_view(code) != "000000"; }

}  // namespace common
