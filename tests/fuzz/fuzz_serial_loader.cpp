// The block loader, either end, against any packets from the line. The input
// is a list of records: a flag byte (bit 0: raw bytes instead of a checked
// frame, bits 1-4: quiet ticks before the record), a length byte and the
// bytes. The first input byte picks the end (bit 0: master).
#include <cstdint>
#include <deque>
#include <vector>

#include "serial_loader.h"

namespace {

class QueuePort : public linkwire::LinkPort {
public:
    std::deque<std::vector<std::uint8_t>> chunks;
    int quiet = 0;
    ssize_t Read(std::uint8_t* buf, std::size_t len, int) override {
        if (quiet > 0) {
            --quiet;
            return 0;
        }
        if (chunks.empty()) return 0;
        std::vector<std::uint8_t>& c = chunks.front();
        const std::size_t n = std::min(len, c.size());
        std::copy_n(c.begin(), n, buf);
        c.erase(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(n));
        if (c.empty()) chunks.pop_front();
        return static_cast<ssize_t>(n);
    }
    ssize_t Write(const std::uint8_t*, std::size_t len) override { return static_cast<ssize_t>(len); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool master = data[0] & 1;
    std::vector<std::vector<std::uint8_t>> records;
    std::vector<int> gaps;
    for (std::size_t i = 1; i + 2 <= size;) {
        const std::uint8_t flags = data[i];
        const std::size_t n = std::min<std::size_t>(data[i + 1], size - i - 2);
        const std::uint8_t* bytes = data + i + 2;
        records.push_back((flags & 1) ? std::vector<std::uint8_t>(bytes, bytes + n) : linkwire::SerialPackFrame(bytes, n));
        gaps.push_back((flags >> 1) & 0x0F);
        i += 2 + n;
    }

    static std::vector<std::uint8_t> area(8192);
    static std::vector<std::uint8_t> image(5000, 0x5A);
    linkwire::LoaderParams p;
    p.channel = linkwire::openSerialPack(0, linkwire::kLoaderChannelSize);
    p.mode = master ? linkwire::kLoaderMaster : linkwire::kLoaderSlave;
    p.image = master ? image.data() : area.data();
    p.imageLen = static_cast<std::uint32_t>(master ? image.size() : area.size());
    p.endHandler = [](std::uint8_t* b, std::uint32_t len) {
        if (len > area.size() || (len > 0 && b[len - 1] == 0x42 && b[0] == 0x42)) return 6;
        return 0;
    };
    QueuePort port;
    linkwire::SerialLoader loader(port, p);
    if (loader.Start() == linkwire::kLoaderSuccess) {
        std::size_t next = 0;
        for (int t = 0; t < 20000 && !loader.Finished(); ++t) {
            if (port.chunks.empty() && port.quiet == 0 && next < records.size()) {
                port.quiet = gaps[next];
                port.chunks.push_back(records[next++]);
            }
            loader.Tick();
            if (next == records.size() && port.chunks.empty() && t > 7000) break;
        }
        if (!master && loader.received() > area.size()) __builtin_trap();
    }
    linkwire::closeSerialPack(p.channel);
    return 0;
}
