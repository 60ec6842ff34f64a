#include "serial_loader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "clock.h"

namespace linkwire {

namespace {

enum : int { kStateStart = 0, kStateData = 1, kStateEnd = 2, kStateDone = 3 };
enum : int { kSubSend = 0, kSubWait = 1, kSubAnswer = 2, kSubSettle = 3 };

// Ticks (each at least 2 ms).
inline constexpr int kQuietTicks = 3;             // a packet ends after this many quiet ticks
inline constexpr int kUstAnswerTicks = 3000;
inline constexpr int kUstAttempts = 5;
inline constexpr int kBlockGapTicks = 24;
inline constexpr int kRbsAfterTicks = 25;
inline constexpr int kRbsAnswerTicks = 100;
inline constexpr int kRbsRetries = 5;
inline constexpr int kVerdictTicks = 90001;
inline constexpr int kSlaveSilenceTicks = 6001;
inline constexpr int kFinishTicks = 51;

std::uint32_t Be32(const std::uint8_t* b) {
    return static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
           static_cast<std::uint32_t>(b[2]) << 8 | b[3];
}

void PutBe32(std::uint8_t* b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

std::uint32_t ImageSum(const std::uint8_t* b, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += b[i];
    return sum;
}

void Say(const char* format, unsigned long value) {
    std::printf(format, value);
    std::fflush(stdout);
}

}  // namespace

int checkImgSum(const std::uint8_t* image, std::size_t len) {
    if (len < kImageTrailerSize) return 0;
    const std::uint8_t* t = image + len - kImageTrailerSize;
    char name[10] = {};
    std::memcpy(name, t, 9);
    std::printf("[serialLoader] Image format name:%s\n", name);
    if (std::memcmp(t, kImageFormatName, 9) != 0) {
        std::fflush(stdout);
        return 0;
    }
    const std::uint32_t stored = Be32(t + 9);
    const std::uint32_t computed = ImageSum(image, len - kImageTrailerSize);
    std::printf("[serialLoader] Image checksum:0x%08x\n", stored);
    std::printf("[serialLoader] Calculated checksum:0x%08x\n", computed);
    std::fflush(stdout);
    return stored == computed ? 1 : 0;
}

void AppendImageTrailer(std::uint8_t* body, std::size_t bodyLen) {
    std::memcpy(body + bodyLen, kImageFormatName, 9);
    PutBe32(body + bodyLen + 9, ImageSum(body, bodyLen));
}

const char* LoaderResultText(int result) {
    static const char* const kTexts[] = {
        "[serialLoader] Result:Update FW success",
        "[serialLoader] Result:Update start fail",
        "[serialLoader] Result:Update data transfer fail",
        "[serialLoader] Result:Update communication fail",
        "[serialLoader] Result:Update write flash fail",
        "[serialLoader] Result:Update write flash timeout",
        "[serialLoader] Result:Image CheckSum/CRC fail from slave ack",
        "[serialLoader] Result:File broken from slave ack",
        "[serialLoader] Result:Update data resend limit reached",
    };
    if (result < 0 || result >= static_cast<int>(std::size(kTexts))) return "[serialLoader] Result:Unknown";
    return kTexts[result];
}

struct SerialLoader::State {
    LinkPort& line;
    LoaderParams p;
    std::unique_ptr<std::uint8_t[]> payload, rx, tx;
    SerialPacket pack;

    int state = kStateStart;
    int result = kLoaderCommFail;
    std::uint32_t length = 0;      // L
    std::uint32_t total = 0;       // T
    std::uint32_t remaining = 0;   // R
    std::uint32_t lastLength = 0;

    int sub = kSubSend;
    int ticks = 0;
    int attempts = 0;              // UST attempts or RBS retries
    int resends = 0;               // of the current block
    int copies = 0;                // counts sent for the current block
    int stale = 0;                 // answers to earlier copies still to come
    bool sent = false;
    int doneTicks = 0;
    std::size_t accumulated = 0;
    int idle = 0;

    // Slave.
    std::uint32_t write = 0;
    std::uint32_t blockBytes = 0;
    bool blockBad = false;

