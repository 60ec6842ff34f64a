#include "IF_Main.h"

#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "IF_HPCC_GreenPHY.h"
#include "IF_SPI_App.h"
#include "clock.h"
#include "gpio.h"
#include "instance_lock.h"
#include "link_seams.h"
#include "ram_drv.h"
#include "regmap_fields.h"
#include "shm.h"

namespace plc {

std::uint8_t* MeterSMPtr = nullptr;
std::uint32_t nSystemStatus = 0;
std::uint8_t DINState = 0;
std::uint16_t QCA7k_PowerOn = 0;
std::uint8_t bChargingFlow = 0;
std::uint8_t bupdate_CM_Set_Key = 1;
std::uint8_t fgVSSWVER_Req = 0, fgVSSWVER_Cnf = 0, fgVSSWVER_Cnt = 0;
std::uint8_t fgVSNWINFO_Req = 0, fgVSNWINFO_Cnf = 0, fgVSNWINFO_Cnt = 0;
std::uint8_t fg_CMSETKEYReqSend = 0, fg_CMSETKEYCnfSend = 0, fg_CMSETKEYReqSendCnt = 0;
std::uint8_t V2GPhase = 0;
std::uint8_t isHandshake = 1;
std::uint8_t EVSE_State = 0;
std::uint32_t nUDP_Timeout = 60000, nTCP_Timeout = 60000;
std::uint32_t nSessionResetCnt = 0;

std::uint8_t fgCMSLACPARMReqSend = 0, fgCMSTARTATTENCHARIndSend = 0, fgCMMNBCSOUNDIndSend = 0,
             fgVSATTENCHARIndSend = 0, fgCMATTENPROFILEIndSend = 0, fgCMATTNCHARRspSend = 0, fgSLACMATCHReqSend = 0;
std::uint8_t nCM_SLAC_PARM_CNF_Cnt = 0, nCM_ATTN_CHAR_IND_Cnt = 0;

common::TimeStamp nPilotStime, QCA7K_Reset_ST, TickTime;
common::TimeStamp nTT_EVSE_SLAC_INIT, nTP_MATCH_RESPONSE, nTT_MATCH_SEQUENCE, nTT_EVSE_MATCH_MNBC, nTT_MATCH_RESPONSE,
    nTT_EVSE_MATCH_SESSION, nTT_MATCH_JOIN;
common::TimeStamp TCP_MSG_StartTime, V2G_MSG_Sequence_StartTime;
common::TimeStamp nVS_SW_VER_ST, nVS_NW_INFO_ST, nCM_SET_KEY_ST;

namespace {

bool g_pilot_active = false;
std::uint16_t g_seen_leaves = 0;  // the driver's own leaves of running accounted for

regmap::RegisterMap Map() { return regmap::RegisterMap(MeterSMPtr); }
common::TimeStamp Now() { return common::MonotonicNow(); }
std::int64_t Since(common::TimeStamp t) { return common::ElapsedMs(t); }
void Sleep(std::int64_t ms) { platform::GetClock().SleepMs(ms); }

void WriteVersion() {
    for (int i = 0; i < 4; ++i) PLCShmPtr[kVersionAt + i] = static_cast<std::uint8_t>(_PLC_FW_MODULE_VERSION_ >> (24 - 8 * i));
}

// Raises the next standby request after a reset: the software version until
// it was confirmed, else a new key when one is due, else the network check.
void RearmModemManagement(bool pauseAfterKey) {
    if (!fgVSSWVER_Cnf) {
        RaiseRequest(fgVSSWVER_Req, fgVSSWVER_Cnt);
        nSystemStatus = 0x0BA00000;
    } else if (bupdate_CM_Set_Key == 1) {
        NID_Generator();
        if (pauseAfterKey) Sleep(300);
        fg_CMSETKEYReqSend = 1;
        fg_CMSETKEYCnfSend = 0;
        ++fg_CMSETKEYReqSendCnt;
        nSystemStatus = 0x0B600800;
        bupdate_CM_Set_Key = 0;
    } else {
        RaiseRequest(fgVSNWINFO_Req, fgVSNWINFO_Cnt);
    }
}

// Asks the driver for a modem reset and gives it time to act.
void RequestModemReset() {
    StoreWord(kResetFlag, 1);
    Sleep(7000);
    QCA7K_Reset_ST = Now();
}

// The frame segment carries the network key on its way to the modem: one
// found already there (made earlier or by someone else) is made private to
// this program's user, and one of another user is refused.
bool MakeSegmentPrivate(int key, std::string* error) {
    shmid_ds ds{};
    int id = shmget(key, 0, 0);
    if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0) {
        *error = "segment gone";
        return false;
    }
    if (ds.shm_perm.uid != geteuid() || ds.shm_perm.cuid != geteuid()) {
        *error = "segment of another user";
        return false;
    }
    if ((ds.shm_perm.mode & 0777) == 0600) return true;
    ds.shm_perm.mode = static_cast<decltype(ds.shm_perm.mode)>((ds.shm_perm.mode & ~0777u) | 0600);
    if (shmctl(id, IPC_SET, &ds) != 0) {
        *error = "segment mode cannot be set";
        return false;
    }
    return true;
}

// TT_match_response: how long a vehicle waits for CM_SLAC_PARM.CNF.
constexpr std::int64_t kParmAnswerWithinMs = 200;

bool ResetAgeExceeded() { return Since(QCA7K_Reset_ST) / 1000 > 10800; }

void RestartSlac() {
    nSystemStatus = 0x01000000;
    SLAC_Param_Reset();
    nTT_EVSE_SLAC_INIT = Now();
}

void SetResult(std::uint8_t result) { nSystemStatus = (nSystemStatus & 0xFFFFFF00u) | result; }

// SLAC supervision of state 1, by the MMTYPE field.
void SlacSupervision() {
    switch (StatusMMType()) {
    case 0x0000:
        if (Since(nTT_EVSE_SLAC_INIT) > 50000) {
            SetResult(0xFE);
            DINState = 255;
        }
        break;
    case 0x6064:
        if (Since(nTP_MATCH_RESPONSE) > 100 && fgCMSLACPARMReqSend) RestartSlac();
        break;
    case 0x6065:
        if (Since(nTT_MATCH_SEQUENCE) > 1200) {
            nSystemStatus = 0x01000000;
            DINState = 0;
            nCM_SLAC_PARM_CNF_Cnt = 0;
            nTT_EVSE_SLAC_INIT = Now();
        } else if (Since(nTT_MATCH_SEQUENCE) > 100) {
            fgCMSLACPARMReqSend = 1;
            fgCMSTARTATTENCHARIndSend = 0;
            nTT_EVSE_MATCH_MNBC = Now();
        }
        break;
    case 0x606A:
    case 0x6076:
    case 0x6086:
    case 0xA14E:
        if (Since(nTT_EVSE_MATCH_MNBC) > 600) {
            if (fgCMSTARTATTENCHARIndSend) {
                fgCMMNBCSOUNDIndSend = 1;
                fgCMATTENPROFILEIndSend = 1;
            } else {
                fgCMSTARTATTENCHARIndSend = fgCMMNBCSOUNDIndSend = fgCMATTENPROFILEIndSend = 0;
                DINState = 0;
            }
        }
        break;
    case 0x606E:
        if (Since(nTT_MATCH_RESPONSE) > 200) {
            if (nCM_ATTN_CHAR_IND_Cnt > 3) {
                SetResult(0xFE);
                DINState = 255;
            } else {
                fgCMSTARTATTENCHARIndSend = fgCMMNBCSOUNDIndSend = fgCMATTENPROFILEIndSend = 1;
                nTT_MATCH_RESPONSE = Now();
            }
        }
        break;
    case 0x606F:
        if (Since(nTT_EVSE_MATCH_SESSION) > 10000) RestartSlac();
        break;
    case 0x607C:
        if (Since(nTT_MATCH_JOIN) > 100) RestartSlac();
        break;
    case 0x607D:
        if (Since(nTP_MATCH_RESPONSE) > 12000) {
            RestartSlac();
        } else if (EVSE_State == 2) {
            DINState = 2;
            nSystemStatus = 0x02000000;
            bupdate_CM_Set_Key = 1;
        }
        break;
    default:
        break;
    }
}

}  // namespace

