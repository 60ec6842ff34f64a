#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bastide.h"
#include "clock.h"
#include "command.h"
#include "fennick_config.h"
#include "instance_lock.h"
#include "regmap_fields.h"
#include "store_flash.h"
#include "testroot.h"

namespace {

using namespace alarms;
using namespace regmap;

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The bridge on a register map and FennickApp of its own, a simulated root
// with a blank flash partition, the test clock and every command recorded.
class FennickConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        root.Make("/Storage");
        root.Make("/dev");
        std::vector<char> blank(common::kFlashImageSize, 0);
        std::ofstream(flashPath(), std::ios::binary).write(blank.data(), static_cast<long>(blank.size()));
        b.map = RegisterMap(mapBytes.data(), kMapSize);
        b.app = app.get();
        std::strcpy(app->configValues.ServerURL, "ws://old.example/ocpp");
        b.map.set(SHRMEM_OCPP_URL, "ws://old.example/ocpp");
    }
    std::string configPath() const { return root.path() + kFennickConfigFile; }
    std::string flashPath() const { return root.path() + common::kSettingsFlashDevice; }
    // One pass of the three managers, as Bastide runs them.
    void Pass() {
        config.sync_OCPP16Conf_with_SysConf();
        config.Local_update_OCPP16Conf();
        config.FennickCmdMgmt();
    }
    std::vector<std::string> Commands() const { return runner.Texts(); }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock useClock{clock};
    platform::RecordingRunner runner;
    platform::ScopedRunner useRunner{runner};
    std::vector<std::uint8_t> mapBytes = std::vector<std::uint8_t>(kMapSize, 0);
    std::unique_ptr<fennick::FennickApp> app = std::make_unique<fennick::FennickApp>();
    Bastide b;
    FennickConfig config{&b};
};