    State(LinkPort& l, const LoaderParams& params) : line(l), p(params) {}

    void calcFwBlockSize(std::uint32_t len) {
        length = len;
        total = (len + kLoaderBlockSize - 1) / kLoaderBlockSize;
        lastLength = len % kLoaderBlockSize == 0 ? kLoaderBlockSize : len % kLoaderBlockSize;
        remaining = total;
        Say("[serialLoader] Loader protocol total block size:%u\n", total);
        Say("[serialLoader] Loader protocol last count:%d\n", 1);
        Say("[serialLoader] Loader protocol last length:%d\n", lastLength);
    }

    void Send(const std::uint8_t* bytes, std::size_t n) {
        SerialPacket out{p.channel, const_cast<std::uint8_t*>(bytes), static_cast<std::uint16_t>(n), 0};
        prepSerialPack(out);
    }
    void SendAck(std::uint8_t type, std::uint8_t status) {
        const std::uint8_t b[3] = {type, p.id, status};
        Send(b, sizeof b);
    }
    void SendCount(std::uint8_t type, std::uint32_t value) {
        std::uint8_t b[6] = {type, p.id};
        PutBe32(b + 2, value);
        Send(b, sizeof b);
    }
    void End(int r) {
        result = r;
        state = kStateDone;
    }

    void Receive() {
        const std::size_t space = p.packSize - accumulated;
        const ssize_t n = space > 0 ? line.Read(rx.get() + accumulated, space, 0) : 0;
        if (n > 0) {
            accumulated += static_cast<std::size_t>(n);
            idle = 0;
            return;
        }
        if (++idle < kQuietTicks) return;
        idle = 0;
        if (accumulated > 0) pushSerialPack(p.channel, rx.get(), accumulated);
        accumulated = 0;
    }

    void Transmit() {
        std::size_t n = 0;
        bool wrote = false;
        while (popSerialPack(p.channel, tx.get(), p.packSize, &n)) {
            WriteFrame(line, tx.get(), n, 3000);
            wrote = true;
        }
        // The reply timers start once the packet is on the wire, so the next
        // packet follows after an idle gap the peer can see.
        if (wrote) line.Drain();
    }

    // The next good packet of this loader, or nullptr.
    const std::uint8_t* Packet() {
        pack.len = 0;
        if (checkSerialPack(pack) != kPackGood || pack.len < 2 || pack.data[1] != p.id) return nullptr;
        return pack.data;
    }
    bool IsAck(const std::uint8_t* k, std::uint8_t type) const { return k[0] == type && pack.len == 3; }
    bool IsCount(const std::uint8_t* k, std::uint8_t type) const { return k[0] == type && pack.len == 6; }

    void MasterStep() {
        const std::uint8_t* k = Packet();
        switch (state) {
        case kStateStart:
            if (!sent) {
                SendCount(kPackUST, length);
                sent = true;
                return;
            }
            if (k != nullptr && IsAck(k, kPackUST) && k[2] == kAckGo) {
                state = kStateData;
                sub = kSubSend;
                ticks = attempts = 0;
                return;
            }
            if (k == nullptr && ++ticks > kUstAnswerTicks) {
                ticks = 0;
                if (++attempts == kUstAttempts) return End(kLoaderStartFail);
                sent = false;
            }
            return;
        case kStateData:
            return MasterData(k);
        case kStateEnd:
            if (k != nullptr && IsAck(k, kPackEnd)) {
                switch (k[2]) {
                case kAckGo: return End(kLoaderSuccess);
                case kAckResend: return End(kLoaderWriteFail);
                case kAckChecksum: return End(kLoaderChecksumFail);
                case kAckBroken: return End(kLoaderFileBroken);
                default: return;
                }
            }
            if (k == nullptr && ++ticks == kVerdictTicks) End(kLoaderWriteTimeout);
            return;
        default:
            return;
        }
    }

