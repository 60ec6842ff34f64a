// Bytes from the modem chip are outside input: the receive-ring frame parser
// must take any stream in any split without overrunning the ring or a slot.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "IF_HPCC_GreenPHY.h"
#include "ram_drv.h"

namespace {
alignas(64) std::uint8_t g_segment[plc::kFrameSegmentSize];
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::memset(g_segment, 0, sizeof(g_segment));
    plc::FrameSegment_Bind(g_segment);
    // The first byte chooses the chunk size of the chip reads; every fourth
    // read the controller takes all filled slots.
    std::size_t chunk = size ? (data[0] % 64) * 50 + 1 : 1;
    std::size_t pos = size ? 1 : 0;
    std::uint8_t frame[600];
    for (int round = 0; pos < size; ++round) {
        std::size_t n = size - pos < chunk ? size - pos : chunk;
        plc::Ring_Append(data + pos, n);  // a full ring takes less
        pos += n;
        plc::IF_GreenPHY_Pkt_Parser();
        if (round % 4 == 3 || pos >= size) {
            while (plc::LoadWord(plc::RxSlotFlag(plc::LoadByte(plc::kRxExeIdx))) == 1) {
                std::uint16_t len = plc::R_Ether_Read(frame, sizeof(frame));
                if (len < 60 || len > 600) __builtin_trap();
            }
        }
        if (plc::LoadWord(plc::kRingCount) > plc::kRingSize) __builtin_trap();
    }
    return 0;
}
