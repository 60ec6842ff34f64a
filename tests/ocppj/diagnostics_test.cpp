#include "diagnostics.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "command.h"
#include "exchange.h"
#include "fake_transfer.h"
#include "files.h"
#include "messages.h"
#include "testroot.h"

namespace {

using namespace ocppj;

// The output of a command line of the test's own (the archive is opened by
// Info-ZIP's unzip, a reader that is not ours); "" and false when it fails.
bool Shell(const std::string& line, std::string* out) {
    FILE* p = popen(line.c_str(), "r");
    if (p == nullptr) return false;
    char buf[4096];
    std::size_t n;
    out->clear();
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
    return pclose(p) == 0;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class DiagnosticsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::memcpy(app->bootIdentity.chargePointSerialNumber, "VE50CC000123", 12);
        std::memcpy(app->bootIdentity.firmwareVersion, "02.09.00.09", 11);
        std::strcpy(app->diagLogDir1, "/Storage/SystemLog/");
        std::strcpy(app->ocppLogDir, "/Storage/OCPPLog/");
        std::strcpy(app->caCertPath, "/Storage/ca.pem");
        WriteFile(root.path() + "/Storage/SystemLog/[2024.03]SystemLog", "system line\n");
        WriteFile(root.path() + "/Storage/SystemLog/old/[2023.01]SystemLog", "not packed\n");
        WriteFile(root.path() + "/Storage/OCPPLog/[2024.03]Fennick_Log.csv", "ocpp line\n");
    }
    void Request(const char* location, std::int32_t retries, std::int32_t interval) {
        GetDiagnosticsSlot& s = DiagnosticsSlot(*x);
        std::memset(&s, 0, sizeof s);
        std::strcpy(s.location, location);
        s.retries = retries;
        s.retryInterval = interval;
        diag.GetDiagnosticsConf();
    }
    // One second of Tarnet; Fennick takes each notification at once.
    void Second() {
        diag.GetDiagnosticsMgmt();
        if (TestBit(*x, kBitDiagnosticsStatus)) {
            sent.push_back({FieldText(x->diagnosticsStatus.status), clock.MonotonicMs() - startMs});
            ClearBit(*x, kBitDiagnosticsStatus);
        }
        clock.Advance(1000);
    }
    std::string Archive() const { return root.path() + "/mnt/" + FieldText(DiagnosticsSlot(*x).fileName); }
    std::string PassPhrase() const {
        return "VE50CC000123" + platform::ReadTextFile(root.path() + kDiagSecretFile).substr(0, kDiagSecretLength);
    }

    TestRoot root;
    platform::TestClock clock{1709288430};  // 2024-03-01T10:20:30Z
    platform::ScopedClock useClock{clock};
    std::int64_t startMs = clock.MonotonicMs();
    std::unique_ptr<fennick::FennickApp> app = std::make_unique<fennick::FennickApp>();
    std::unique_ptr<Exchange> x = std::make_unique<Exchange>();
    std::vector<std::string> log;
    std::vector<std::vector<std::string>> argvs;
    std::vector<std::shared_ptr<FakeDownload>> uploads;
    std::vector<std::pair<std::string, std::int64_t>> sent;
    Transfer::State outcome = Transfer::State::Running;
    Diagnostics diag{*app, *x, [this](const std::string& t) { log.push_back(t); },
                     [this](const std::vector<std::string>& argv) -> std::unique_ptr<Transfer> {
                         argvs.push_back(argv);
                         uploads.push_back(std::make_shared<FakeDownload>());
                         uploads.back()->state = outcome;
                         return std::make_unique<FakeTransfer>(uploads.back());
                     }};
};

TEST_F(DiagnosticsTest, ArchiveIsNamedByTheLocalTimeOfTheRequest) {
    const char* tz = std::getenv("TZ");
    const std::string saved = tz ? tz : "";
    setenv("TZ", "CET-1", 1);
    tzset();
    Request("ftp://logs.example/in", 0, 0);
    EXPECT_STREQ(DiagnosticsSlot(*x).fileName, "20240301112030_VE50CC000123_02.09.00.09_FennickDiag.zip");
    // Texts of the station that would lead out of /mnt stay in the name.
    std::memcpy(app->bootIdentity.chargePointSerialNumber, "../../x y", 10);
    Request("ftp://logs.example/in", 0, 0);
    EXPECT_STREQ(DiagnosticsSlot(*x).fileName, "20240301112030_.._.._x_y_02.09.00.09_FennickDiag.zip");
    if (tz) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
}

TEST_F(DiagnosticsTest, UploadIsReportedAtTheFirstCheckAfterAMinuteAndTheArchiveRemoved) {
    Request("https://logs.example/in", 0, 0);
    Second();  // packed, upload started
    ASSERT_TRUE(std::filesystem::exists(Archive()));
    Second();  // first look: still running
    uploads.at(0)->state = Transfer::State::Succeeded;
    for (int s = 0; s < 58; ++s) Second();
    EXPECT_EQ(sent.size(), 1u);
    Second();
    Second();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], (std::pair<std::string, std::int64_t>{"Uploading", 0}));
    EXPECT_EQ(sent[1], (std::pair<std::string, std::int64_t>{"Uploaded", 61000}));
    const std::string archive = Archive();
    Second();
    EXPECT_EQ(DiagnosticsSlot(*x).fileName[0], '\0');
    EXPECT_FALSE(std::filesystem::exists(archive));
    EXPECT_EQ(uploads.size(), 1u);
}