    void MasterData(const std::uint8_t* k) {
        switch (sub) {
        case kSubSend:
            if (++ticks <= kBlockGapTicks) return;
            {
                const std::uint32_t block = total - remaining;
                const std::uint32_t n = remaining == 1 ? lastLength : kLoaderBlockSize;
                payload[0] = kPackIDT;
                payload[1] = p.id;
                std::memcpy(payload.get() + 2, p.image + static_cast<std::size_t>(block) * kLoaderBlockSize, n);
                Send(payload.get(), n + 2);
            }
            ticks = 0;
            copies = 0;
            --remaining;
            sub = kSubWait;
            return;
        case kSubWait:
            // After an unanswered count, its answer may still come: on a line
            // whose drain returns early the count left long after it was written.
            if (attempts > 0 && k != nullptr && IsAck(k, kPackRBS)) return CountAnswer(k);
            if (++ticks < kRbsAfterTicks) return;
            SendCount(kPackRBS, remaining);
            ++copies;
            ticks = 0;
            sub = kSubAnswer;
            return;
        case kSubAnswer:
            if (k != nullptr && IsAck(k, kPackRBS)) return CountAnswer(k);
            if (k == nullptr && ++ticks > kRbsAnswerTicks) {
                ticks = 0;
                if (++attempts == kRbsRetries) return End(kLoaderCommFail);
                sub = kSubWait;
            }
            return;
        case kSubSettle:
            // The slave answers every copy of a count alike; the answers to
            // the earlier copies are let in (or their window passes) before
            // the next block, so none is taken for the next count's answer.
            if (k != nullptr && IsAck(k, kPackRBS)) {
                if (--stale > 0) return;
            } else if (k != nullptr || ++ticks <= kRbsAnswerTicks) {
                return;
            }
            sub = kSubSend;
            ticks = kBlockGapTicks;
            return;
        default:
            return;
        }
    }

    // The slave's answer to the count after a block.
    void CountAnswer(const std::uint8_t* k) {
        if (k[2] == kAckAbort) return End(kLoaderDataFail);
        if (k[2] != kAckGo && k[2] != kAckResend) return;
        attempts = 0;
        if (k[2] == kAckResend) {
            ++remaining;
            if (++resends > kLoaderMaxResends) return End(kLoaderResendFail);
        } else {
            resends = 0;
        }
        if (remaining == 0) {
            state = kStateEnd;
            ticks = 0;
            return;
        }
        if (copies > 1) {
            stale = copies - 1;
            sub = kSubSettle;
            ticks = 0;
            return;
        }
        sub = kSubSend;
        ticks = kBlockGapTicks;
    }

    void SlaveStep() {
        const std::uint8_t* k = Packet();
        switch (state) {
        case kStateStart:
            if (k != nullptr && IsCount(k, kPackUST)) {
                const std::uint32_t len = Be32(k + 2);
                // An image that does not fit the receive area is refused at
                // the start: nothing is stored beyond it.
                if (len == 0 || len > p.imageLen) return End(kLoaderStartFail);
                calcFwBlockSize(len);
                SendAck(kPackUST, kAckGo);
                state = kStateData;
                ticks = 0;
                return;
            }
            if (k == nullptr && ++ticks == kSlaveSilenceTicks) End(kLoaderCommFail);
            return;
        case kStateData:
            if (k == nullptr) {
                if (++ticks == kSlaveSilenceTicks) End(kLoaderCommFail);
                return;
            }
            ticks = 0;
            if (IsCount(k, kPackUST) && Be32(k + 2) == length && write == 0 && blockBytes == 0) {
                SendAck(kPackUST, kAckGo);  // the master did not hear the first answer
            } else if (k[0] == kPackIDT) {
                SlaveBlock(k + 2, pack.len - 2u);
            } else if (IsCount(k, kPackRBS)) {
                SlaveCount(Be32(k + 2));
            }
            return;
        case kStateEnd: {
            // The verdict leaves after a gap the master can see, or it would
            // arrive glued to the last block's answer when the handler is quick.
            if (++ticks <= kQuietTicks + 1) return;
            const int c = p.endHandler ? p.endHandler(p.image, length) : kLoaderWriteFail;
            result = c;
            switch (c) {
            case kLoaderSuccess: SendAck(kPackEnd, kAckGo); break;
            case kLoaderWriteFail: SendAck(kPackEnd, kAckResend); break;
            case kLoaderChecksumFail: SendAck(kPackEnd, kAckChecksum); break;
            case kLoaderFileBroken: SendAck(kPackEnd, kAckBroken); break;
            default: break;
            }
            state = kStateDone;
            return;
        }
        default:
            return;
        }
    }

