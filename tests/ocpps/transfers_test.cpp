// The firmware update of Quillon's main process on the test clock, with a
// stand-in for curl in PATH that answers as a working or a dead FTP server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "clock.h"
#include "command.h"
#include "command_area.h"
#include "files.h"
#include "quillon.h"
#include "testroot.h"
#include "transfers.h"

namespace {

using namespace regmap;
namespace cmd = ocpps::cmd;

class TransfersTest : public ::testing::Test {
protected:
    void SetUp() override {
        bin = root.Make("/test-bin");
        const char* path = std::getenv("PATH");
        oldPath = path ? path : "";
        setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
        q.map = map;
    }
    void TearDown() override { setenv("PATH", oldPath.c_str(), 1); }

    // A curl that notes each call and then writes its -o file, or fails as
    // curl does when the server does not answer (exit 7).
    void Curl(bool serverUp) {
        const std::string script = bin + "/curl";
        std::ofstream(script) << "#!/bin/sh\necho \"$@\" >> " << root.path() << "/curl.calls\n"
                              << (serverUp ? "while [ \"$1\" != -o ]; do shift; done\necho IMAGE > \"$2\"\nexit 0\n"
                                           : "exit 7\n");
        ::chmod(script.c_str(), 0755);
    }
    int Calls() {
        const std::string text = platform::ReadTextFile(root.path() + "/curl.calls", 1 << 16);
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }
    // A pass of the main loop; a running download is waited for in real time.
    void Step() {
        ocpps::FwUpdateMgmt(q);
        for (int i = 0; i < 500 && q.fwPid > 0; ++i) {
            ::usleep(10000);
            ocpps::FwUpdateMgmt(q);
        }
    }
    // Quillon sends the FirmwareStatusNotification and clears its bit.
    std::uint8_t Notified() {
        EXPECT_NE(bytes[445] & 0x80, 0);
        bytes[445] &= 0x7F;
        return bytes[cmd::FW_STATUS.offset];
    }
    // An UpdateFirmware as the server stores it and the main process takes it.
    bool Take(const std::string& location, int retries, int interval, int retrieveIn = 0) {
        ocpps::PutText(map, cmd::LOCATION_DATA, location);
        map.set(cmd::FW_RETRIES, retries);
        map.set(cmd::FW_RETRY_INTERVAL, interval);
        map.set(cmd::FW_RETRIEVE_DATE, static_cast<std::int32_t>(clock.WallSeconds() + retrieveIn));
        return ocpps::TakeFirmwareRequest(q);
    }
    void Request(const std::string& location, int retries, int interval, int retrieveIn = 0) {
        ASSERT_TRUE(Take(location, retries, interval, retrieveIn));
        ASSERT_EQ(map.get(cmd::FW_STATE), 1);
    }

    TestRoot root;
    std::string bin, oldPath;
    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
    platform::RecordingRunner runner;
    platform::ScopedRunner scopedRunner{runner};
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kMapSize);
    RegisterMap map{bytes.data(), kMapSize};
    ocpps::Quillon q;
};

TEST_F(TransfersTest, DownloadThenNoInstallationWithinTwoHoursIsInstallationFailed) {
    Curl(true);
    Request("127.0.0.1:2121/d/fw.bin", 0, 0);
    Step();
    ASSERT_EQ(Calls(), 1);
    EXPECT_EQ(platform::ReadTextFile(root.path() + "/UsbFlash/fw.bin"), "IMAGE\n");
    EXPECT_EQ(Notified(), 0);  // Downloaded
    EXPECT_EQ(map.get(cmd::FW_STATE), 2);
    const std::string calls = platform::ReadTextFile(root.path() + "/curl.calls");
    EXPECT_NE(calls.find("-- ftp://127.0.0.1:2121/d/fw.bin"), std::string::npos) << calls;
    clock.Advance(7199999);
    Step();
    EXPECT_EQ(bytes[445], 0);
    clock.Advance(1);
    Step();
    EXPECT_EQ(Notified(), 2);  // InstallationFailed
    Step();
    EXPECT_EQ(map.get(cmd::FW_STATE), 5);
    EXPECT_EQ(map.get(cmd::LOCATION_DATA), "");
    EXPECT_EQ(runner.Texts().back(), "umount /UsbFlash");
}

TEST_F(TransfersTest, InstalledByTheStationIsReported) {
    Curl(true);
    Request("h/fw.bin", 0, 0);
    Step();
    EXPECT_EQ(Notified(), 0);
    map.set(cmd::FW_STATE, 3);
    Step();
    EXPECT_EQ(Notified(), 3);
}

