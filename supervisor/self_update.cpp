#include "self_update.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <string>

#include "clock.h"
#include "command.h"
#include "files.h"
#include "paths.h"
#include "regmap_fields.h"
#include "serial_loader.h"

namespace supervisor {

using namespace regmap;
using platform::Command;
using platform::SystemPath;

namespace {

void Print(const char* text) {
    std::printf("[main] %s\n", text);
    std::fflush(stdout);
}

// Every command here copies, unpacks or writes an image.
int Run(std::string text, std::vector<std::string> argv, const std::string& cwd = "", bool background = false) {
    Command cmd{std::move(text), std::move(argv), "", cwd, background};
    cmd.limitMs = platform::kCommandImageLimitMs;
    return platform::Runner().Run(cmd);
}

// Reads a whole image file of at most `limit` bytes; nothing when it is
// missing, unreadable or larger (never cut to fit).
std::unique_ptr<std::uint8_t[]> ReadImage(const std::string& path, std::size_t limit, std::size_t& len) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > limit) return nullptr;
    std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[size + 1]);
    if (!buf) return nullptr;
    const ssize_t n = platform::ReadFileBytes(path, buf.get(), size + 1);
    if (n != static_cast<ssize_t>(size)) return nullptr;
    len = static_cast<std::size_t>(n);
    return buf;
}

