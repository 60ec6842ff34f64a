#include "ram_drv.h"

namespace plc {

std::uint8_t* PLCShmPtr = nullptr;
std::uint8_t* SPI_ReadBuffer = nullptr;
std::uint8_t* SPI_RXPktBuffer = nullptr;
std::uint8_t* SPI_TXPktBuffer = nullptr;

void FrameSegment_Bind(std::uint8_t* base) {
    PLCShmPtr = base;
    SPI_ReadBuffer = base + kRingOffset;
    SPI_RXPktBuffer = base + kRxSlotsOffset;
    SPI_TXPktBuffer = base + kTxSlotsOffset;
}

void CountDown(std::size_t off, std::uint8_t limit) {
    auto ref = SegByte(off);
    std::uint8_t cur = ref.load(std::memory_order_acquire);
    std::uint8_t next;
    do {
        next = (cur == 0 || cur > limit) ? 0 : static_cast<std::uint8_t>(cur - 1);
    } while (!ref.compare_exchange_weak(cur, next, std::memory_order_acq_rel, std::memory_order_acquire));
}

}  // namespace plc
