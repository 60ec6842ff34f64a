#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "clock.h"
#include "command.h"
#include "regmap_fields.h"
#include "self_update.h"
#include "serial_loader.h"
#include "testroot.h"

using namespace supervisor;
using namespace regmap;
using Blob = std::vector<std::uint8_t>;

namespace {

// Runs the archive tools for real (linked into the root) and records the rest;
// `onCommand` plays the programs that are not there (the installer copy, flashcp).
class ToolRunner final : public platform::CommandRunner {
public:
    int Run(const platform::Command& cmd) override {
        texts.push_back(cmd.text);
        if (cmd.argv[0] == "zip" || cmd.argv[0] == "unzip") return real.Run(cmd);
        return onCommand ? onCommand(cmd) : 0;
    }
    platform::SystemRunner real;
    std::vector<std::string> texts;
    std::function<int(const platform::Command&)> onCommand;
};

Blob Image(std::size_t len, bool goodTrailer = true) {
    Blob b(len, 0x00);
    for (std::size_t i = 0; i < len; i += 4099) b[i] = static_cast<std::uint8_t>(i);
    linkwire::AppendImageTrailer(b.data(), len - linkwire::kImageTrailerSize);
    if (!goodTrailer) b[len - 1] = static_cast<std::uint8_t>(b[len - 1] + 1);
    return b;
}

class SelfUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        root.Make("/mnt");
        root.Make("/usr/bin");
        for (const char* tool : {"zip", "unzip"}) {
            std::filesystem::create_symlink(std::string("/usr/bin/") + tool, root.path() + "/usr/bin/" + tool);
        }
    }
    void Write(const std::string& systemPath, const Blob& b) {
        std::ofstream f(root.path() + systemPath, std::ios::binary);
        f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    Blob Read(const std::string& systemPath) {
        std::ifstream f(root.path() + systemPath, std::ios::binary);
        return Blob((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    // An archive of the given members, as the main board sends it.
    Blob Archive(const std::vector<std::pair<std::string, Blob>>& members) {
        root.Make("/pack");
        std::vector<std::string> argv{"zip", "-1", "-j", "-q", root.path() + "/pack/a.zip"};
        for (const auto& [name, bytes] : members) {
            Write("/pack/" + name, bytes);
            argv.push_back(root.path() + "/pack/" + name);
        }
        EXPECT_EQ(runner.real.Run(platform::Command{"zip", argv, "", "", false}), 0);
        Blob a = Read("/pack/a.zip");
        std::filesystem::remove_all(root.path() + "/pack");
        return a;
    }
    bool InstallerStarted() const {
        for (const auto& t : runner.texts) {
            if (t == "cd /backup/root;./Halvard-update --install &") return true;
        }
        return false;
    }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scopedClock{clock};
    ToolRunner runner;
    platform::ScopedRunner scopedRunner{runner};
    std::vector<std::uint8_t> mem = std::vector<std::uint8_t>(kMapSize, 0);
    RegisterMap map{mem.data(), mem.size()};
};

}  // namespace

TEST_F(SelfUpdateTest, ArchiveIsUnpackedCheckedAndInstalled) {
    const Blob image = Image(kCcsImageSize);
    Blob archive = Archive({{kImageMember, image}});
    runner.onCommand = [&](const platform::Command& c) {
        if (c.argv[0] == "/backup/root/Halvard-update") {
            EXPECT_EQ(map.get(SHRMEM_FW_UPDATE), 2);
            EXPECT_EQ(map.get(ccsb::SHRMEM_CCS_FW_WRITING), 1);
            EXPECT_TRUE(c.background);
            map.set(SHRMEM_FW_UPDATE, 1);  // the installer reports success
        }
        return 0;
    };
    EXPECT_EQ(writeFlashHandler(map, archive.data(), static_cast<std::uint32_t>(archive.size())), linkwire::kLoaderSuccess);
    EXPECT_EQ(Read(kImagePath), image);
    const std::vector<std::string> handOver = {
        "mkdir /backup", "mount -t tmpfs tmpfs /backup", "mkdir /backup/root",
        "cp -rfvp /root/Halvard /backup/root/Halvard-update", "mkdir /backup/lib", "cp -rfvp /lib/* /backup/lib",
        "mkdir /backup/bin", "cp -rfvp /bin/* /backup/bin", "mkdir /backup/sbin", "cp -rfvp /sbin/* /backup/sbin",
        "cd /backup/root;./Halvard-update --install &"};
    ASSERT_GE(runner.texts.size(), handOver.size());
    EXPECT_EQ(std::vector<std::string>(runner.texts.end() - static_cast<std::ptrdiff_t>(handOver.size()), runner.texts.end()), handOver);
}

TEST_F(SelfUpdateTest, ArchiveFaultsEndWithTheirResultAndNoInstall) {
    const Blob good = Image(kCcsImageSize);
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, Blob>> members;
        int result;
    } cases[] = {
        {"member of another name", {{"7301882650X", good}}, linkwire::kLoaderFileBroken},
        {"one byte short", {{kImageMember, Image(kCcsImageSize - 1)}}, linkwire::kLoaderWriteFail},
        {"larger than the image", {{kImageMember, Image(kCcsImageSize + 1)}}, linkwire::kLoaderWriteFail},
        {"wrong stored sum", {{kImageMember, Image(kCcsImageSize, false)}}, linkwire::kLoaderChecksumFail},
    };
    for (const Case& c : cases) {
        runner.texts.clear();
        std::filesystem::remove(root.path() + kImagePath);
        Blob archive = Archive(c.members);
        EXPECT_EQ(writeFlashHandler(map, archive.data(), static_cast<std::uint32_t>(archive.size())), c.result) << c.what;
        EXPECT_FALSE(InstallerStarted()) << c.what;
        EXPECT_EQ(map.get(SHRMEM_FW_UPDATE), 0) << c.what;
    }
    Blob notAnArchive(5000, 0x11);
    EXPECT_EQ(writeFlashHandler(map, notAnArchive.data(), 5000), linkwire::kLoaderFileBroken);

    // No archive file can be made: said as such, not as a failed write.
    std::filesystem::remove(root.path() + kArchivePath);
    root.Make(kArchivePath);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(writeFlashHandler(map, notAnArchive.data(), 5000), linkwire::kLoaderWriteFail);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[main] Creat empty image zip fail\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Consturct image zip fail"), std::string::npos) << out;
}

TEST_F(SelfUpdateTest, OnlyTheImageMemberIsTakenFromTheArchive) {
    runner.onCommand = [&](const platform::Command& c) {
        if (c.argv[0] == "/backup/root/Halvard-update") map.set(SHRMEM_FW_UPDATE, 1);
        return 0;
    };
    Blob archive = Archive({{kImageMember, Image(kCcsImageSize)}, {"rc.local", Blob(10, 'x')}});
    EXPECT_EQ(writeFlashHandler(map, archive.data(), static_cast<std::uint32_t>(archive.size())), linkwire::kLoaderSuccess);
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/mnt/rc.local"));
}

TEST_F(SelfUpdateTest, InstallThatNeverReportsIsCutOffAndFails) {
    Blob archive = Archive({{kImageMember, Image(kCcsImageSize)}});
    const std::int64_t t0 = clock.MonotonicMs();
    EXPECT_EQ(writeFlashHandler(map, archive.data(), static_cast<std::uint32_t>(archive.size())), linkwire::kLoaderWriteFail);
    EXPECT_GT(clock.MonotonicMs() - t0, kInstallWaitLimitMs);
    EXPECT_LE(clock.MonotonicMs() - t0, kInstallWaitLimitMs + kInstallLookMs);
    EXPECT_EQ(map.get(SHRMEM_FW_UPDATE), 0);

    // An installer that reports failure ends the wait at its next look.
    runner.onCommand = [&](const platform::Command& c) {
        if (c.argv[0] == "/backup/root/Halvard-update") map.set(SHRMEM_FW_UPDATE, 0);
        return 0;
    };
    EXPECT_EQ(writeFlashHandler(map, archive.data(), static_cast<std::uint32_t>(archive.size())), linkwire::kLoaderWriteFail);
}

TEST_F(SelfUpdateTest, InstallerWritesOnlyACheckedImageAndReports) {
    struct Case {
        const char* what;
        bool imagePresent;
        bool goodTrailer;
        int flashcp;
        std::uint8_t byte264;
        bool flashRun;
    } cases[] = {
        {"good image written", true, true, 0, 1, true},
        {"flash write fails", true, true, 1, 0, true},
        {"bad trailer refused", true, false, 0, 0, false},
        {"no image", false, true, 0, 0, false},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(root.path() + kImagePath);
        if (c.imagePresent) Write(kImagePath, Image(5000, c.goodTrailer));
        bool flashRun = false;
        runner.onCommand = [&](const platform::Command& cmd) {
            if (cmd.text == "flashcp /mnt/FWImage /dev/mtd3") {
                flashRun = true;
                EXPECT_EQ(cmd.argv[1], root.path() + "/mnt/FWImage");
                return c.flashcp;
            }
            return 0;
        };
        map.set(SHRMEM_FW_UPDATE, 2);
        RunInstaller(map);
        EXPECT_EQ(map.get(SHRMEM_FW_UPDATE), c.byte264) << c.what;
        EXPECT_EQ(flashRun, c.flashRun) << c.what;
    }
}
