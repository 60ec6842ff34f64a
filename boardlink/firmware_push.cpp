#include "firmware_push.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>

#include "clock.h"
#include "command.h"
#include "files.h"
#include "link_frames.h"
#include "paths.h"
#include "serial_loader.h"
#include "syslog.h"

namespace boardlink {

using regmap::RegisterMap;

namespace {

int upFailLogSaving(unsigned number, const char* text) {
    common::RecordSysLogf("[Scrivet][%u] FW update of CCS board failed:%s", number, text);
    return 0;
}

// Numbers of the preparation failures, per method.
struct PrepNumbers {
    unsigned open, read, sum;
};
constexpr PrepNumbers kRawNumbers{853, 873, 896};
constexpr PrepNumbers kLoaderNumbers{923, 943, 966};

// Reads a whole file into the buffer: its length, 0 when it is empty, -1 when
// it cannot be opened, -2 when it is larger than the buffer (never cut to fit).
long ReadInto(const std::string& systemPath, std::uint8_t* buf) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(platform::SystemPath(systemPath), ec);
    if (ec) return -1;
    if (size > kPushBuffer) return -2;
    const ssize_t n = platform::ReadFileBytes(platform::SystemPath(systemPath), buf, kPushBuffer);
    return n < 0 ? -1 : static_cast<long>(n);
}

int LoaderTransfer(linkwire::LinkPort& port, std::uint8_t* archive, std::uint32_t len) {
    const int ch = linkwire::openSerialPack(0, linkwire::kLoaderChannelSize);
    if (ch < 0) return upFailLogSaving(1267, "Open failed");
    linkwire::LoaderParams p;
    p.channel = ch;
    p.mode = linkwire::kLoaderMaster;
    p.id = linkwire::kLoaderIdBoardLink;
    p.packSize = linkwire::kLoaderPackSize;
    p.image = archive;
    p.imageLen = len;
    const int r = linkwire::mobzCAloader(port, p);
    linkwire::closeSerialPack(ch);
    struct Failure {
        int result;
        unsigned number;
        const char* text;
    };
    static constexpr Failure kFailures[] = {
        {-1, 1292, "Malloc failed"},
        {1, 1294, "Enter update FW failed(timeout)"},
        {2, 1296, "Comm failed(Remaining size wrong)"},
        {3, 1298, "Comm failed(Timeout)"},
        {4, 1300, "FlashBuild failed"},
        {5, 1302, "FlashBuild timeout"},
        {6, 1304, "Image Check sum failed(Ack)"},
        {7, 1306, "File broken(Ack)"},
        {linkwire::kLoaderResendFail, 1308, "Comm failed(Resend limit reached)"},
    };
    if (r == linkwire::kLoaderSuccess) return 1;
    for (const Failure& f : kFailures) {
        if (f.result == r) return upFailLogSaving(f.number, f.text);
    }
    return 0;
}

// Gathers an 8-byte answer within `windowMs`.
std::size_t GatherAnswer(linkwire::LinkPort& port, std::uint8_t* answer, int windowMs) {
    return linkwire::GatherFrame(port, answer, linkwire::kCommandSize, windowMs);
}

int RawTransfer(linkwire::LinkPort& port, const std::uint8_t* image, std::uint32_t len) {
    const linkwire::LinkCommandFrame cmd = linkwire::MakeCommandFrame(linkwire::kCmdRawImage, len);
    linkwire::WriteFrame(port, cmd.data(), cmd.size(), kRawAckWindowMs);
    std::uint8_t ack[linkwire::kCommandSize] = {};
    if (GatherAnswer(port, ack, kRawAckWindowMs) < sizeof ack) return upFailLogSaving(1070, "Enter update FW failed(timeout)");
    if (ack[0] != linkwire::kFrameStart || ack[1] != linkwire::kCmdRawImage || ack[7] != linkwire::kFrameEnd) {
        return upFailLogSaving(1255, "Enter update FW failed(ack wrong)");
    }

    platform::Clock& clock = platform::GetClock();
    std::size_t sent = 0;
    std::int64_t progress = clock.MonotonicMs();
    while (sent < len) {
        const ssize_t n = port.Write(image + sent, std::min<std::size_t>(kRawPiece, len - sent));
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            progress = clock.MonotonicMs();
            continue;
        }
        if (clock.MonotonicMs() - progress > kRawWriteIdleMs) return upFailLogSaving(1157, "Comm failed(Timeout)");
        clock.SleepMs(10);
    }
    if (sent != len) return upFailLogSaving(1236, "Update data failed(Length Error)");
    port.Drain();

    std::uint8_t result[linkwire::kCommandSize] = {};
    if (GatherAnswer(port, result, kRawResultWindowMs) < sizeof result) return upFailLogSaving(1191, "FlashBuild timeout");
    if (result[2] != 1) return upFailLogSaving(1217, "FlashBuild failed");
    return 1;
}

}  // namespace

int UseLoader(const RegisterMap& map) {
    const std::uint8_t b520 = map.get(regmap::U8{520});
    const std::uint8_t m = map.get(regmap::U8{519});
    const std::uint8_t n = b520 & 0x0F;
    const std::uint8_t h = b520 >> 4;
    if (n >= 2) return 1;
    if (n == 1 && m >= 9) return 1;
    if (n == 1 && m == 8 && h != 0xA && h != 0xB && h != 0xC) return 1;
    return 0;
}

int UpdateCAImage(RegisterMap& map, linkwire::LinkPort& port) {
    const int loader = UseLoader(map);
    std::printf("[Scrivet] CCS board update method: %d\n", loader);
    std::fflush(stdout);
    const PrepNumbers& numbers = loader ? kLoaderNumbers : kRawNumbers;

    std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[kPushBuffer]());
    if (!buf) return upFailLogSaving(828, "Malloc failed");
    long len = ReadInto(kPushImage, buf.get());
    if (len == -1) return upFailLogSaving(numbers.open, "Open failed");
    if (len < 1) return upFailLogSaving(numbers.read, "Read image failed");
    if (linkwire::checkImgSum(buf.get(), static_cast<std::size_t>(len)) != 1) {
        return upFailLogSaving(numbers.sum, "Image check sum failed");
    }
    std::printf("Image checksum OK\n");
    std::fflush(stdout);
    if (!loader) return RawTransfer(port, buf.get(), static_cast<std::uint32_t>(len));

    // A stale archive would keep members of an earlier image beside the new one.
    std::error_code ec;
    std::filesystem::remove(platform::SystemPath(kPushArchive), ec);
    platform::Command zip{"cd /mnt;zip 7301882650K.zip 7301882650K", {"zip", "7301882650K.zip", "7301882650K"}, "", "/mnt",
                          false};
    zip.limitMs = platform::kCommandImageLimitMs;
    if (platform::Runner().Run(zip) != 0) {
        return upFailLogSaving(983, "zip file failed");
    }
    std::memset(buf.get(), 0, kPushBuffer);
    len = ReadInto(kPushArchive, buf.get());
    if (len == -1) return upFailLogSaving(1003, "Open failed");
    if (len < 1) return upFailLogSaving(1023, "Read image failed");
    return LoaderTransfer(port, buf.get(), static_cast<std::uint32_t>(len));
}

}  // namespace boardlink