TEST_F(TransfersTest, DeadServerIsTriedRetriesPlusOneTimesAtTheInterval) {
    Curl(false);
    Request("127.0.0.1:2121/d/fw.bin", 2, 60);
    Step();
    EXPECT_EQ(Calls(), 1);
    clock.Advance(59999);
    Step();
    EXPECT_EQ(Calls(), 1);
    clock.Advance(1);
    Step();
    EXPECT_EQ(Calls(), 2);
    EXPECT_EQ(bytes[445], 0);
    clock.Advance(60000);
    Step();
    EXPECT_EQ(Calls(), 3);
    EXPECT_EQ(Notified(), 1);  // DownloadFailed
    EXPECT_EQ(map.get(cmd::FW_STATE), 0);
    clock.Advance(600000);
    Step();
    EXPECT_EQ(Calls(), 3);
}

TEST_F(TransfersTest, WaitsForTheRetrieveDateAndAnIdleStation) {
    Curl(true);
    Request("h/fw.bin", 0, 0, 10);
    Step();
    EXPECT_EQ(Calls(), 0);
    clock.Advance(10000);
    map.set(cmd::CHARGER_STATE, 1);
    Step();
    EXPECT_EQ(Calls(), 0);
    map.set(cmd::CHARGER_STATE, 8);
    Step();
    EXPECT_EQ(Calls(), 1);
}

TEST_F(TransfersTest, RetryKeepsItsLocationAndANewRequestTakesOverAtOnce) {
    Curl(false);
    Request("h/d/late.bin", 3, 60);
    Step();
    ASSERT_EQ(Calls(), 1);
    // A DataTransfer passes through the same slot while the retry waits.
    ocpps::PutText(map, cmd::LOCATION_DATA, "{\"ConnectorsConfig\": []}");
    clock.Advance(60000);
    Step();
    ASSERT_EQ(Calls(), 2);
    const std::string calls = platform::ReadTextFile(root.path() + "/curl.calls");
    const std::string line = "-- ftp://h/d/late.bin\n";
    EXPECT_NE(calls.find(line), calls.rfind(line)) << calls;  // both attempts, the same location
    EXPECT_EQ(bytes[445], 0);
    // A new UpdateFirmware replaces the waiting one: fetched now, reported.
    Curl(true);
    Request("h/d/new.bin", 0, 0);
    Step();
    ASSERT_EQ(Calls(), 3);
    EXPECT_EQ(Notified(), 0);  // Downloaded
    EXPECT_EQ(map.get(cmd::FW_STATE), 2);
    EXPECT_EQ(platform::ReadTextFile(root.path() + "/UsbFlash/new.bin"), "IMAGE\n");
}

TEST_F(TransfersTest, RequestWhileAnImageWaitsToBeInstalledIsRefusedAndTheImageReported) {
    Curl(true);
    Request("h/fw.bin", 0, 0);
    Step();
    EXPECT_EQ(Notified(), 0);
    EXPECT_FALSE(Take("h/fw2.bin", 5, 5));
    EXPECT_EQ(map.get(cmd::FW_STATE), 2);
    map.set(cmd::FW_STATE, 3);
    Step();
    EXPECT_EQ(Notified(), 3);  // Installed
    Step();
    EXPECT_EQ(map.get(cmd::FW_STATE), 5);
    Request("h/fw2.bin", 0, 0);
    Step();
    EXPECT_EQ(Calls(), 2);
    EXPECT_EQ(Notified(), 0);
    EXPECT_EQ(platform::ReadTextFile(root.path() + "/UsbFlash/fw2.bin"), "IMAGE\n");
}

TEST_F(TransfersTest, LocationWithoutAPlainFileNameFailsWithoutADownload) {
    Curl(true);
    Request("h/d/", 3, 0);
    Step();
    EXPECT_EQ(Calls(), 0);
    EXPECT_EQ(Notified(), 1);
    struct Case {
        const char* location;
        const char* name;
    } cases[] = {{"h/d/fw.bin", "fw.bin"}, {"fw.bin", "fw.bin"}, {"h/..", ""}, {"h/.", ""}, {"h/a\nb", ""}, {"", ""}};
    for (const Case& c : cases) EXPECT_EQ(ocpps::FirmwareFileName(c.location), c.name) << c.location;
}