void SetSystemStatus(std::uint8_t phase, std::uint8_t mid1, std::uint8_t mid0, std::uint8_t result) {
    if (!MeterSMPtr) return;
    std::uint8_t* p = MeterSMPtr + regmap::SHRMEM_CCS_PLC_STATUS.offset;
    p[0] = phase;
    p[1] = mid1;
    p[2] = mid0;
    p[3] = result;
}

void UpdateSystemStatus() { Map().set(regmap::SHRMEM_CCS_PLC_STATUS, nSystemStatus); }

void UpdateCCSMacStatus() {
    auto map = Map();
    if (nSystemStatus != 0x03000000 || map.get(regmap::ccsb::SHRMEM_CCS_PEV_MAC_VALID) != 0) return;
    std::uint8_t* mac = map.bytes(regmap::ccsb::SHRMEM_CCS_PEV_MAC);
    std::memcpy(mac, CM_SLAC_MATCHREQ_Form + 21, 6);
    map.set(regmap::ccsb::SHRMEM_CCS_PEV_MAC_VALID, 1);
    std::printf("[IF_MAIN][%d]Mac id: %d:%d:%d:%d:%d:%d \n", 891, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    std::fflush(stdout);
}

void SLAC_Param_Reset() {
    fgCMSLACPARMReqSend = fgCMSTARTATTENCHARIndSend = fgCMMNBCSOUNDIndSend = fgVSATTENCHARIndSend = 0;
    fgCMATTENPROFILEIndSend = fgCMATTNCHARRspSend = fgSLACMATCHReqSend = 0;
    nCM_SLAC_PARM_CNF_Cnt = nCM_ATTN_CHAR_IND_Cnt = 0;
}

void System_Var_Reset() {
    for (std::size_t off : {kTxBufIdx, kTxExeIdx, kTxBufNum, kRxBufIdx, kRxExeIdx, kRxBufNum}) StoreByte(off, 0);
    Ring_Clear();
    StoreWord(kResetCount, 0);
    timer_init();
    g_pilot_active = false;
    fgVSSWVER_Cnt = fgVSNWINFO_Cnt = fg_CMSETKEYReqSendCnt = 0;
    SLAC_Param_Reset();
    Flag_CloseTCP = 0;
    isHandshake = 1;
    StoreWord(kPhyState, PHY_START);
    StoreWord(kResetFlag, 0);
    DINState = 0;
    Ipv6State = 0;
    QCA7k_PowerOn = 0;
}

void System_Var_Init() {
    fgVSNWINFO_Req = 0;
    fgVSSWVER_Req = 0;
    nIntCause = 0;
    bChargingFlow = 0;
    QCA7K_Reset_ST = Now();
    System_Var_Reset();
}

void DIN_State_reset() {
    ++nSessionResetCnt;
    g_seen_leaves = 0;  // the clear below zeroes the driver's count
    v6_memory_assign();
    System_Var_Reset();
    mdbcln_conn_init();
    SDPcln_conn_init();
    std::memset(PLCShmPtr, 0, kFrameSegmentSize);
    DINState = EVSE_State = Ipv6State = SECC_State = V2GPhase = 0;
    // Whatever ended the session, nothing of it stays armed for the next vehicle.
    V2G_SessionReset();
    nSystemStatus = 0x0B000000;
    isHandshake = 1;
    nUDP_Timeout = nTCP_Timeout = 60000;
    WriteVersion();
}

int DIN_GetChargingStatus() {
    std::uint8_t pilot = Map().get(regmap::SHRMEM_CCS_PILOT_STATE);
    if (pilot >= 3 && pilot <= 5) {
        g_pilot_active = true;
        nPilotStime = Now();
        return 1;
    }
    if (!g_pilot_active) return 0;
    if (Since(nPilotStime) <= 1000) return 1;

    // The vehicle is gone.
    g_pilot_active = false;
    std::uint8_t result = static_cast<std::uint8_t>(nSystemStatus);
    DIN_State_reset();
    nSystemStatus = (nSystemStatus & 0xFFFFFF00u) | result;
    if (result == 0xFE || result == 0xFF || ResetAgeExceeded()) RequestModemReset();
    RearmModemManagement(true);
    return 0;
}

void Task_Standby() {
    switch (StatusMMType()) {
    case 0x0000:
        if (!fgVSSWVER_Cnf) RaiseRequest(fgVSSWVER_Req, fgVSSWVER_Cnt);
        break;
    case 0x6008:
        if (Since(nCM_SET_KEY_ST) > 300 && !fg_CMSETKEYReqSend && !fg_CMSETKEYCnfSend)
            RaiseRequest(fg_CMSETKEYReqSend, fg_CMSETKEYReqSendCnt);
        break;
    case 0x6009: fg_CMSETKEYReqSendCnt = 0; break;
    case 0xA000:
        if (Since(nVS_SW_VER_ST) > 200) RaiseRequest(fgVSSWVER_Req, fgVSSWVER_Cnt);
        break;
    case 0xA001: fgVSSWVER_Cnt = 0; break;
    case 0xA038:
        if (Since(nVS_NW_INFO_ST) > 400) RaiseRequest(fgVSNWINFO_Req, fgVSNWINFO_Cnt);
        break;
    case 0xA039:
        if (fgVSNWINFO_Cnf) {
            fgVSNWINFO_Cnf = 0;
            fgVSNWINFO_Cnt = 0;
            nSystemStatus = 0x0B000000;
        }
        break;
    default: break;
    }

    bool due = fgVSSWVER_Cnt > 10 || fgVSNWINFO_Cnt > 10 || fg_CMSETKEYReqSendCnt > 10 ||
               (QCA7k_PowerOn == 1 && ResetAgeExceeded());
    if (!due) return;
    if (fgVSNWINFO_Cnt > 10 || fg_CMSETKEYReqSendCnt > 10) {
        bupdate_CM_Set_Key = 1;
        fgVSNWINFO_Req = 0;
    }
    DIN_State_reset();
    RequestModemReset();
    RearmModemManagement(false);
}

void DIN_Controller() {
    switch (DINState) {
    case 0:
        if (QCA7k_PowerOn == 1 && DIN_GetChargingStatus() == 1) {
            // The vehicle's first CM_SLAC_PARM.REQ may have been decoded in
            // this very pass, before the charging flow was on: it is still
            // answered when it is fresh (within the vehicle's wait for the
            // confirmation), so SLAC starts on the first request.
            bool parmPending = fgCMSLACPARMReqSend && Since(nTP_MATCH_RESPONSE) <= kParmAnswerWithinMs;
            DINState = 1;
            nSystemStatus = 0x01000000;
            SLAC_Param_Reset();
            if (parmPending) {
                fgCMSLACPARMReqSend = 1;
                nSystemStatus = 0x01606400;
            }
            nTT_EVSE_SLAC_INIT = Now();
        } else if (QCA7k_PowerOn == 0) {
            std::uint16_t phy = LoadWord(kPhyState);
            if (phy == PHY_SYNC) nSystemStatus = 0x09000000;
            else if (phy == PHY_RUN) nSystemStatus = 0;
        }
        break;
    case 1:
        nSystemStatus |= 0x01000000;
        if ((nSystemStatus & 0xFF) == 0xFE || (nSystemStatus & 0xFF) == 0xFF) {
            DINState = 255;
            SLAC_Param_Reset();
        } else {
            SlacSupervision();
        }
        break;
    case 2:
        IPv6_StatMachine();
        if (Ipv6State == 6) {
            DINState = 3;
            nSystemStatus = 0x03000000;
        }
        break;
    case 3:
        SECC_StateMachine();
        if (SECC_State == 3 && Since(UDP_MSG_StartTime) > static_cast<std::int64_t>(nUDP_Timeout)) {
            DINState = 255;
            nSystemStatus = 0x030000FE;
            SECC_State = 255;
        } else if (SECC_State == 254) {
            DINState = 4;
            nSystemStatus = 0x04000000;
        } else if (SECC_State == 255) {
            DINState = 255;
            nSystemStatus = 0x030000FF;
        }
        break;
    case 4:
        SECC_StateMachine();
        if (V2G_TCP_Listen() != 0) {
            DINState = 255;
            nSystemStatus = 0x030000FF;
        } else {
            DINState = 5;
            nSystemStatus = 0x05000000;
            TCP_MSG_StartTime = Now();
        }
        break;
    case 5:
        SECC_StateMachine();
        if (V2G_TCP_WaitConnection() != 0) {
            DINState = 6;
            nSystemStatus = 0x06000000;
            SDP_ReleaseUdpPort();
            V2G_MSG_Sequence_StartTime = Now();
        } else if (Since(TCP_MSG_StartTime) > static_cast<std::int64_t>(nTCP_Timeout)) {
            DINState = 255;
            nSystemStatus = 0x050000FE;
        }
        break;
    case 6:
        if (V2GPhase == 253 || V2GPhase == 254 || V2GPhase == 255) DINState = 255;
        else if (V2GPhase == 21) DINState = 7;
        break;
    case 7:
        nSystemStatus = 0x07000000;
        Flag_CloseTCP = 1;
        DINState = 8;
        break;
    case 8:
        nSystemStatus = 0x08000000;
        if (Flag_CloseTCP) DINState = 10;
        break;
    case 10:
        nSystemStatus = 0x0A000000;
        SLAC_Param_Reset();
        break;
    default:  // 255 failed
        SLAC_Param_Reset();
        break;
    }
}

namespace {

// The driver left its running state on its own (failed transfer, lost
// signature): the chip may have started afresh, so the modem is taken through
// the whole management chain again, as at start-up. The driver counts these
// leaves in the segment, so one that came and went while this process slept
// (the decoder waits seconds for the modem) is not missed.
void WatchDriver() {
    std::uint16_t leaves = LoadWord(kDriverLeaves);
    if (leaves == g_seen_leaves) return;
    g_seen_leaves = leaves;
    QCA7k_PowerOn = 0;
    fgVSSWVER_Cnf = 0;
    fg_CMSETKEYCnfSend = 0;
    fgVSNWINFO_Cnf = 0;
    RearmModemManagement(false);
}

}  // namespace

void Task_Schedular(int /*fd*/) {
    WatchDriver();
    IF_GreenPHY_Handler();
    if (DIN_GetChargingStatus() == 1) {
        if (QCA7k_PowerOn == 1 && bChargingFlow == 0) {
            bChargingFlow = 1;
            nSystemStatus = 0;
        }
        V2G_Service();
        if (Ipv6State != 0) knet_rutine();
        UDP_Data_Decode();
        DIN_Controller();
        if (Since(TickTime) > 9) {
            TickTime = Now();
            Excep_TMR0_CMIA0();
        }
        UpdateSystemStatus();
        UpdateCCSMacStatus();
        Sleep(2);
        return;
    }
    if (LoadWord(kPhyState) == PHY_RUN) {
        Task_Standby();
        UpdateSystemStatus();
        auto map = Map();
        map.set(regmap::ccsb::SHRMEM_CCS_PEV_MAC_VALID, 0);
        std::memset(map.bytes(regmap::ccsb::SHRMEM_CCS_PEV_MAC), 0, 6);
        std::memset(CM_SLAC_MATCHREQ_Form + 21, 0, 6);
    } else {
        QCA7k_PowerOn = 0;
    }
    bChargingFlow = 0;
    Sleep(50);
}

void PLC_Reset() {
    // A segment cleared meanwhile keeps its state 0: the driver then starts afresh.
    if (std::uint16_t phy = LoadWord(kPhyState); phy == PHY_RUN) MovePhyState(PHY_RUN, PHY_SYNC);
    SegWord(kResetCount).fetch_add(1, std::memory_order_acq_rel);
    auto& gpio = platform::GetGpio();
    gpio.Write(QCA7K_GPIO_RESET, 0);
    bool readable = gpio.ReadChar(QCA7K_GPIO_RESET).has_value();
    Sleep(20);
    if (!readable) {
        SetSystemStatus(9, 0, 0, 255);
        return;
    }
    for (int i = 0; i < 5; ++i) {
        if (gpio.ReadChar(QCA7K_GPIO_RESET) == '0') break;
        gpio.Write(QCA7K_GPIO_RESET, 0);
        Sleep(20);
    }
    Sleep(500);
    for (int i = 0; i < 6; ++i) {
        gpio.Write(QCA7K_GPIO_RESET, 1);
        Sleep(20);
        if (i == 5 || gpio.ReadChar(QCA7K_GPIO_RESET) == '1') break;
    }
    Sleep(5000);
    QCA7K_SYNC_StartTime = Now();
}

void Marlet_LoadDefaults() {
    nSystemStatus = 0;
    DINState = 0;
    QCA7k_PowerOn = 0;
    bChargingFlow = 0;
    bupdate_CM_Set_Key = 1;
    fgVSSWVER_Req = fgVSSWVER_Cnf = fgVSSWVER_Cnt = 0;
    fgVSNWINFO_Req = fgVSNWINFO_Cnf = fgVSNWINFO_Cnt = 0;
    fg_CMSETKEYReqSend = fg_CMSETKEYCnfSend = fg_CMSETKEYReqSendCnt = 0;
    Flag_CloseTCP = V2GPhase = EVSE_State = SECC_State = Ipv6State = 0;
    isHandshake = 1;
    nUDP_Timeout = nTCP_Timeout = 60000;
    SLAC_Param_Reset();
    g_pilot_active = false;
    g_seen_leaves = 0;
    PLC_State_Machine = 0;
    nIntCause = 0;
    nLinkCounters = LinkCounters{};
    MME_LoadDefaults();
    knet_LoadDefaults();
}

void Marlet_Setup(std::uint8_t* registerMap, std::uint8_t* frameSegment) {
    MeterSMPtr = registerMap;
    FrameSegment_Bind(frameSegment);
    Knet_BindLink();
    std::memset(PLCShmPtr, 0, kFrameSegmentSize);
    v6_memory_assign();
    DIN_State_reset();
    System_Var_Init();
    mdbcln_conn_init();
    SDPcln_conn_init();
    WriteVersion();
}

int Marlet_Main(const MarletStart& start) {
    std::string error;
    if (start.instanceName && !platform::HoldInstanceLock(start.instanceName, &error)) {
        std::printf("[IF_MAIN]%s\n", error.c_str());
        std::fflush(stdout);
        return 1;
    }
    std::uint8_t* map = platform::AttachSegment(start.mapKey, regmap::kMapSize, false, 0777, &error);
    if (!map) {
        platform::ReportInitFailure("SharedRegisterMap", error);
        return 1;
    }
    std::uint8_t* segment = platform::AttachSegment(start.segmentKey, kFrameSegmentSize, true, 0600, &error);
    if (!segment || !MakeSegmentPrivate(start.segmentKey, &error)) {
        platform::ReportInitFailure("ModemFrameSegment", error);
        return 1;
    }
    int fd = SPI_init();
    if (fd < 0) return -1;
    Marlet_Setup(map, segment);
    platform::GetGpio().Write(QCA7K_GPIO_RESET, 1);
    NID_Generator();
    pid_t child = GreenPHY_StateMachine(fd, start.forkFn ? start.forkFn : ::fork);
    if (child < 0) {
        SPI_close();
        platform::ReportInitFailure("fork", "no driver process");
        return 1;
    }
    SPI_close();  // the driver process has its own
    TickTime = Now();
    for (;;) Task_Schedular(fd);
}

}  // namespace plc