bool WriteAllTo(int fd, const std::uint8_t* data, std::size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until end of file or `len` bytes; the count read.
std::size_t ReadAllFrom(int fd, std::uint8_t* buf, std::size_t len) {
    std::size_t got = 0;
    while (got < len) {
        const ssize_t n = read(fd, buf + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

}  // namespace

void StartInstallCopy(bool loaderRoute) {
    Run("mkdir /backup", {"mkdir", SystemPath("/backup")});
    Run("mount -t tmpfs tmpfs /backup", {"mount", "-t", "tmpfs", "tmpfs", SystemPath("/backup")});
    Run("mkdir /backup/root", {"mkdir", SystemPath("/backup/root")});
    Run("cp -rfvp /root/Halvard /backup/root/Halvard-update",
        {"cp", "-rfp", SystemPath("/root/Halvard"), SystemPath("/backup/root/Halvard-update")});
    for (const char* dir : {"lib", "bin", "sbin"}) {
        const std::string to = std::string("/backup/") + dir;
        Run("mkdir " + to, {"mkdir", SystemPath(to)});
        Run(std::string("cp -rfvp /") + dir + "/* " + to, {"cp", "-rfp", SystemPath(std::string("/") + dir) + "/.", SystemPath(to)});
    }
    if (loaderRoute) Print("Start to execute write flash");
    Run("cd /backup/root;./Halvard-update --install &", {"/backup/root/Halvard-update", "--install"}, "/backup/root", true);
}

std::uint8_t WaitForInstall(RegisterMap& map, bool loaderRoute) {
    platform::Clock& clock = platform::GetClock();
    const std::int64_t start = clock.MonotonicMs();
    while (map.get(SHRMEM_FW_UPDATE) == 2) {
        if (clock.MonotonicMs() - start > kInstallWaitLimitMs) {
            if (loaderRoute) Print("Write flash time out");
            map.set(SHRMEM_FW_UPDATE, 0);
            break;
        }
        clock.SleepMs(kInstallLookMs);
    }
    return map.get(SHRMEM_FW_UPDATE);
}

int writeFlashHandler(RegisterMap& map, std::uint8_t* archive, std::uint32_t len) {
    map.set(SHRMEM_FW_UPDATE, 0);
    Print("Start to construct image zip");
    const int zipFd = open(SystemPath(kArchivePath).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (zipFd < 0) {
        Print("Creat empty image zip fail");
        return linkwire::kLoaderWriteFail;
    }
    const bool written = WriteAllTo(zipFd, archive, len);
    close(zipFd);
    if (!written) {
        Print("Consturct image zip fail");
        return linkwire::kLoaderWriteFail;
    }
    Print("Start to unzip compressed image");
    // Only the image member is taken from the archive: nothing else it
    // carries lands in /mnt.
    std::error_code ec;
    std::filesystem::remove(SystemPath(std::string("/mnt/") + kImageMember), ec);
    if (Run(std::string("unzip -o /mnt/Image.zip ") + kImageMember + " -d /mnt/",
            {"unzip", "-o", SystemPath(kArchivePath), kImageMember, "-d", SystemPath("/mnt") + "/"}) != 0) {
        Print("Unzip compressed image fail");
        return linkwire::kLoaderFileBroken;
    }
    std::filesystem::rename(SystemPath(std::string("/mnt/") + kImageMember), SystemPath(kImagePath), ec);
    if (ec) {
        Print("Rename image file fail");
        return linkwire::kLoaderFileBroken;
    }
    // Room for one byte more than an image: a longer file is no image either.
    std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[kCcsImageSize + 1]);
    if (!image) {
        Print("Malloc for image buffer fail");
        return linkwire::kLoaderWriteFail;
    }
    const int imageFd = open(SystemPath(kImagePath).c_str(), O_RDONLY | O_CLOEXEC);
    if (imageFd < 0) {
        Print("Open image file fail");
        return linkwire::kLoaderWriteFail;
    }
    const std::size_t n = ReadAllFrom(imageFd, image.get(), kCcsImageSize + 1);
    close(imageFd);
    if (n != kCcsImageSize) {
        Print("Read image file fail");
        return linkwire::kLoaderWriteFail;
    }
    if (linkwire::checkImgSum(image.get(), n) != 1) {
        Print("Image file checksum wrong");
        return linkwire::kLoaderChecksumFail;
    }
    image.reset();
    map.set(SHRMEM_FW_UPDATE, 2);
    map.set(ccsb::SHRMEM_CCS_FW_WRITING, 1);
    StartInstallCopy(true);
    if (WaitForInstall(map, true) == 1) return linkwire::kLoaderSuccess;
    Print("Write flash process fail");
    return linkwire::kLoaderWriteFail;
}

bool RunLoaderSlave(RegisterMap& map, linkwire::LinkPort& port, const std::uint8_t* start, std::size_t len) {
    const int ch = linkwire::openSerialPack(0, linkwire::kLoaderChannelSize);
    if (ch < 0) return false;
    std::unique_ptr<std::uint8_t[]> area(new (std::nothrow) std::uint8_t[linkwire::kLoaderImageBuffer]);
    if (!area) {
        linkwire::closeSerialPack(ch);
        return false;
    }
    Print("Upgrade FW process start");
    linkwire::LoaderParams p;
    p.channel = ch;
    p.mode = linkwire::kLoaderSlave;
    p.id = linkwire::kLoaderIdBoardLink;
    p.packSize = linkwire::kLoaderPackSize;
    p.image = area.get();
    p.imageLen = linkwire::kLoaderImageBuffer;
    p.pre = start;
    p.preLen = len;
    p.endHandler = [&map](std::uint8_t* image, std::uint32_t n) { return writeFlashHandler(map, image, n); };
    linkwire::mobzCAloader(port, p);
    linkwire::closeSerialPack(ch);
    return true;
}

int RunInstaller(RegisterMap& map) {
    Print("Installer: checking the received image");
    std::size_t n = 0;
    std::unique_ptr<std::uint8_t[]> image = ReadImage(SystemPath(kImagePath), linkwire::kLoaderImageBuffer, n);
    if (!image || linkwire::checkImgSum(image.get(), n) != 1) {
        Print("Installer: image refused");
        map.set(SHRMEM_FW_UPDATE, 0);
        return 1;
    }
    image.reset();
    const int rc = Run(std::string("flashcp ") + kImagePath + " " + kFirmwareFlash,
                       {"flashcp", SystemPath(kImagePath), SystemPath(kFirmwareFlash)});
    Print(rc == 0 ? "Installer: image written" : "Installer: writing the image failed");
    map.set(SHRMEM_FW_UPDATE, rc == 0 ? 1 : 0);
    return rc == 0 ? 0 : 1;
}

}  // namespace supervisor