// A curl that puts the -T file into the test's FTP folder, or fails.
class DiagnosticsTest : public TransfersTest {
protected:
    void Upload(bool serverUp) {
        const std::string script = bin + "/curl";
        std::ofstream(script) << "#!/bin/sh\necho \"$@\" >> " << root.path() << "/curl.calls\n"
                              << (serverUp ? "while [ \"$1\" != -T ]; do shift; done\ncp \"$2\" " + root.path() + "/ftp/\n"
                                           : std::string("exit 7\n"));
        ::chmod(script.c_str(), 0755);
        root.Make("/ftp");
    }
    void Secret(const char* text, mode_t mode) {
        const std::string path = root.Make("/Storage") + "/[OCPP15S]DiagSecret";
        std::ofstream(path) << text;
        ::chmod(path.c_str(), mode);
    }
    void Request(const std::string& location) {
        map.set(cmd::DIAG_LOCATION, location);
        map.set(cmd::DIAG_FILE_NAME, "2025.12.11-05.48_SN1_OCPP15SDiag.zip");
        map.set(cmd::DIAG_START_TIME, static_cast<std::int32_t>(clock.WallSeconds()));
    }
    void Step() {
        ocpps::GetDiagMgmt(q);
        for (int i = 0; i < 500 && q.diagPid > 0; ++i) {
            ::usleep(10000);
            ocpps::GetDiagMgmt(q);
        }
    }
    std::uint8_t Notified() {
        EXPECT_NE(bytes[445] & 0x40, 0);
        bytes[445] &= static_cast<std::uint8_t>(~0x40);
        return bytes[cmd::DIAG_STATUS.offset];
    }
};

TEST_F(DiagnosticsTest, LogsArePackedEncryptedAndUploaded) {
    Upload(true);
    Secret("s3cret-of-the-station\n", 0600);
    std::ofstream(root.Make("/Storage/SystemLog") + "/[2025.12]SystemLog") << "line one\n";
    std::ofstream(root.Make("/Storage/Events") + "/[2025.12]SN1_Events.csv") << "event\n";
    std::ofstream(root.path() + "/Storage/DownloadConfiguration") << "conf\n";
    Request("127.0.0.1:2121/up");
    Step();
    EXPECT_EQ(Notified(), 0);  // Uploaded
    const std::string calls = platform::ReadTextFile(root.path() + "/curl.calls");
    EXPECT_NE(calls.find("-- ftp://127.0.0.1:2121/up/"), std::string::npos) << calls;
    EXPECT_EQ(map.get(cmd::DIAG_LOCATION), "");
    EXPECT_EQ(map.get(cmd::DIAG_FILE_NAME), "");
    EXPECT_FALSE(std::ifstream(root.path() + "/mnt/2025.12.11-05.48_SN1_OCPP15SDiag.zip").good());
    // Debian's unzip opens it with the secret and not without.
    const std::string archive = root.path() + "/ftp/2025.12.11-05.48_SN1_OCPP15SDiag.zip";
    const std::string out = root.path() + "/out";
    EXPECT_NE(std::system(("unzip -qq -P wrong -d " + out + "-bad '" + archive + "' 2>/dev/null").c_str()), 0);
    ASSERT_EQ(std::system(("unzip -qq -P s3cret-of-the-station -d " + out + " '" + archive + "'").c_str()), 0);
    EXPECT_EQ(platform::ReadTextFile(out + "/Storage/SystemLog/[2025.12]SystemLog"), "line one\n");
    EXPECT_EQ(platform::ReadTextFile(out + "/Storage/Events/[2025.12]SN1_Events.csv"), "event\n");
    EXPECT_EQ(platform::ReadTextFile(out + "/Storage/DownloadConfiguration"), "conf\n");
}

TEST_F(DiagnosticsTest, FailuresAreReportedUploadFailed) {
    struct Case {
        bool serverUp;
        const char* secret;
        mode_t mode;
        int curlCalls;
    } cases[] = {{false, "s", 0600, 1}, {true, "s", 0644, 0}, {true, "", 0600, 0}};
    for (const Case& c : cases) {
        std::filesystem::remove(root.path() + "/curl.calls");
        Upload(c.serverUp);
        Secret(c.secret, c.mode);
        Request("h/up/");
        Step();
        EXPECT_EQ(Notified(), 1) << c.secret << " " << c.mode;
        EXPECT_EQ(Calls(), c.curlCalls) << c.secret << " " << c.mode;
        EXPECT_EQ(map.get(cmd::DIAG_LOCATION), "");
    }
}

TEST_F(DiagnosticsTest, WaitsForTheStartTime) {
    Upload(true);
    Secret("s", 0600);
    Request("h/up");
    map.set(cmd::DIAG_START_TIME, static_cast<std::int32_t>(clock.WallSeconds() + 5));
    Step();
    EXPECT_EQ(Calls(), 0);
    clock.Advance(5000);
    Step();
    EXPECT_EQ(Calls(), 1);
}

}  // namespace
