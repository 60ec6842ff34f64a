#include "IF_HPCC_GreenPHY.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "IF_Main.h"
#include "IF_SPI_App.h"
#include "clock.h"
#include "packet.h"
#include "instance_lock.h"
#include "ram_drv.h"

namespace plc {

std::uint8_t PLC_State_Machine = 0;
common::TimeStamp QCA7K_SYNC_StartTime;
std::uint16_t nIntCause = 0;
LinkCounters nLinkCounters;

namespace {

platform::PacketSocket g_mirror;

void Sleep(std::int64_t ms) { platform::GetClock().SleepMs(ms); }

// Repeats of a short buffer read before the read task gives up for this pass.
constexpr int kReadRepeats = 3;

// The transmit slot `idx` is done with: free it, take it off the count (a
// full queue counts 10) and move on to the next slot.
void ReleaseTxSlot(std::uint8_t idx) {
    StoreByte(TxSlotFlag(idx), 0);
    CountDown(kTxBufNum, kTxSlots);
    StoreByte(kTxExeIdx, static_cast<std::uint8_t>((idx + 1) % kTxSlots));
    PLC_State_Machine = 0;
}

}  // namespace

// ---- Driver process ---------------------------------------------------------

pid_t GreenPHY_StateMachine(int fd, pid_t (*forkFn)()) {
    const int parent = static_cast<int>(getpid());
    pid_t pid = forkFn();
    if (pid == 0) {
        // The driver holds the program's instance lock with its parent: it
        // must not outlive a killed controller, or Marlet could not start again.
        if (!platform::EndWithParent(parent)) std::_Exit(0);
        GreenPHY_DriverLoop(fd);
    }
    return pid;
}

void GreenPHY_DriverLoop(int fd) {
    RawSocket_Init();
    for (;;) GreenPHY_DriverStep(fd);
}

bool MovePhyState(std::uint16_t from, std::uint16_t to) {
    return SegWord(kPhyState).compare_exchange_strong(from, to, std::memory_order_acq_rel);
}

namespace {

common::TimeStamp g_signatureCheckedAt;

// The segment was cleared by the controller: whatever this process still
// held of the old indices, slots and transmit machine is void.
void ForgetClearedState() {
    for (std::size_t off : {kTxBufIdx, kTxExeIdx, kTxBufNum, kRxBufIdx, kRxExeIdx, kRxBufNum}) StoreByte(off, 0);
    for (std::size_t i = 0; i < kTxSlots; ++i) StoreByte(TxSlotFlag(i), 0);
    for (std::size_t i = 0; i < kRxSlots; ++i) StoreWord(RxSlotFlag(i), 0);
    Ring_Clear();
    PLC_State_Machine = 0;
}

// The chip stopped answering (a failed transfer or a lost signature): it is
// synchronised again, and the controller sees the driver leave its running state.
void LeaveRunning() {
    PLC_State_Machine = 0;
    if (!MovePhyState(PHY_RUN, PHY_SYNC)) return;
    SegWord(kDriverLeaves).fetch_add(1, std::memory_order_acq_rel);
    SetSystemStatus(9, 0, 0, 0);
    QCA7K_SYNC_StartTime = common::MonotonicNow();
}

}  // namespace

void GreenPHY_DriverStep(int fd) {
    std::uint16_t phy = LoadWord(kPhyState);
    if (phy != PHY_SYNC && phy != PHY_RUN) {  // 0, or whatever a cleared segment holds
        ForgetClearedState();
        if (!MovePhyState(phy, PHY_SYNC)) return;
        SetSystemStatus(9, 0, 0, 0);
        QCA7K_SYNC_StartTime = common::MonotonicNow();
        return;
    }
    // Looked at in every state: a request set just after a clear must not be
    // lost when the driver gets to running in that window.
    if (SegWord(kResetFlag).exchange(0, std::memory_order_acq_rel) == 1) {
        PLC_Reset();
        return;
    }
    SPI_TakeFailure();
    if (phy == PHY_SYNC) {
        SPI2_Xfer_RegReadCmd_Execute(fd, SPI_REG_SIGNATURE);
        if (SPI2_Xfer_RegReadCmd_Execute(fd, SPI_REG_SIGNATURE) == SPI_GOOD_SIGNATURE) {
            SPI2_Xfer_RegWriteCmd_Execute(fd, SPI_REG_INTR_CAUSE, nIntCause);
            SPI2_Xfer_RegWriteCmd_Execute(fd, SPI_REG_INTR_ENABLE, 0x47);
            SPI2_Xfer_RegWriteCmd_Execute(fd, SPI_REG_RDBUF_WATERMARK, 100);
            SPI2_Xfer_RegWriteCmd_Execute(fd, SPI_REG_WRBUF_WATERMARK, 240);
            if (SPI_TakeFailure() || !MovePhyState(PHY_SYNC, PHY_RUN)) return;
            StoreWord(kResetCount, 0);
            g_signatureCheckedAt = common::MonotonicNow();
            return;
        }
        std::int64_t t = common::ElapsedMs(QCA7K_SYNC_StartTime);
        if (t > 500 && LoadWord(kResetCount) <= 1) {
            PLC_Reset();
        } else if (t > 600) {
            PLC_Reset();
            if (LoadWord(kResetCount) > 3) {
                StoreWord(kResetCount, 2);
                SetSystemStatus(9, 0, 0, 255);
            }
        } else {
            Sleep(1);
        }
        return;
    }
    SPI_Pkt_Schedule(fd);
    bool lost = SPI_TakeFailure();
    if (!lost && common::ElapsedMs(g_signatureCheckedAt) >= kSignatureCheckMs) {
        g_signatureCheckedAt = common::MonotonicNow();
        lost = SPI2_Xfer_RegReadCmd_Execute(fd, SPI_REG_SIGNATURE) != SPI_GOOD_SIGNATURE;
    }
    if (lost) {
        LeaveRunning();
        return;
    }
    Sleep(1);
}

void SPI_Pkt_Schedule(int fd) {
    SPI_Pkt_Write(fd);
    SPI_Pkt_Read(fd);
    IF_GreenPHY_Pkt_Parser();
}

void SPI_Pkt_Write(int fd) {
    while (LoadByte(kTxBufNum) != 0) {
        std::uint8_t idx = LoadByte(kTxExeIdx) % kTxSlots;
        std::uint8_t* slot = TxSlot(idx);
        std::uint16_t len = static_cast<std::uint16_t>(slot[4] | slot[5] << 8);
        switch (PLC_State_Machine) {
        case 0:
            if (LoadByte(TxSlotFlag(idx)) == 0) {
                CountDown(kTxBufNum, kTxSlots);
                continue;
            }
            PLC_State_Machine = 1;
            break;
        case 1:
            if (len > kMaxTxFrame) {  // not a slot this program filled: drop it
                ReleaseTxSlot(idx);
                break;
            }
            if (SPI2_Xfer_RegReadCmd_Execute(fd, SPI_REG_WRBUF_SPC_AVA) < len + 10u) {
                Sleep(10);  // the chip has no room yet: the next pass looks again
                return;
            }
            SPI2_Xfer_RegWriteCmd_Execute(fd, SPI_REG_BFR_SIZE, static_cast<std::uint16_t>(len + 10));
            SPI2_Xfer_BufWriteCmd_Execute(fd, SPI_CMD_BUF_WRITE);
            PLC_State_Machine = 7;
            break;
        case 7:
            SPI2_Xfer_8bit_WriteData_Execute(fd, slot, static_cast<std::uint16_t>(len + 10));
            RawSend(slot + 8, len);
            ReleaseTxSlot(idx);
            break;
        default:
            PLC_State_Machine = 0;
            break;
        }
    }
}

void SPI_Pkt_Read(int fd) {
    std::uint16_t avail = SPI2_Xfer_RegReadCmd_Execute(fd, SPI_REG_RDBUF_BYTE_AVA);
    nIntCause = SPI2_Xfer_RegReadCmd_Execute(fd, SPI_REG_INTR_CAUSE);
    if (nIntCause & (SPI_INT_RDBUF_ERR | SPI_INT_WRBUF_ERR)) {
        SPI2_Xfer_RegWriteCmd_Execute(fd, SPI_REG_INTR_CAUSE, nIntCause);
    } else if (avail != 0) {
        SPI_Pkt_RX_Task(fd);
        SPI2_Xfer_RegWriteCmd_Execute(fd, SPI_REG_INTR_CAUSE, nIntCause);
    }
}

void SPI_Pkt_RX_Task(int fd) {
    std::uint16_t remaining = SPI2_Xfer_RegReadCmd_Execute(fd, SPI_REG_RDBUF_BYTE_AVA);
    if (remaining == 0) return;
    if (remaining > kMaxChipReadBytes) {
        // The chip cannot hold that much: a misread register. The bytes stay
        // in the chip and are read on a later pass.
        ++nLinkCounters.chipFaults;
        return;
    }
    int repeats = 0;
    while (remaining != 0) {
        std::size_t free = kRingSize - std::min<std::size_t>(LoadWord(kRingCount), kRingSize);
        auto n = static_cast<std::uint16_t>(std::min<std::size_t>(remaining, free));
        if (n == 0) return;  // the ring is full: the chip keeps the rest for later
        SPI2_Xfer_RegWriteCmd_Execute(fd, SPI_REG_BFR_SIZE, n);
        SPI2_Xfer_BufWriteCmd_Execute(fd, SPI_CMD_BUF_READ);
        std::uint8_t scratch[4096] = {};
        std::uint16_t got = SPI2_8bit_RX_Dummy_Execute(fd, n, scratch);
        if (got == 0) return;
        if (got != n) {
            if (++repeats >= kReadRepeats) return;
            continue;
        }
        Ring_Append(scratch, n);
        remaining = static_cast<std::uint16_t>(remaining - n);
    }
}

void Ring_Clear() {
    StoreWord(kRingIn, 0);
    StoreWord(kRingOut, 0);
    StoreWord(kRingCount, 0);
}

// The ring indices are written back only if nobody cleared them since they
// were read: a clear by the controller wins over what this pass still held.
namespace {
bool ReplaceWord(WordOffset off, std::uint16_t expected, std::uint16_t value) {
    return SegWord(off).compare_exchange_strong(expected, value, std::memory_order_acq_rel);
}
}  // namespace

std::size_t Ring_Append(const std::uint8_t* data, std::size_t n) {
    const std::uint16_t count0 = LoadWord(kRingCount);
    const std::uint16_t in0 = LoadWord(kRingIn);
    if (count0 > kRingSize || in0 >= kRingSize) return 0;  // not values this driver wrote
    n = std::min<std::size_t>(n, kRingSize - count0);
    std::size_t first = std::min<std::size_t>(n, kRingSize - in0);
    std::memcpy(SPI_ReadBuffer + in0, data, first);
    std::memcpy(SPI_ReadBuffer, data + first, n - first);
    if (!ReplaceWord(kRingIn, in0, static_cast<std::uint16_t>((in0 + n) % kRingSize))) return 0;
    if (!ReplaceWord(kRingCount, count0, static_cast<std::uint16_t>(count0 + n))) return 0;
    return n;
}

void Buffer_Copy(std::size_t first, std::size_t last, std::uint8_t* dst) {
    first %= kRingSize;
    last %= kRingSize;
    if (first <= last) {
        std::memcpy(dst, SPI_ReadBuffer + first, last - first + 1);
    } else {
        std::memcpy(dst, SPI_ReadBuffer + first, kRingSize - first);
        std::memcpy(dst + (kRingSize - first), SPI_ReadBuffer, last + 1);
    }
}

// A frame in the ring: 4-byte chip length L (high byte first), AA AA AA AA,
// frame length FL (little-endian), two reserved bytes, the frame, 55 55.
// A frame is taken only when L agrees with FL, it lies whole in the ring and
// its end marker is in place; otherwise the parser moves on by one byte.
void IF_GreenPHY_Pkt_Parser() {
    const std::uint16_t count0 = LoadWord(kRingCount);
    const std::uint16_t out0 = LoadWord(kRingOut);
    std::size_t count = count0;
    std::size_t out = out0;
    if (count > kRingSize || out >= kRingSize) {  // not values this driver wrote
        Ring_Clear();
        return;
    }
    auto at = [&](std::size_t k) { return SPI_ReadBuffer[(out + k) % kRingSize]; };
    auto skip = [&](std::size_t k) {
        out = (out + k) % kRingSize;
        count -= k;
    };
    constexpr std::size_t kHeader = 12;  // chip length, start marker, frame length, reserved
    while (count >= kHeader) {
        std::uint8_t slot = LoadByte(kRxBufIdx) % kRxSlots;
        if (LoadByte(kRxBufNum) >= kRxSlots || LoadWord(RxSlotFlag(slot)) != 0) break;
        if (at(4) != 0xAA || at(5) != 0xAA || at(6) != 0xAA || at(7) != 0xAA) {
            skip(1);
            ++nLinkCounters.rxSkippedBytes;
            continue;
        }
        std::uint32_t chipLen = std::uint32_t(at(0)) << 24 | std::uint32_t(at(1)) << 16 | std::uint32_t(at(2)) << 8 | at(3);
        std::size_t fl = at(8) | at(9) << 8;
        std::size_t total = fl + 14;
        if (chipLen != fl + 10 || total > kRingSize) {
            skip(1);
            ++nLinkCounters.rxSkippedBytes;
            continue;
        }
        if (count < total) break;  // incomplete: wait for the next read
        if (at(12 + fl) != 0x55 || at(13 + fl) != 0x55) {
            skip(1);
            ++nLinkCounters.rxSkippedBytes;
            continue;
        }
        if (fl >= kMinRxFrame && fl <= kMaxRxFrame) {
            Buffer_Copy(out + 12, out + 12 + fl - 1, RxSlot(slot));
            StoreWord(RxSlotLength(slot), static_cast<std::uint16_t>(fl));
            RawSend(RxSlot(slot), fl);
            StoreWord(RxSlotFlag(slot), 1);
            StoreByte(kRxBufIdx, static_cast<std::uint8_t>((slot + 1) % kRxSlots));
            CountUp(kRxBufNum);
        } else {
            ++nLinkCounters.rxDroppedLength;
        }
        skip(total);
    }
    if (ReplaceWord(kRingOut, out0, static_cast<std::uint16_t>(out)))
        ReplaceWord(kRingCount, count0, static_cast<std::uint16_t>(count));
}

// ---- Copy of frames to the packet interface ---------------------------------

void RawSocket_Init() {
    const char* name = std::getenv(kMirrorIfEnv);
    g_mirror.Open(name && *name ? name : "eth0");  // without it the driver runs on
}

std::size_t MirrorCopy(const std::uint8_t* frame, std::size_t len, std::uint8_t* out, std::size_t cap) {
    len = std::min(len, cap);
    std::memcpy(out, frame, len);
    if (len < 19 || out[12] != 0x88 || out[13] != 0xE1 || out[14] != 1) return len;
    std::uint16_t mmtype = static_cast<std::uint16_t>(out[15] | out[16] << 8);
    std::size_t from = 0;
    if (mmtype == MMTYPE_CM_SET_KEY_REQ) from = 19 + 22;
    if (mmtype == MMTYPE_CM_SLAC_MATCH_CNF) from = 19 + 74;
    if (from != 0 && from < len) std::memset(out + from, 0, std::min<std::size_t>(16, len - from));
    return len;
}

void RawSend(const std::uint8_t* frame, std::size_t len) {
    if (!g_mirror.IsOpen()) return;
    std::uint8_t copy[2048];
    std::size_t n = MirrorCopy(frame, len, copy, sizeof(copy));
    g_mirror.Send(copy, n);
}

// ---- Controller side ----------------------------------------------------------

void IF_GreenPHY_Handler() {
    if (LoadWord(kPhyState) != PHY_RUN) return;
    for (int i = 0; i < 10; ++i) {
        IF_GreenPHY_RxHandler();
        IF_GreenPHY_TxHandler();
    }
}

void IF_GreenPHY_RxHandler() {
    std::uint8_t idx = LoadByte(kRxExeIdx) % kRxSlots;
    if (LoadWord(RxSlotFlag(idx)) == 1) MMEDecode();
}

void MMECleanRX_Packet() {
    std::uint8_t idx = LoadByte(kRxExeIdx) % kRxSlots;
    StoreWord(RxSlotFlag(idx), 0);
    StoreByte(kRxExeIdx, static_cast<std::uint8_t>((idx + 1) % kRxSlots));
    CountDown(kRxBufNum, kRxSlots);
}

void MMEPacketCP(std::uint8_t* dst, std::size_t offset, std::size_t len) {
    std::uint8_t idx = LoadByte(kRxExeIdx) % kRxSlots;
    std::size_t have = std::min<std::size_t>(LoadWord(RxSlotLength(idx)), kMaxRxFrame);
    std::size_t n = offset < have ? std::min(len, have - offset) : 0;
    std::memcpy(dst, RxSlot(idx) + offset, n);
    std::memset(dst + n, 0, len - n);  // nothing of an earlier, longer frame
    MMECleanRX_Packet();
}

std::uint16_t R_Ether_Read(std::uint8_t* dst, std::size_t cap) {
    std::uint8_t idx = LoadByte(kRxExeIdx) % kRxSlots;
    std::uint16_t len = LoadWord(RxSlotLength(idx));
    if (len > cap || len > kMaxRxFrame) {
        ++nLinkCounters.rxDroppedTooLong;
        MMECleanRX_Packet();
        return 0;
    }
    std::memcpy(dst, RxSlot(idx), len);
    MMECleanRX_Packet();
    return len;
}

namespace {

// The slot to fill for a frame of `len` bytes, or null (refused and counted)
// when the frame is too long or the queue is full.
std::uint8_t* ClaimTxSlot(std::size_t len) {
    if (len > kMaxTxFrame) {
        ++nLinkCounters.txRefusedSize;
        return nullptr;
    }
    std::uint8_t idx = LoadByte(kTxBufIdx) % kTxSlots;
    if (LoadByte(TxSlotFlag(idx)) != 0 || LoadByte(kTxBufNum) >= kTxSlots) {
        ++nLinkCounters.txRefusedFull;
        return nullptr;
    }
    return TxSlot(idx);
}

// The SPI write image: start marker, length, reserved, frame (zero-padded
// from `have` to `len` bytes), end marker.
int QueueFrame(const std::uint8_t* frame, std::size_t have, std::size_t len) {
    std::uint8_t* s = ClaimTxSlot(len);
    if (!s) return 0;
    std::memset(s, 0xAA, 4);
    s[4] = static_cast<std::uint8_t>(len);
    s[5] = static_cast<std::uint8_t>(len >> 8);
    s[6] = s[7] = 0;
    std::memcpy(s + 8, frame, have);
    std::memset(s + 8 + have, 0, len - have);
    s[8 + len] = s[9 + len] = 0x55;
    MMEAddTX_Packet();
    return 1;
}

void PutMac(std::uint8_t* dst, const std::uint16_t words[3]) {
    for (int i = 0; i < 3; ++i) {
        dst[2 * i] = static_cast<std::uint8_t>(words[i] >> 8);
        dst[2 * i + 1] = static_cast<std::uint8_t>(words[i]);
    }
}

}  // namespace

void MMEAddTX_Packet() {
    std::uint8_t idx = LoadByte(kTxBufIdx) % kTxSlots;
    StoreByte(TxSlotFlag(idx), 1);
    StoreByte(kTxBufIdx, static_cast<std::uint8_t>((idx + 1) % kTxSlots));
    CountUp(kTxBufNum);
}

int Write_Tx_Packet_Buffer(const std::uint8_t* frame, std::uint16_t len, std::uint8_t type) {
    std::size_t have = std::min<std::size_t>(len, kMaxTxFrame + 1);
    std::uint8_t buf[kMaxTxFrame + 1];
    std::memcpy(buf, frame, have);
    if ((type == 6 || type == 17) && have >= 6) PutMac(buf, EV_MACAddress);
    return QueueFrame(buf, have, std::max<std::size_t>(len, kMinTxFrame));
}

int Encode_Packet(std::uint16_t len) {
    if (len > sizeof(SPI_MMEsFormatHeader)) {
        ++nLinkCounters.txRefusedSize;
        return 0;
    }
    return QueueFrame(SPI_MMEsFormatHeader, len, len);
}

int Encode_Packet_SLAC(std::uint16_t len) {
    PutMac(SPI_MMEsFormatHeader, EV_MACAddress);
    PutMac(SPI_MMEsFormatHeader + 6, MACAddress);
    SPI_MMEsFormatHeader[12] = 0x88;
    SPI_MMEsFormatHeader[13] = 0xE1;
    return Encode_Packet(len);
}

std::uint16_t SwapWord(std::uint16_t w) { return static_cast<std::uint16_t>(w << 8 | w >> 8); }

}  // namespace plc
