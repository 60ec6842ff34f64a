// Management messages between the controller and its own modem: software
// version, key setting and network information. The SLAC messages of a
// vehicle session are decoded through MMEDecode_Session.
#include <cstring>

#include "IF_HPCC_GreenPHY.h"
#include "IF_Main.h"
#include "clock.h"
#include "link_seams.h"
#include "ram_drv.h"

namespace plc {

namespace {
// Locally administered address, used until the modem has told its own.
constexpr std::uint16_t kDefaultMac[3] = {0x0256, 0x5400, 0x0001};
constexpr std::uint8_t kModemLocalMac[6] = {0x00, 0xB0, 0x52, 0x00, 0x00, 0x01};
constexpr std::uint8_t kVendorOui[3] = {0x00, 0xB0, 0x52};
}  // namespace

std::uint16_t MACAddress[3] = {kDefaultMac[0], kDefaultMac[1], kDefaultMac[2]};
std::uint8_t MAC_EVSE[6] = {0x02, 0x56, 0x54, 0x00, 0x00, 0x01};
std::uint16_t EV_MACAddress[3] = {0xFFFF, 0xFFFF, 0xFFFF};
std::uint8_t SPI_MMEsFormatHeader[130];
std::uint8_t VSSWVER_CNFMsgForm[300];
std::uint8_t VSNWINFO_CNFMsgForm[88];
std::uint8_t CM_SETKEYCNF_Form[14];
std::uint8_t CM_SLAC_MATCHREQ_Form[66];

void MME_LoadDefaults() {
    std::memcpy(MACAddress, kDefaultMac, sizeof(MACAddress));
    for (int i = 0; i < 3; ++i) {
        MAC_EVSE[2 * i] = static_cast<std::uint8_t>(kDefaultMac[i] >> 8);
        MAC_EVSE[2 * i + 1] = static_cast<std::uint8_t>(kDefaultMac[i]);
    }
    std::memset(EV_MACAddress, 0xFF, sizeof(EV_MACAddress));
    std::memset(CM_SLAC_MATCHREQ_Form, 0, sizeof(CM_SLAC_MATCHREQ_Form));
}

namespace {

void Sleep(std::int64_t ms) { platform::GetClock().SleepMs(ms); }

// Destination, our source address, EtherType, MMV and MMTYPE; the rest zero.
void BuildHeader(const std::uint8_t dest[6], std::uint8_t mmv, std::uint16_t mmtype) {
    std::memset(SPI_MMEsFormatHeader, 0, sizeof(SPI_MMEsFormatHeader));
    std::memcpy(SPI_MMEsFormatHeader, dest, 6);
    for (int i = 0; i < 3; ++i) {
        SPI_MMEsFormatHeader[6 + 2 * i] = static_cast<std::uint8_t>(MACAddress[i] >> 8);
        SPI_MMEsFormatHeader[7 + 2 * i] = static_cast<std::uint8_t>(MACAddress[i]);
    }
    SPI_MMEsFormatHeader[12] = 0x88;
    SPI_MMEsFormatHeader[13] = 0xE1;
    SPI_MMEsFormatHeader[14] = mmv;
    SPI_MMEsFormatHeader[15] = static_cast<std::uint8_t>(mmtype);
    SPI_MMEsFormatHeader[16] = static_cast<std::uint8_t>(mmtype >> 8);
}

// VS_SW_VER.CNF: the modem's address becomes the station's own.
void OnSwVerCnf(std::uint32_t status, std::size_t copyLen, bool standby, const std::uint8_t* frame) {
    nSystemStatus = status;
    std::uint8_t src[6];
    std::memcpy(src, frame + 6, 6);
    MMEPacketCP(VSSWVER_CNFMsgForm, 17, copyLen);
    for (int i = 0; i < 3; ++i) MACAddress[i] = static_cast<std::uint16_t>(src[2 * i] << 8 | src[2 * i + 1]);
    std::memcpy(MAC_EVSE, src, 6);
    if (MACAddress[0] == 0 || (standby && fgVSSWVER_Cnf)) return;
    fgVSSWVER_Cnf = 1;
    fgVSSWVER_Cnt = 0;
    RaiseRequest(fg_CMSETKEYReqSend, fg_CMSETKEYReqSendCnt);
}

void OnNwInfoCnf(std::uint32_t status) {
    nSystemStatus = status;
    MMEPacketCP(VSNWINFO_CNFMsgForm, 19, sizeof(VSNWINFO_CNFMsgForm));
    if (std::memcmp(VSNWINFO_CNFMsgForm + 9, NID, sizeof(NID)) == 0) {
        fgVSNWINFO_Cnf = 1;
        QCA7k_PowerOn = 1;
        fgVSNWINFO_Cnt = 0;
        return;
    }
    Sleep(2000);
    RaiseRequest(fgVSNWINFO_Req, fgVSNWINFO_Cnt);
}

void OnSetKeyCnf(std::uint32_t status) {
    nSystemStatus = status;
    MMEPacketCP(CM_SETKEYCNF_Form, 19, sizeof(CM_SETKEYCNF_Form));
    if (CM_SETKEYCNF_Form[0] == 1) {
        if (fg_CMSETKEYCnfSend) return;
        fg_CMSETKEYCnfSend = 1;
        RaiseRequest(fgVSNWINFO_Req, fgVSNWINFO_Cnt);
        fg_CMSETKEYReqSendCnt = 0;
        Sleep(7000);  // the modem applies the key
        return;
    }
    Sleep(200);
    fg_CMSETKEYCnfSend = 0;
    RaiseRequest(fg_CMSETKEYReqSend, fg_CMSETKEYReqSendCnt);
}

std::uint32_t g_seen_resets = 0;

}  // namespace

void Encode_VSSWVER_REQ_MME() {
    BuildHeader(kModemLocalMac, 0, MMTYPE_VS_SW_VER_REQ);
    std::memcpy(SPI_MMEsFormatHeader + 17, kVendorOui, 3);
    Encode_Packet(60);
}

void Encode_VSNWINFO_REQ_MME() {
    BuildHeader(kModemLocalMac, 1, MMTYPE_VS_NW_INFO_REQ);
    std::memcpy(SPI_MMEsFormatHeader + 19, kVendorOui, 3);
    Encode_Packet(60);
}

void Encode_CM_SET_KEY_REQ_MME() {
    std::uint8_t dest[6];
    for (int i = 0; i < 3; ++i) {
        dest[2 * i] = static_cast<std::uint8_t>(MACAddress[i] >> 8);
        dest[2 * i + 1] = static_cast<std::uint8_t>(MACAddress[i]);
    }
    BuildHeader(dest, 1, MMTYPE_CM_SET_KEY_REQ);
    std::uint8_t* p = SPI_MMEsFormatHeader + 19;
    p[0] = 1;   // key type: NMK
    p[9] = 4;   // PID
    p[13] = 1;  // CCo capability
    std::memcpy(p + 14, NID, sizeof(NID));
    p[21] = 1;  // new EKS
    std::memcpy(p + 22, test_NMK, sizeof(test_NMK));
    Encode_Packet(60);
}

void MMEDecode() {
    std::uint8_t idx = LoadByte(kRxExeIdx) % kRxSlots;
    const std::uint8_t* f = RxSlot(idx);
    std::uint16_t etherType = static_cast<std::uint16_t>(f[12] << 8 | f[13]);
    std::uint16_t mmtype = static_cast<std::uint16_t>(f[15] | f[16] << 8);

    g_seen_resets = nSessionResetCnt;
    int vehicle = DIN_GetChargingStatus();
    // A session reset clears the whole segment, this frame with it.
    if (g_seen_resets != nSessionResetCnt) return;

    if (!vehicle) {
        if (etherType != ETH_TYPE_HPAV || EVSE_State == 2) {
            MMECleanRX_Packet();
            return;
        }
        switch (mmtype) {
        case MMTYPE_VS_SW_VER_CNF: OnSwVerCnf(0x0BA00100, 88, true, f); break;
        case MMTYPE_VS_NW_INFO_CNF: OnNwInfoCnf(0x0BA03900); break;
        case MMTYPE_CM_SET_KEY_CNF: OnSetKeyCnf(0x0B600900); break;
        default: MMECleanRX_Packet(); break;
        }
        return;
    }
    if (etherType == ETH_TYPE_HPAV && EVSE_State != 2) {
        switch (mmtype) {
        case MMTYPE_CM_SET_KEY_CNF: OnSetKeyCnf(0x01600900); return;
        case MMTYPE_VS_SW_VER_CNF: OnSwVerCnf(0x01A00100, 300, false, f); return;
        case MMTYPE_VS_NW_INFO_CNF: OnNwInfoCnf(0x01A03900); return;
        default: break;
        }
    }
    MMEDecode_Session(etherType, mmtype);
}

void IF_GreenPHY_TxHandler() {
    if (fgVSSWVER_Req) {
        fgVSSWVER_Req = 0;
        nSystemStatus = 0x0BA00000;
        Encode_VSSWVER_REQ_MME();
        nVS_SW_VER_ST = common::MonotonicNow();
    }
    if (fgVSNWINFO_Req) {
        fgVSNWINFO_Req = 0;
        nSystemStatus = 0x0BA03800;
        Encode_VSNWINFO_REQ_MME();
        nVS_NW_INFO_ST = common::MonotonicNow();
    }
    if (fg_CMSETKEYReqSend) {
        fg_CMSETKEYReqSend = 0;
        nSystemStatus = 0x0B600800;
        Encode_CM_SET_KEY_REQ_MME();
        nCM_SET_KEY_ST = common::MonotonicNow();
    }
    if (bChargingFlow != 1) return;
    IF_GreenPHY_TxHandler_SLAC();
}

}  // namespace plc