TEST_F(FennickConfigTest, FirstPassWritesTheFileOnceWithItsSum) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(app.get());
    for (std::size_t i = 388; i < 3628; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
    bytes[3627] = 0xFF;  // the last byte taken
    bytes[3628] = 0x77;  // the first one left out
    testing::internal::CaptureStdout();
    Pass();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("[Info][Fennick][ConfigTable] Sync function Write Config Success"),
              std::string::npos);

    const std::vector<std::uint8_t> file = ReadAll(configPath());
    ASSERT_EQ(file.size(), 4096u);
    std::int32_t sum = 0;
    for (std::size_t i = 0; i < 3240; ++i) {
        ASSERT_EQ(file[i], bytes[388 + i]) << i;
        sum += file[i];
    }
    for (std::size_t i = 3240; i < 4092; ++i) ASSERT_EQ(file[i], 0) << i;
    const std::uint8_t le[4] = {static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8),
                                static_cast<std::uint8_t>(sum >> 16), static_cast<std::uint8_t>(sum >> 24)};
    EXPECT_EQ(std::vector<std::uint8_t>(file.begin() + 4092, file.end()), std::vector<std::uint8_t>(le, le + 4));
    EXPECT_TRUE(FennickConfigImageValid(file.data(), file.size()));
    struct stat st {};
    ASSERT_EQ(stat(configPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "it holds AuthorizationKey and ChapPassword";

    std::filesystem::remove(configPath());
    Pass();
    EXPECT_FALSE(std::filesystem::exists(configPath())) << "written once per start, then on changes only";
}

// The station side reads the file back at boot: what Bastide wrote comes
// back byte for byte; a file whose sum does not hold, or of another length,
// leaves the segment as it was.
TEST_F(FennickConfigTest, SavedFileComesBackIntoAFreshSegmentOnlyWhenItsSumHolds) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(app.get());
    for (std::size_t i = 388; i < 3628; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    testing::internal::CaptureStdout();
    Pass();
    testing::internal::GetCapturedStdout();
    const std::vector<std::uint8_t> file = ReadAll(configPath());
    struct Case {
        std::size_t flip;  // byte changed, or none
        std::size_t size;
        bool loaded;
    } cases[] = {{SIZE_MAX, 4096, true}, {0, 4096, false}, {3239, 4096, false}, {4095, 4096, false},
                 {SIZE_MAX, 4095, false}};
    for (const Case& c : cases) {
        std::vector<std::uint8_t> image = file;
        if (c.flip != SIZE_MAX) image[c.flip] ^= 0x01;
        auto fresh = std::make_unique<fennick::FennickApp>();
        std::memset(fresh.get(), 0x5A, sizeof *fresh);
        EXPECT_EQ(fennick::LoadFennickConfigImage(*fresh, image.data(), c.size), c.loaded) << c.flip;
        const auto* got = reinterpret_cast<const std::uint8_t*>(fresh.get());
        for (std::size_t i = 384; i < 3632; ++i) {
            const bool inConfig = i >= 388 && i < 3628;
            ASSERT_EQ(got[i], inConfig && c.loaded ? bytes[i] : 0x5A) << c.flip << " at " << i;
        }
    }
}

// The offline policy, 0..4 in the register map (767), 0..2 in OCPP.
TEST_F(FennickConfigTest, OfflinePolicyFollowsWhicheverSideChangedIt) {
    struct Case {
        const char* what;
        std::int32_t fromCentral;  // -1: the station side writes 767
        std::uint8_t station;
        std::uint8_t wantMap;
        std::int32_t wantPolicy;
        std::uint8_t wantLocalAuthorizeOffline;
        bool fileRewritten;
    };
    const Case cases[] = {
        {"central system 1", 1, 0, 2, 1, 0, false},
        {"central system 2", 2, 0, 3, 2, 0, false},
        {"station 2", -1, 2, 2, 1, 1, true},
        {"station 3", -1, 3, 3, 2, 0, true},
        {"station 4", -1, 4, 4, 3, 0, true},
        {"station 1 moves nothing but the memory", -1, 1, 1, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestRoot fresh;
        fresh.Make("/Storage");
        fresh.Make("/dev");
        std::vector<char> blank(common::kFlashImageSize, 0);
        std::ofstream(fresh.path() + common::kSettingsFlashDevice, std::ios::binary)
            .write(blank.data(), static_cast<long>(blank.size()));
        std::memset(mapBytes.data(), 0, mapBytes.size());
        *app = fennick::FennickApp{};
        FennickConfig bridge(&b);
        bridge.sync_OCPP16Conf_with_SysConf();
        bridge.Local_update_OCPP16Conf();
        bridge.FennickCmdMgmt();
        const std::vector<std::uint8_t> flashBefore = ReadAll(fresh.path() + common::kSettingsFlashDevice);
        std::filesystem::remove(fresh.path() + kFennickConfigFile);

        if (c.fromCentral >= 0) {
            app->configValues.OfflinePolicy = c.fromCentral;
        } else {
            b.map.set(U8{767}, c.station);
        }
        bridge.sync_OCPP16Conf_with_SysConf();
        bridge.Local_update_OCPP16Conf();
        bridge.FennickCmdMgmt();
        EXPECT_EQ(b.map.get(U8{767}), c.wantMap);
        EXPECT_EQ(app->configValues.OfflinePolicy, c.wantPolicy);
        EXPECT_EQ(app->configValues.LocalAuthorizeOffline, c.wantLocalAuthorizeOffline);
        EXPECT_EQ(std::filesystem::exists(fresh.path() + kFennickConfigFile), c.fileRewritten);
        EXPECT_EQ(ReadAll(fresh.path() + common::kSettingsFlashDevice), flashBefore) << "767 is never stored here";
    }
}

// Each mirrored value changed by Tarnet reaches file, register map and flash
// in the pass that sees the change.
TEST_F(FennickConfigTest, ChangeByTarnetReachesFileMapAndFlash) {
    Pass();
    struct Case {
        const char* key;
        std::uint32_t mapOffset, mapWidth;
        void (*change)(fennick::ConfigValues&);
        std::vector<std::uint8_t> want;
    };
    auto text = [](const char* t) { return std::vector<std::uint8_t>(t, t + std::strlen(t) + 1); };
    const Case cases[] = {
        {"ServerURL", 1536, 256, [](fennick::ConfigValues& c) { std::strcpy(c.ServerURL, "wss://new.example:9443/ocpp/CP7"); },
         text("wss://new.example:9443/ocpp/CP7")},
        {"ConnectionTimeOut", 463, 4, [](fennick::ConfigValues& c) { c.ConnectionTimeOut = 0x01020304; },
         {0x04, 0x03, 0x02, 0x01}},
        {"APN", 1921, 32, [](fennick::ConfigValues& c) { std::strcpy(c.APN, "internet.apn"); }, text("internet.apn")},
        {"ChapUsername", 20771, 32, [](fennick::ConfigValues& c) { std::strcpy(c.ChapUsername, "chapuser"); }, text("chapuser")},
        {"ChapPassword", 20803, 32, [](fennick::ConfigValues& c) { std::strcpy(c.ChapPassword, "chap-secret"); },
         text("chap-secret")},
        {"ChargeBoxID", 2624, 129, [](fennick::ConfigValues& c) { std::strcpy(c.ChargeBoxID, "CB-0042"); }, text("CB-0042")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        std::filesystem::remove(configPath());
        c.change(app->configValues);
        app->configChangedFlag = 1;
        Pass();
        EXPECT_EQ(app->configChangedFlag, 0);
        const std::vector<std::uint8_t> file = ReadAll(configPath());
        ASSERT_EQ(file.size(), 4096u);
        EXPECT_EQ(std::memcmp(file.data(), &app->configValues, 3240), 0);
        EXPECT_EQ(std::vector<std::uint8_t>(mapBytes.begin() + c.mapOffset, mapBytes.begin() + c.mapOffset + c.want.size()),
                  c.want);
        const std::vector<std::uint8_t> flash = ReadAll(flashPath());
        for (std::size_t copy : {std::size_t{0}, common::kFlashCopySize}) {
            EXPECT_EQ(std::memcmp(flash.data() + copy + c.mapOffset, mapBytes.data() + c.mapOffset, c.mapWidth), 0);
            EXPECT_TRUE(common::FlashCopyValid(flash.data() + copy));
        }
    }
}

TEST_F(FennickConfigTest, ChangeByTheStationSideRewritesTheFileWithoutMirrors) {
    Pass();
    struct Case {
        const char* what;
        void (*change)(fennick::ConfigValues&);
    };
    const Case cases[] = {
        {"AuthorizationRequired", [](fennick::ConfigValues& c) { c.AuthorizationRequired = 1; }},
        {"HTTPBasicAuthEnable", [](fennick::ConfigValues& c) { c.HTTPBasicAuthEnable = 1; }},
        {"NonAuthorizedTag", [](fennick::ConfigValues& c) { std::strcpy(c.NonAuthorizedTag, "FREE"); }},
        {"AuthorizationKey", [](fennick::ConfigValues& c) { std::strcpy(c.AuthorizationKey, "0011223344"); }},
    };
    const std::vector<std::uint8_t> flashBefore = ReadAll(flashPath());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(configPath());
        c.change(app->configValues);
        std::strcpy(app->configValues.ServerURL, "ws://not-mirrored.example/");  // changed along, not by Tarnet
        Pass();
        EXPECT_EQ(ReadAll(configPath()).size(), 4096u);
        EXPECT_EQ(b.map.get(SHRMEM_OCPP_URL), "ws://old.example/ocpp");
        std::filesystem::remove(configPath());
        Pass();
        EXPECT_FALSE(std::filesystem::exists(configPath())) << "no change, no write";
    }
    EXPECT_EQ(ReadAll(flashPath()), flashBefore);
}

TEST_F(FennickConfigTest, ClockNoticeIsPassedOnAndCleared) {
    Pass();
    app->clockSetFlag = 1;
    Pass();
    EXPECT_EQ(b.map.get(SHRMEM_CLOCK_CHANGED), 1);
    EXPECT_EQ(app->clockSetFlag, 0);
    b.map.set(SHRMEM_CLOCK_CHANGED, 0);
    Pass();
    EXPECT_EQ(b.map.get(SHRMEM_CLOCK_CHANGED), 0);
}

TEST_F(FennickConfigTest, FailedFlashStoreAndFileWriteAreTriedAgain) {
    Pass();
    mapBytes[common::kFlashLockByte] = 1;  // the OCPP 1.5 agent holds the partition
    std::filesystem::remove_all(root.path() + "/Storage");
    std::strcpy(app->configValues.ServerURL, "ws://retry.example/");
    app->configChangedFlag = 1;
    Pass();
    EXPECT_EQ(b.map.get(SHRMEM_OCPP_URL), "ws://retry.example/");
    EXPECT_EQ(ReadAll(flashPath())[1536], 0) << "not stored while the lock is held";
    EXPECT_FALSE(std::filesystem::exists(configPath()));

    mapBytes[common::kFlashLockByte] = 0;
    root.Make("/Storage");
    Pass();  // too early for another try
    EXPECT_FALSE(std::filesystem::exists(configPath()));
    clock.Advance(FennickConfig::kRetryMs);
    Pass();
    const std::vector<std::uint8_t> flash = ReadAll(flashPath());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(flash.data() + 1536)), "ws://retry.example/");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(flash.data() + common::kFlashCopySize + 1536)),
              "ws://retry.example/");
    EXPECT_EQ(ReadAll(configPath()).size(), 4096u);
}

