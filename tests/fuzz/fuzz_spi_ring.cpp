// Bytes from the modem chip are outside input: the receive-ring frame parser
// must take any stream in any split without overrunning the ring or a slot,
// and the read task any register values the chip reports.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "IF_HPCC_GreenPHY.h"
#include "IF_SPI_App.h"
#include "clock.h"
#include "gpio.h"
#include "ram_drv.h"
#include "spi.h"

namespace {

alignas(64) std::uint8_t g_segment[plc::kFrameSegmentSize];

// Input bytes taken in order; zeros once they are used up.
struct Cursor {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    std::uint8_t Next() { return pos < size ? data[pos++] : 0; }
    bool Done() const { return pos >= size; }
};

// A chip whose register values and read-buffer bytes come from the input.
class FuzzChip final : public platform::SpiDevice {
public:
    explicit FuzzChip(Cursor& in) : in_(in) {}
    int Transfer(const std::uint8_t* tx, std::uint8_t* rx, std::size_t len, unsigned bits) override {
        if (!rx) return static_cast<int>(len);
        if (bits == 16 && len == 4 && tx) {
            rx[0] = rx[1] = 0;
            rx[2] = in_.Next();
            rx[3] = in_.Next();
        } else {
            for (std::size_t i = 0; i < len; ++i) rx[i] = in_.Next();
        }
        return static_cast<int>(len);
    }

private:
    Cursor& in_;
};

class NoGpio final : public platform::Gpio {
public:
    bool Export(int) override { return true; }
    bool SetDirection(int, const std::string&) override { return true; }
    bool Write(int, int) override { return true; }
    std::optional<char> ReadChar(int) override { return '0'; }
};

void TakeSlots() {
    std::uint8_t frame[600];
    while (plc::LoadWord(plc::RxSlotFlag(plc::LoadByte(plc::kRxExeIdx))) == 1) {
        std::uint16_t len = plc::R_Ether_Read(frame, sizeof(frame));
        if (len < 60 || len > 600) __builtin_trap();
    }
}

void CheckRing() {
    if (plc::LoadWord(plc::kRingCount) > plc::kRingSize) __builtin_trap();
    if (plc::LoadByte(plc::kRxBufNum) > plc::kRxSlots) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::memset(g_segment, 0, sizeof(g_segment));
    plc::FrameSegment_Bind(g_segment);
    if (size == 0) return 0;
    std::uint8_t mode = data[0];
    Cursor in{data + 1, size - 1};

    if (mode & 0x80) {
        // The whole read path: register values and buffer bytes as the chip
        // gives them, through the SPI primitives.
        static platform::TestClock clock;
        static NoGpio gpio;
        platform::ScopedClock scoped(clock);
        FuzzChip chip(in);
        platform::SpiDevice* prevSpi = platform::SetSpiDevice(&chip);
        platform::Gpio* prevGpio = platform::SetGpio(&gpio);
        int fd = plc::SPI_init();
        for (int round = 0; !in.Done(); ++round) {
            plc::SPI_Pkt_Read(fd);
            plc::IF_GreenPHY_Pkt_Parser();
            if (round % 4 == 3) TakeSlots();
            CheckRing();
        }
        plc::SPI_close();
        platform::SetSpiDevice(prevSpi);
        platform::SetGpio(prevGpio);
        return 0;
    }

    // The parser alone: the input in chunks of a size the first byte chooses;
    // every fourth read the controller takes all filled slots.
    std::size_t chunk = (mode % 64) * 50 + 1;
    for (int round = 0; !in.Done(); ++round) {
        std::size_t n = in.size - in.pos < chunk ? in.size - in.pos : chunk;
        plc::Ring_Append(in.data + in.pos, n);  // a full ring takes less
        in.pos += n;
        plc::IF_GreenPHY_Pkt_Parser();
        if (round % 4 == 3 || in.Done()) TakeSlots();
        CheckRing();
    }
    return 0;
}
