// SLAC on the EVSE side: the messages a connected vehicle's session brings
// (CM_SLAC_PARM, the sounding with CM_START_ATTEN_CHAR, CM_MNBC_SOUND and the
// modem's CM_ATTEN_PROFILE, CM_ATTEN_CHAR, CM_SLAC_MATCH), the attenuation
// store and its averages, and the IPv6 frames handed on once matched.
#include <algorithm>
#include <cstring>

#include "IF_HPCC_GreenPHY.h"
#include "IF_Main.h"
#include "clock.h"
#include "link_seams.h"
#include "ram_drv.h"

namespace plc {

std::uint8_t CM_SLAC_PARMREQ_Form[10];
std::uint8_t CM_START_ATTENCHARIND_Form[20];
std::uint8_t CM_MNBC_SOUNDIND_Form[52];
std::uint8_t CM_ATTEN_PROFILEIND_FORM[68];
std::uint8_t CM_ATTN_CHARRSP_Form[52];
std::uint8_t VS_ATTENCHAR_FORM[78];
std::uint16_t wTemp_MAC[3];
std::uint16_t DBSound[kSoundRows][kAttenGroups];
int nCM_PROFILE_Cnt = 0;
int nEV_Sound_Cnt = 0;
std::uint8_t nAttenGroupCnt = 0;

namespace {

constexpr std::size_t kPayload = 19;
constexpr std::size_t kRunIdLength = 8;

common::TimeStamp Now() { return common::MonotonicNow(); }

void ToWords(std::uint16_t words[3], const std::uint8_t* mac) {
    for (int i = 0; i < 3; ++i) words[i] = static_cast<std::uint16_t>(mac[2 * i] << 8 | mac[2 * i + 1]);
}

void FromWords(std::uint8_t* mac, const std::uint16_t words[3]) {
    for (int i = 0; i < 3; ++i) {
        mac[2 * i] = static_cast<std::uint8_t>(words[i] >> 8);
        mac[2 * i + 1] = static_cast<std::uint8_t>(words[i]);
    }
}

bool SameMac(const std::uint8_t* mac, const std::uint16_t words[3]) {
    std::uint8_t w[6];
    FromWords(w, words);
    return std::memcmp(mac, w, 6) == 0;
}

const std::uint8_t* RunId() { return CM_SLAC_PARMREQ_Form + 2; }

bool MMTypeFieldIn(std::initializer_list<std::uint16_t> phases) {
    return std::find(phases.begin(), phases.end(), StatusMMType()) != phases.end();
}

// The frame in the current receive slot and its length as stored.
const std::uint8_t* Frame() { return RxSlot(LoadByte(kRxExeIdx) % kRxSlots); }
std::size_t FrameLength() {
    return std::min<std::size_t>(LoadWord(RxSlotLength(LoadByte(kRxExeIdx) % kRxSlots)), kMaxRxFrame);
}

// A message of the vehicle's run: it comes from the vehicle that asked for
// this run and, where it carries one, names the run. Sounds, profiles or a
// match of another station's vehicle do not count. The fields looked at must
// lie inside the frame the modem delivered.
bool OfThisRun(std::size_t needed, int runIdAt) {
    const std::uint8_t* f = Frame();
    if (FrameLength() < kPayload + needed) return false;
    if (!SameMac(f + 6, EV_MACAddress)) return false;
    return runIdAt < 0 || std::memcmp(f + kPayload + runIdAt, RunId(), kRunIdLength) == 0;
}

// Takes the message into its record, or drops it when `ok` is false.
bool Take(bool ok, std::uint8_t* record, std::size_t len) {
    if (!ok) {
        ++nLinkCounters.mmeRejected;
        MMECleanRX_Packet();
        return false;
    }
    MMEPacketCP(record, kPayload, len);
    return true;
}

void StartSounding() {
    nEV_Sound_Cnt = 10;
    nCM_PROFILE_Cnt = 0;
}

void OnParmReq() {
    const std::uint8_t* f = Frame();
    std::uint8_t src[6];
    std::memcpy(src, f + 6, 6);
    if (!Take(FrameLength() >= kPayload + sizeof(CM_SLAC_PARMREQ_Form), CM_SLAC_PARMREQ_Form,
              sizeof(CM_SLAC_PARMREQ_Form)))
        return;
    nSystemStatus = 0x01606400;
    SLAC_Param_Reset();
    fgCMSLACPARMReqSend = 1;
    fgCMSTARTATTENCHARIndSend = 0;
    ToWords(EV_MACAddress, src);
    nTP_MATCH_RESPONSE = Now();
    nTT_EVSE_MATCH_MNBC = Now();
}

void OnStartAttenChar() {
    if (!MMTypeFieldIn({0x6065, 0x606A, 0xA001, 0xA039}) || !OfThisRun(19, 11)) {
        Take(false, nullptr, 0);
        return;
    }
    Take(true, CM_START_ATTENCHARIND_Form, sizeof(CM_START_ATTENCHARIND_Form));
    nSystemStatus = 0x01606A00;
    if (!fgCMSTARTATTENCHARIndSend) {
        if (CM_START_ATTENCHARIND_Form[2] == 10 && CM_START_ATTENCHARIND_Form[3] == 6) fgCMSTARTATTENCHARIndSend = 1;
        nTT_EVSE_MATCH_MNBC = Now();
    }
    StartSounding();
    std::memset(DBSound, 0, sizeof(DBSound));
    nTT_MATCH_SEQUENCE = Now();
}

bool InSounding() { return MMTypeFieldIn({0x6076, 0x606A, 0x6086, 0xA14E}); }

void OnSound() {
    if (!InSounding() || !OfThisRun(28, 20)) {
        Take(false, nullptr, 0);
        return;
    }
    ToWords(wTemp_MAC, Frame() + 6);
    Take(true, CM_MNBC_SOUNDIND_Form, sizeof(CM_MNBC_SOUNDIND_Form));
    nSystemStatus = 0x01607600;
    --nEV_Sound_Cnt;
    std::uint8_t count = CM_MNBC_SOUNDIND_Form[19];
    if (count == 0 && nEV_Sound_Cnt <= 0) fgCMMNBCSOUNDIndSend = 1;
    else if (count == 10) StartSounding();
}

// The profile comes from the station's own modem and names the sounding
// vehicle; one with more groups than the store holds is not ours to average.
void OnAttenProfile() {
    const std::uint8_t* f = Frame();
    bool ok = InSounding() && FrameLength() >= kPayload + 8 + f[kPayload + 6] &&
              f[kPayload + 6] <= kAttenGroups && SameMac(f + kPayload, EV_MACAddress);
    if (!Take(ok, CM_ATTEN_PROFILEIND_FORM, sizeof(CM_ATTEN_PROFILEIND_FORM))) return;
    nSystemStatus = 0x01608600;
    if (!fgCMSTARTATTENCHARIndSend || nCM_PROFILE_Cnt >= 10) return;
    nAttenGroupCnt = CM_ATTEN_PROFILEIND_FORM[6];
    for (std::size_t g = 0; g < kAttenGroups; ++g)
        DBSound[nCM_PROFILE_Cnt][g] = g < nAttenGroupCnt ? CM_ATTEN_PROFILEIND_FORM[8 + g] : 0;
    if (++nCM_PROFILE_Cnt > 9) fgCMATTENPROFILEIndSend = 1;
}

void OnAttenCharRsp() {
    if (!MMTypeFieldIn({0x606E, 0x606F}) || !OfThisRun(51, 8)) {
        Take(false, nullptr, 0);
        return;
    }
    Take(true, CM_ATTN_CHARRSP_Form, sizeof(CM_ATTN_CHARRSP_Form));
    nSystemStatus = 0x01606F00;
    if (CM_ATTN_CHARRSP_Form[50] != 0) {
        StartSounding();
        fgCMATTNCHARRspSend = 0;
        fgCMSTARTATTENCHARIndSend = 0;
        nSystemStatus |= 0xFF;
    } else {
        fgCMATTNCHARRspSend = 1;
    }
    nTT_EVSE_MATCH_SESSION = Now();
}

// A match request: dropped (-1) unless it belongs to this run and names the
// vehicle of the run; 1 when it names this station, 0 for another one.
int TakeMatchReq() {
    const std::uint8_t* f = Frame();
    bool ok = OfThisRun(58, 50) && SameMac(f + kPayload + 21, EV_MACAddress);
    if (!Take(ok, CM_SLAC_MATCHREQ_Form, sizeof(CM_SLAC_MATCHREQ_Form))) return -1;
    return SameMac(CM_SLAC_MATCHREQ_Form + 44, MACAddress) ? 1 : 0;
}

void OnMatchReq() {
    if (!MMTypeFieldIn({0x606F, 0x607C})) {
        Take(false, nullptr, 0);
        return;
    }
    int named = TakeMatchReq();
    if (named < 0) return;
    nSystemStatus = 0x01607C00;
    if (named == 1) {
        if (CM_ATTN_CHARRSP_Form[50] == 0) fgSLACMATCHReqSend = 1;
        nTP_MATCH_RESPONSE = Now();
    }
}

// After the match: a repeated match request is answered again, IPv6 frames
// go to the IP stack, everything else is dropped.
void AfterMatch(std::uint16_t etherType, std::uint16_t mmType) {
    if (etherType == ETH_TYPE_HPAV && mmType == MMTYPE_CM_SLAC_MATCH_REQ) {
        int named = TakeMatchReq();
        if (named < 0) return;
        nSystemStatus = 0x03607C00;
        if (named == 1) {
            fgSLACMATCHReqSend = 1;
            nTP_MATCH_RESPONSE = Now();
        }
        return;
    }
    if (etherType == ETH_TYPE_IPV6) {
        const std::uint8_t* f = Frame();
        if (!SameMac(f + 6, EV_MACAddress)) ToWords(EV_MACAddress, f + 6);
        knet_frame_arrived();
        return;
    }
    MMECleanRX_Packet();
}

}  // namespace

namespace {
// A SLAC message of MMV 1 in the build buffer, all zero; returns its payload.
// Encode_Packet_SLAC adds the addresses and the EtherType.
std::uint8_t* BeginSlacMessage(std::uint16_t mmtype) {
    std::memset(SPI_MMEsFormatHeader, 0, sizeof(SPI_MMEsFormatHeader));
    SPI_MMEsFormatHeader[14] = 1;
    SPI_MMEsFormatHeader[15] = static_cast<std::uint8_t>(mmtype);
    SPI_MMEsFormatHeader[16] = static_cast<std::uint8_t>(mmtype >> 8);
    return SPI_MMEsFormatHeader + kPayload;
}
}  // namespace

void MMEDecode_Session(std::uint16_t etherType, std::uint16_t mmType) {
    if (etherType != ETH_TYPE_HPAV || EVSE_State == 2) {
        if (EVSE_State == 2) AfterMatch(etherType, mmType);
        else MMECleanRX_Packet();  // IPv6 before the match among them
        return;
    }
    switch (mmType) {
    case MMTYPE_CM_SLAC_PARM_REQ: OnParmReq(); break;
    case MMTYPE_CM_START_ATTEN_CHAR_IND: OnStartAttenChar(); break;
    case MMTYPE_CM_MNBC_SOUND_IND: OnSound(); break;
    case MMTYPE_CM_ATTEN_PROFILE_IND: OnAttenProfile(); break;
    case MMTYPE_CM_ATTEN_CHAR_RSP: OnAttenCharRsp(); break;
    case MMTYPE_CM_SLAC_MATCH_REQ: OnMatchReq(); break;
    case MMTYPE_VS_ATTEN_CHAR_IND: MMEPacketCP(VS_ATTENCHAR_FORM, 17, sizeof(VS_ATTENCHAR_FORM)); break;
    default: MMECleanRX_Packet(); break;
    }
}

void AttenuationAverages(std::uint8_t out[kAttenGroups]) {
    std::memset(out, 0, kAttenGroups);
    const int n = std::clamp(nCM_PROFILE_Cnt, 0, 10);
    const std::size_t groups = std::min<std::size_t>(nAttenGroupCnt, kAttenGroups);
    std::uint16_t total = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        std::uint16_t sum = 0;
        for (int r = 0; r < n; ++r) sum = static_cast<std::uint16_t>(sum + DBSound[r][g]);
        DBSound[kSoundRows - 1][g] = sum;
        out[g] = n ? static_cast<std::uint8_t>(sum / n) : 0;
        total = static_cast<std::uint16_t>(total + out[g]);
    }
    if (total > 2261) std::memset(out, 37, kAttenGroups);
}