TEST_F(FennickConfigTest, HardResetHoldsTheLinkThenRebootsMoreThan29SecondsLater) {
    Pass();
    app->hardResetReq = 1;
    const std::int64_t requested = clock.MonotonicMs();
    std::int64_t heldAt = -1, rebootAt = -1;
    for (int s = 0; s <= 40 && rebootAt < 0; ++s) {
        config.FennickCmdMgmt();
        if (heldAt < 0 && app->ocppLinkHold == 1) heldAt = clock.MonotonicMs() - requested;
        if (!Commands().empty()) rebootAt = clock.MonotonicMs() - requested;
        clock.Advance(1000);
    }
    EXPECT_EQ(heldAt, 30000);
    EXPECT_EQ(rebootAt, 35000);
    EXPECT_EQ(Commands(), std::vector<std::string>{"/sbin/reboot -f"});
    EXPECT_EQ(runner.commands[0].argv, (std::vector<std::string>{"/sbin/reboot", "-f"}));
}

TEST_F(FennickConfigTest, SoftResetWaitsForUnavailableThenEndsAndRestartsTheOcppPrograms) {
    Pass();
    // Stand-ins for Tarnet and Fennick, each holding its program's lock.
    std::vector<pid_t> children;
    for (const char* name : {"Tarnet", "Fennick"}) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            char ok = platform::HoldInstanceLock(name) ? 1 : 0;
            if (write(ready[1], &ok, 1) != 1) _exit(1);
            for (;;) pause();
        }
        char ok = 0;
        ASSERT_EQ(read(ready[0], &ok, 1), 1);
        ASSERT_EQ(ok, 1);
        close(ready[0]);
        close(ready[1]);
        children.push_back(pid);
    }
    auto* bytes = reinterpret_cast<std::uint8_t*>(app.get());
    std::memset(bytes + 4184, 0xAB, 104544 + 4 - 4184);

    app->softResetReq = 1;
    for (int s = 0; s < 60; ++s) {
        config.FennickCmdMgmt();
        clock.Advance(1000);
    }
    EXPECT_EQ(app->softResetReq, 1) << "nothing before Tarnet reported Unavailable";
    for (pid_t pid : children) EXPECT_EQ(kill(pid, 0), 0);

    fennick::ConnectorRec(*app, 2).status = fennick::kStsUnavailable;
    config.FennickCmdMgmt();
    clock.Advance(19000);
    config.FennickCmdMgmt();
    for (pid_t pid : children) EXPECT_EQ(kill(pid, 0), 0) << "still waiting at 19 s";
    clock.Advance(1000);
    config.FennickCmdMgmt();
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    }
    EXPECT_TRUE(Commands().empty()) << "Tarnet starts a second after they ended";
    clock.Advance(1000);
    config.FennickCmdMgmt();
    EXPECT_EQ(Commands(), std::vector<std::string>{"/root/Tarnet &"});
    EXPECT_TRUE(runner.commands[0].background);
    EXPECT_EQ(app->softResetReq, 0);
    for (std::size_t i = 4188; i <= 104543; ++i) ASSERT_EQ(bytes[i], 0) << i;
    EXPECT_EQ(bytes[4187], 0xAB);
    EXPECT_EQ(bytes[104544], 0xAB) << "the meter blocks are kept";
}

