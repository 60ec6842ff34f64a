// Marlet's process frame: start-up, the fork into driver and controller, the
// controller loop, the session state machine DINState, the standby work that
// keeps the local modem configured, the modem reset policy, and the status
// word and EV MAC published in the register map.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "timeutil.h"

namespace plc {

extern std::uint8_t* MeterSMPtr;  // register map

extern std::uint32_t nSystemStatus;
extern std::uint8_t DINState;
extern std::uint16_t QCA7k_PowerOn;
extern std::uint8_t bChargingFlow;
extern std::uint8_t bupdate_CM_Set_Key;
extern std::uint8_t fgVSSWVER_Req, fgVSSWVER_Cnf, fgVSSWVER_Cnt;
extern std::uint8_t fgVSNWINFO_Req, fgVSNWINFO_Cnf, fgVSNWINFO_Cnt;
extern std::uint8_t fg_CMSETKEYReqSend, fg_CMSETKEYCnfSend, fg_CMSETKEYReqSendCnt;
extern std::uint8_t Flag_CloseTCP;
extern std::uint8_t V2GPhase;
extern std::uint8_t isHandshake;
extern std::uint8_t EVSE_State;
extern std::uint8_t SECC_State;
extern std::uint8_t Ipv6State;
extern std::uint32_t nUDP_Timeout, nTCP_Timeout;
extern std::uint32_t nSessionResetCnt;  // session resets so far (each clears the frame segment)

// SLAC send flags and counters (set by the SLAC messages, supervised here).
extern std::uint8_t fgCMSLACPARMReqSend, fgCMSTARTATTENCHARIndSend, fgCMMNBCSOUNDIndSend, fgVSATTENCHARIndSend,
    fgCMATTENPROFILEIndSend, fgCMATTNCHARRspSend, fgSLACMATCHReqSend;
extern std::uint8_t nCM_SLAC_PARM_CNF_Cnt, nCM_ATTN_CHAR_IND_Cnt;

extern common::TimeStamp nPilotStime, QCA7K_Reset_ST, TickTime;
extern common::TimeStamp nTT_EVSE_SLAC_INIT, nTP_MATCH_RESPONSE, nTT_MATCH_SEQUENCE, nTT_EVSE_MATCH_MNBC,
    nTT_MATCH_RESPONSE, nTT_EVSE_MATCH_SESSION, nTT_MATCH_JOIN;
extern common::TimeStamp UDP_MSG_StartTime, TCP_MSG_StartTime, V2G_MSG_Sequence_StartTime;
extern common::TimeStamp nVS_SW_VER_ST, nVS_NW_INFO_ST, nCM_SET_KEY_ST;

inline constexpr std::uint32_t _PLC_FW_MODULE_VERSION_ = 0x00081700;
inline constexpr std::uint16_t QCA7K_GPIO_RESET = 79;

// Start-up parameters (the station's keys; tests use their own).
struct MarletStart {
    int mapKey = 5438;
    int segmentKey = 2345;
    pid_t (*forkFn)() = nullptr;  // fork() when null
    const char* instanceName = "Marlet";  // one instance per board; null: no lock
};
// Start-up and the controller loop. Returns only when start-up fails:
// non-zero, after "System init failed:" for a missing segment or fork.
int Marlet_Main(const MarletStart& start);

// Binds the register map and the frame segment and runs the start-up resets
// (steps between opening the SPI device and the fork). Also used by tests.
void Marlet_Setup(std::uint8_t* registerMap, std::uint8_t* frameSegment);

// Puts every controller and driver global back to its load value.
void Marlet_LoadDefaults();

void Task_Schedular(int fd);
void DIN_Controller();
int DIN_GetChargingStatus();
void Task_Standby();
void DIN_State_reset();
void System_Var_Init();
void System_Var_Reset();
void SLAC_Param_Reset();
void PLC_Reset();
void UpdateSystemStatus();
void SetSystemStatus(std::uint8_t phase, std::uint8_t mid1, std::uint8_t mid0, std::uint8_t result);
void UpdateCCSMacStatus();

// Raises a standby request and counts the attempt.
inline void RaiseRequest(std::uint8_t& request, std::uint8_t& attempts) {
    request = 1;
    ++attempts;
}

// The MMTYPE field (bits 8-23) of the status word.
inline std::uint16_t StatusMMType() { return static_cast<std::uint16_t>(nSystemStatus >> 8); }

}  // namespace plc