    void SlaveBlock(const std::uint8_t* bytes, std::uint32_t n) {
        // More than one block before its count, or past the receive area:
        // nothing is stored and the block is asked for again.
        if (blockBad || blockBytes + n > kLoaderBlockSize || write + n > p.imageLen) {
            blockBad = true;
            return;
        }
        std::memcpy(p.image + write, bytes, n);
        write += n;
        blockBytes += n;
    }

    void SlaveCount(std::uint32_t r) {
        const std::uint32_t expected = remaining - 1;
        if (r == remaining && blockBytes == 0 && !blockBad && remaining < total) {
            SendAck(kPackRBS, kAckGo);  // a repeated count: our answer was lost
            return;
        }
        if (r != expected) {
            SendAck(kPackRBS, kAckAbort);
            write = 0;
            return End(kLoaderDataFail);
        }
        const std::uint32_t want = expected > 0 ? kLoaderBlockSize : lastLength;
        if (!blockBad && blockBytes == want) {
            remaining = expected;
            SendAck(kPackRBS, kAckGo);
            if (expected == 0) {
                length = write;
                state = kStateEnd;
                ticks = 0;
            }
        } else {
            write -= blockBytes;
            SendAck(kPackRBS, kAckResend);
        }
        blockBytes = 0;
        blockBad = false;
    }
};

SerialLoader::SerialLoader(LinkPort& line, const LoaderParams& params) : s_(std::make_unique<State>(line, params)) {}
SerialLoader::~SerialLoader() = default;

int SerialLoader::Start() {
    State& s = *s_;
    const std::size_t n = s.p.packSize;
    s.payload.reset(new (std::nothrow) std::uint8_t[n]);
    s.rx.reset(new (std::nothrow) std::uint8_t[n]);
    s.tx.reset(new (std::nothrow) std::uint8_t[n]);
    if (!s.payload || !s.rx || !s.tx || n < 2 + kLoaderBlockSize) return kLoaderNoMemory;
    s.pack = SerialPacket{s.p.channel, s.payload.get(), 0, s.p.packSize};
    // Whatever waited on the line before the run belongs to no packet.
    std::uint8_t junk[256];
    for (int i = 0; i < 64 && s.line.Read(junk, sizeof junk, 0) > 0; ++i) {
    }
    if (s.p.mode == kLoaderMaster) {
        s.calcFwBlockSize(s.p.imageLen);
    } else if (s.p.pre != nullptr && s.p.preLen > 0) {
        pushSerialPack(s.p.channel, s.p.pre, std::min<std::size_t>(s.p.preLen, 32));
    }
    return kLoaderSuccess;
}

void SerialLoader::Tick() {
    State& s = *s_;
    s.Receive();
    if (s.state != kStateDone) {
        if (s.p.mode == kLoaderMaster) s.MasterStep(); else s.SlaveStep();
    } else {
        ++s.doneTicks;
    }
    s.Transmit();
}

bool SerialLoader::Finished() const { return s_->state == kStateDone && s_->doneTicks >= kFinishTicks; }
int SerialLoader::result() const { return s_->result; }
std::uint32_t SerialLoader::received() const { return s_->write; }

int mobzCAloader(LinkPort& line, const LoaderParams& params) {
    SerialLoader loader(line, params);
    if (loader.Start() != kLoaderSuccess) return kLoaderNoMemory;
    platform::Clock& clock = platform::GetClock();
    std::int64_t last = clock.MonotonicMs();
    while (!loader.Finished()) {
        clock.SleepMs(1);
        const std::int64_t now = clock.MonotonicMs();
        if (now - last <= 1) continue;
        last = now;
        loader.Tick();
    }
    std::printf("%s\n", LoaderResultText(loader.result()));
    std::fflush(stdout);
    return loader.result();
}

}  // namespace linkwire