void Encode_CM_SLAC_PARM_CNF_MME() {
    std::uint8_t* p = BeginSlacMessage(MMTYPE_CM_SLAC_PARM_CNF);
    std::memset(p, 0xFF, 6);  // M-SOUND target: all
    p[6] = 10;                // sounds
    p[7] = 6;                 // time-out, 100 ms units
    p[8] = 1;                 // response type: other green PHY station
    FromWords(p + 9, EV_MACAddress);
    std::memcpy(p + 17, RunId(), kRunIdLength);
    Encode_Packet_SLAC(60);
}

void Encode_CM_ATTN_CHAR_IND_MME() {
    std::uint8_t* p = BeginSlacMessage(MMTYPE_CM_ATTEN_CHAR_IND);
    FromWords(p + 2, wTemp_MAC);
    std::memcpy(p + 8, RunId(), kRunIdLength);
    p[50] = static_cast<std::uint8_t>(std::clamp(nCM_PROFILE_Cnt, 0, 10));
    p[51] = nAttenGroupCnt;
    AttenuationAverages(p + 52);
    Encode_Packet_SLAC(130);
}

void Encode_CM_SLAC_MATCH_CNF_MME() {
    std::uint8_t* p = BeginSlacMessage(MMTYPE_CM_SLAC_MATCH_CNF);
    p[2] = 86;  // MVF length, little-endian
    std::memcpy(p + 21, CM_SLAC_MATCHREQ_Form + 21, 6);
    FromWords(p + 44, MACAddress);
    std::memcpy(p + 50, RunId(), kRunIdLength);
    std::memcpy(p + 66, NID, sizeof(NID));
    std::memcpy(p + 74, test_NMK, sizeof(test_NMK));
    Encode_Packet_SLAC(109);
}