TEST_F(DiagnosticsTest, FailedTriesAreRepeatedRetryIntervalApartThenTheUploadEnds) {
    struct Case {
        std::int32_t retries;
        bool startFails;
        std::vector<std::pair<std::string, std::int64_t>> want;
    } cases[] = {
        {0, false, {{"Uploading", 0}, {"UploadFailed", 1000}}},
        {2, false, {{"Uploading", 0}, {"UploadFailed", 1000}, {"Uploading", 31000}, {"UploadFailed", 32000},
                    {"Uploading", 62000}, {"UploadFailed", 63000}}},
        {0, true, {{"Uploading", 0}, {"UploadFailed", 1000}}},  // nothing to pack: no upload
    };
    for (const Case& c : cases) {
        sent.clear();
        uploads.clear();
        startMs = clock.MonotonicMs();
        outcome = Transfer::State::Failed;
        if (c.startFails) std::strcpy(app->diagLogDir1, "/Storage/Empty/"), std::strcpy(app->ocppLogDir, "");
        Request("ftp://nobody.example/in", c.retries, 30);
        for (int s = 0; s < 200; ++s) Second();
        EXPECT_EQ(sent, c.want) << c.retries << " " << c.startFails;
        EXPECT_EQ(DiagnosticsSlot(*x).fileName[0], '\0');
        EXPECT_TRUE(std::filesystem::is_empty(root.Make("/mnt"))) << "archive left behind";
        EXPECT_EQ(uploads.size(), c.startFails ? 0u : static_cast<std::size_t>(c.retries + 1));
    }
}

TEST_F(DiagnosticsTest, UploadGoesIntoTheLocationAsADirectoryWithTheServerVerified) {
    struct Case {
        const char* location;
        const char* target;
    } cases[] = {
        {"ftp://user:pw@logs.example/in", "ftp://user:pw@logs.example/in/"},
        {"https://logs.example/in/", "https://logs.example/in/"},
        {"https://logs.example/$(reboot)", "https://logs.example/$(reboot)/"},
    };
    for (const Case& c : cases) {
        argvs.clear();
        Request(c.location, 0, 0);
        Second();
        ASSERT_EQ(argvs.size(), 1u);
        const std::vector<std::string> want = {
            "curl", "-s", "-S", "-f", "--proto", "=http,https,ftp,ftps", "-T", Archive(), "-m", "7200",
            "--cacert", root.path() + "/Storage/ca.pem", "--", c.target};
        EXPECT_EQ(argvs[0], want);
    }
    for (const std::string& line : log) {
        EXPECT_EQ(line.find(":pw@"), std::string::npos) << line;
        EXPECT_EQ(line.find(PassPhrase()), std::string::npos) << line;
    }
}

TEST_F(DiagnosticsTest, ArchiveHoldsTheLogDirectoriesFilesAndOpensOnlyWithThePassPhrase) {
    WriteFile(root.path() + "/Storage/extra.txt", "extra\n");
    struct Case {
        const char* dir2;
        const char* extra;
        std::vector<std::string> names;
    } cases[] = {
        {"", "", {"Storage/SystemLog/[2024.03]SystemLog", "Storage/OCPPLog/[2024.03]Fennick_Log.csv"}},
        {"/Storage/Other", "/Storage/extra.txt",
         {"Storage/SystemLog/[2024.03]SystemLog", "Storage/OCPPLog/[2024.03]Fennick_Log.csv", "Storage/extra.txt"}},
    };
    for (const Case& c : cases) {
        std::strcpy(app->diagLogDir2, c.dir2);
        std::strcpy(app->diagExtraFile, c.extra);
        Request("ftp://logs.example/in", 0, 0);
        ASSERT_TRUE(diag.PackLog2RAM());
        std::string out;
        ASSERT_TRUE(Shell("unzip -Z1 '" + Archive() + "'", &out));
        std::string want;
        for (const std::string& n : c.names) want += n + "\n";
        EXPECT_EQ(out, want);
        struct stat st {};
        ASSERT_EQ(::stat(Archive().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    std::string out;
    ASSERT_TRUE(Shell("unzip -P '" + PassPhrase() + "' -p '" + Archive() + "' 'Storage/OCPPLog/*'", &out));
    EXPECT_EQ(out, "ocpp line\n");
    EXPECT_FALSE(Shell("unzip -P VE50CC000123abcdef -p '" + Archive() + "' 'Storage/OCPPLog/*' 2>/dev/null", &out));
    EXPECT_FALSE(Shell("unzip -p '" + Archive() + "' 'Storage/OCPPLog/*' </dev/null 2>/dev/null", &out));
}

TEST_F(DiagnosticsTest, SecretIsMadeOnceForRootAloneAndAMalformedOneReplaced) {
    const std::string path = root.path() + kDiagSecretFile;
    const std::string first = DiagnosticsSecret();
    ASSERT_EQ(first.size(), kDiagSecretLength);
    for (char ch : first) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(ch))) << first;
    EXPECT_EQ(DiagnosticsSecret(), first);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (const char* bad : {"", "ab\n", "abc d!\n"}) {
        WriteFile(path, bad);
        ::chmod(path.c_str(), 0644);
        const std::string made = DiagnosticsSecret();
        EXPECT_EQ(made.size(), kDiagSecretLength) << bad;
        EXPECT_EQ(DiagnosticsSecret(), made) << bad;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << bad;
    }
}

}  // namespace