TEST_F(FennickConfigTest, NothingWithoutFennickApp) {
    b.app = nullptr;
    Pass();
    EXPECT_FALSE(std::filesystem::exists(configPath()));
}

}  // namespace

// A lock held by a writer that died never stalls the pass: each pass takes
// one look, the value waits in the map, and once the lock has been watched
// set for 10 s it is taken over and the value reaches the flash.
TEST_F(FennickConfigTest, HeldFlashLockNeverStallsThePassAndAnAbandonedOneIsTakenOver) {
    root.Make("/Storage/SystemLog");
    Pass();
    mapBytes[common::kFlashLockByte] = 1;  // left by a writer killed while storing
    std::strcpy(app->configValues.ServerURL, "ws://held.example/");
    app->configChangedFlag = 1;
    int passes = 0;
    for (; passes < 400 && ReadAll(flashPath())[1536] == 0; ++passes) {
        const std::int64_t before = clock.MonotonicMs();
        Pass();
        ASSERT_EQ(clock.MonotonicMs(), before) << "pass " << passes << " waited";
        clock.Advance(50);
    }
    EXPECT_EQ(b.map.get(SHRMEM_OCPP_URL), "ws://held.example/");
    EXPECT_EQ(passes * 50, common::kFlashLockAbandonMs + 50);
    const std::vector<std::uint8_t> flash = ReadAll(flashPath());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(flash.data() + 1536)), "ws://held.example/");
    EXPECT_EQ(mapBytes[common::kFlashLockByte], 0);
    std::string log;
    for (const auto& e : std::filesystem::directory_iterator(root.path() + "/Storage/SystemLog")) {
        const std::vector<std::uint8_t> bytes = ReadAll(e.path());
        log.append(bytes.begin(), bytes.end());
    }
    std::size_t waits = 0;
    for (auto p = log.find("wait for the flash lock"); p != std::string::npos; p = log.find("wait for the flash lock", p + 1)) ++waits;
    EXPECT_EQ(waits, 1u) << "said once, not once a pass:\n" << log;
}

// Tarnet's change and a change of the station side in the same pass: the
// file is written once and Tarnet's value still reaches the map and flash.
TEST_F(FennickConfigTest, ChangeByTarnetIsMirroredAlsoWhenTheStationChangedAValueInTheSamePass) {
    Pass();
    std::strcpy(app->configValues.ServerURL, "ws://both.example/");
    app->configChangedFlag = 1;
    b.map.set(U8{767}, 2);  // the station side changes its offline policy
    Pass();
    EXPECT_EQ(app->configValues.OfflinePolicy, 1);
    EXPECT_EQ(b.map.get(SHRMEM_OCPP_URL), "ws://both.example/");
    const std::vector<std::uint8_t> flash = ReadAll(flashPath());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(flash.data() + 1536)), "ws://both.example/");
    EXPECT_EQ(app->configChangedFlag, 0);
}
