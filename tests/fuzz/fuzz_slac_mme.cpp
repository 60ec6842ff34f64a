// Management messages from the powerline are outside input: whatever a
// vehicle or another station sends, in whatever phase of SLAC it arrives,
// the decoder must read no byte beyond the frame the modem delivered, store
// no profile beyond the attenuation store and queue only well-formed answers.
//
// Input: one byte of phase (EVSE_State and the MMTYPE field of the status),
// then frames, each as a length byte (x3, so 0..765) and its bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "IF_HPCC_GreenPHY.h"
#include "IF_Main.h"
#include "clock.h"
#include "link_seams.h"
#include "ram_drv.h"

namespace {

alignas(64) std::uint8_t g_segment[plc::kFrameSegmentSize];
std::vector<std::uint8_t> g_map(262144, 0);

constexpr std::uint16_t kPhases[] = {0x6065, 0x606A, 0x6076, 0x6086, 0x606E, 0x606F, 0x607C, 0x607D, 0x0000, 0xA001};

void Deliver(const std::uint8_t* frame, std::size_t len) {
    std::uint8_t idx = plc::LoadByte(plc::kRxBufIdx) % plc::kRxSlots;
    // What an earlier, longer frame left in the slot must not be read as this one.
    std::memset(plc::RxSlot(idx), 0xA5, plc::kMaxRxFrame);
    std::memcpy(plc::RxSlot(idx), frame, len);
    plc::StoreWord(plc::RxSlotLength(idx), static_cast<std::uint16_t>(len));
    plc::StoreWord(plc::RxSlotFlag(idx), 1);
    plc::StoreByte(plc::kRxBufIdx, static_cast<std::uint8_t>((idx + 1) % plc::kRxSlots));
    plc::CountUp(plc::kRxBufNum);
    plc::MMEDecode();
    if (plc::nCM_PROFILE_Cnt < 0 || plc::nCM_PROFILE_Cnt > 10 || plc::nAttenGroupCnt > plc::kAttenGroups)
        __builtin_trap();
    // Every answer queued is one of the station's three SLAC messages, whole.
    plc::IF_GreenPHY_TxHandler();
    while (plc::LoadByte(plc::kTxBufNum) != 0) {
        std::uint8_t t = plc::LoadByte(plc::kTxExeIdx) % plc::kTxSlots;
        const std::uint8_t* s = plc::TxSlot(t);
        std::size_t n = s[4] | s[5] << 8;
        if (n < 60 || n > 130 || s[8 + n] != 0x55 || s[9 + n] != 0x55) __builtin_trap();
        plc::StoreByte(plc::TxSlotFlag(t), 0);
        plc::StoreByte(plc::kTxExeIdx, static_cast<std::uint8_t>((t + 1) % plc::kTxSlots));
        plc::CountDown(plc::kTxBufNum, plc::kTxSlots);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::TestClock clock;
    static platform::ScopedClock scoped(clock);
    if (size < 1) return 0;
    plc::Marlet_LoadDefaults();
    std::memset(g_segment, 0, sizeof(g_segment));
    plc::Marlet_Setup(g_map.data(), g_segment);
    plc::StoreWord(plc::kPhyState, plc::PHY_RUN);
    g_map[2160] = 4;  // a vehicle is connected
    plc::DIN_GetChargingStatus();
    plc::QCA7k_PowerOn = 1;
    plc::bChargingFlow = 1;
    plc::DINState = 1;
    plc::fgVSSWVER_Cnf = 1;
    plc::EVSE_State = data[0] & 0x80 ? 2 : 0;
    plc::nSystemStatus = 0x01000000u | static_cast<std::uint32_t>(kPhases[(data[0] & 0x7F) % std::size(kPhases)]) << 8;
    plc::fgCMSTARTATTENCHARIndSend = data[0] & 0x40 ? 1 : 0;
    std::size_t pos = 1;
    while (pos < size) {
        std::size_t len = std::size_t(data[pos++]) * 3;
        len = std::min(len, size - pos);
        len = std::min(len, plc::kMaxRxFrame);
        if (len < 17) len = std::min<std::size_t>(17, size - pos);
        if (len < 17) break;
        Deliver(data + pos, len);
        pos += len;
        clock.Advance(1);
    }
    return 0;
}