void IF_GreenPHY_TxHandler_SLAC() {
    if (fgCMSLACPARMReqSend) {
        nSystemStatus = 0x01606500;
        Encode_CM_SLAC_PARM_CNF_MME();
        fgCMSLACPARMReqSend = 0;
        ++nCM_SLAC_PARM_CNF_Cnt;
        nTT_MATCH_SEQUENCE = Now();
    }
    if (fgCMMNBCSOUNDIndSend && fgCMATTENPROFILEIndSend && fgCMSTARTATTENCHARIndSend) {
        nSystemStatus = 0x01606E00;
        Encode_CM_ATTN_CHAR_IND_MME();
        fgCMMNBCSOUNDIndSend = fgCMATTENPROFILEIndSend = fgCMSTARTATTENCHARIndSend = 0;
        ++nCM_ATTN_CHAR_IND_Cnt;
        nTT_MATCH_RESPONSE = Now();
    }
    if (fgCMATTNCHARRspSend) {
        EVSE_State = 1;
        fgCMATTNCHARRspSend = 0;
    }
    if (fgSLACMATCHReqSend) {
        nSystemStatus = 0x01607D00;
        Encode_CM_SLAC_MATCH_CNF_MME();
        fgSLACMATCHReqSend = 0;
        EVSE_State = 2;
        nTT_MATCH_JOIN = Now();
    }
}

}  // namespace plc
