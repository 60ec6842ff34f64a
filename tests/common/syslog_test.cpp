#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "alarm_tables.h"
#include "clock.h"
#include "files.h"
#include "syslog.h"
#include "testroot.h"
#include "utc_time.h"

namespace {

// Local time is UTC in these tests, so the stamps are fixed.

class LogFiles : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        root.Make("/Storage/SystemLog");
        root.Make("/Storage/Events");
    }
    std::string Read(const std::string& systemPath) const { return platform::ReadTextFile(root.path() + systemPath, 1 << 16); }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scoped{clock};
};

TEST_F(LogFiles, EventLineAndMonthlyFile) {
    clock.SetWallSeconds(UtcSeconds(2024, 3, 5, 8, 7, 9));
    EXPECT_EQ(common::RecordEvtLog("SN1", "00C202"), 0);
    EXPECT_EQ(Read("/Storage/Events/[2024.03]SN1_Events.csv"), "2024.03.05 08:07:09 - 00C202\n");
}

TEST_F(LogFiles, YearEndSplitsTwoFiles) {
    clock.SetWallSeconds(UtcSeconds(2024, 12, 31, 23, 59, 59));
    common::RecordSysLog("[Scrivet] last");
    common::RecordEvtLog("SN1", "00C202");
    clock.Advance(1000);
    common::RecordSysLog("[Scrivet] first");
    common::RecordEvtLog("SN1", "10C202");
    EXPECT_EQ(Read("/Storage/SystemLog/[2024.12]SystemLog"), "2024.12.31 23:59:59 - [Scrivet] last\n");
    EXPECT_EQ(Read("/Storage/SystemLog/[2025.01]SystemLog"), "2025.01.01 00:00:00 - [Scrivet] first\n");
    EXPECT_EQ(Read("/Storage/Events/[2024.12]SN1_Events.csv"), "2024.12.31 23:59:59 - 00C202\n");
    EXPECT_EQ(Read("/Storage/Events/[2025.01]SN1_Events.csv"), "2025.01.01 00:00:00 - 10C202\n");
}

TEST_F(LogFiles, TextsAreWrittenAsTheyAre) {
    clock.SetWallSeconds(UtcSeconds(2024, 3, 5, 8, 7, 9));
    const std::string marker = root.path() + "/ran";
    const std::string texts[] = {
        "",
        "100% done %s %d",
        "\"quoted\" `echo x` $(touch " + marker + ") ; touch " + marker + " \\",
    };
    std::string want;
    for (const auto& t : texts) {
        common::RecordSysLog(t);
        want += "2024.03.05 08:07:09 - " + t + "\n";
    }
    EXPECT_EQ(Read("/Storage/SystemLog/[2024.03]SystemLog"), want);
    EXPECT_FALSE(std::filesystem::exists(marker)) << "no text is ever run";
}

// A text from outside cannot start a line of its own in either log, nor hide
// part of one behind a carriage return.
TEST_F(LogFiles, ControlCharactersStayInTheirLine) {
    clock.SetWallSeconds(UtcSeconds(2024, 3, 5, 8, 7, 9));
    const struct {
        std::string text, written;
    } cases[] = {
        {"key=Voltage\nSoC", "key=Voltage\\nSoC"},
        {"value=1\r2024.03.05 08:07:09 - forged", "value=1\\r2024.03.05 08:07:09 - forged"},
        {std::string("a\tb\x01\x7f\x1b[2J") + '\0' + "z", "a\\tb\\x01\\x7F\\x1B[2J\\x00z"},
        {"caf\xc3\xa9 \\n", "caf\xc3\xa9 \\n"},  // text bytes and a backslash stay as they are
    };
    std::string want;
    for (const auto& c : cases) {
        EXPECT_EQ(common::EscapeForLog(c.text), c.written);
        common::RecordSysLog(c.text);
        common::RecordEvtLog("SN1", c.text);
        want += "2024.03.05 08:07:09 - " + c.written + "\n";
    }
    EXPECT_EQ(Read("/Storage/SystemLog/[2024.03]SystemLog"), want);
    EXPECT_EQ(Read("/Storage/Events/[2024.03]SN1_Events.csv"), want);
}

TEST_F(LogFiles, LongTextsAreCutAndFormattedTextsBounded) {
    clock.SetWallSeconds(UtcSeconds(2024, 3, 5, 8, 7, 9));
    common::RecordSysLog(std::string(1000, 'x'));
    common::RecordSysLogf("[Scrivet][%d] %s", 7, std::string(2000, 'y').c_str());
    const std::string log = Read("/Storage/SystemLog/[2024.03]SystemLog");
    const std::string prefix = "2024.03.05 08:07:09 - ";
    EXPECT_EQ(log.substr(0, log.find('\n') + 1), prefix + std::string(common::kMaxLogText, 'x') + "\n");
    const std::string second = log.substr(log.find('\n') + 1);
    EXPECT_EQ(second.size(), prefix.size() + common::kMaxLogText + 1);
    EXPECT_EQ(second.rfind(prefix + "[Scrivet][7] yyy", 0), 0u);
}

TEST_F(LogFiles, SerialTextCannotLeaveTheEventsFolder) {
    clock.SetWallSeconds(UtcSeconds(2024, 3, 5, 8, 7, 9));
    const struct {
        const char* serial;
        const char* file;
    } cases[] = {
        {"SN-0042.A", "[2024.03]SN-0042.A_Events.csv"},
        {"../../etc/x", "[2024.03].._.._etc_x_Events.csv"},
        {"a\nb\tc\x7f", "[2024.03]a_b_c__Events.csv"},
        {"", "[2024.03]_Events.csv"},
    };
    for (const auto& c : cases) {
        common::RecordEvtLog(c.serial, "004009");
        EXPECT_EQ(Read(std::string("/Storage/Events/") + c.file), "2024.03.05 08:07:09 - 004009\n") << c.file;
    }
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/etc"));
}

// Calendar time stays right past 2038-01-19 03:14:07 UTC on a board with a
// 32-bit long: a 32-bit time_t wraps to 1901 there.
TEST_F(LogFiles, CalendarTimePast2038) {
    const struct {
        std::int64_t seconds;
        const char* month;
        const char* stamp;
    } cases[] = {
        {2147483647, "2038.01", "2038.01.19 03:14:07"},
        {2147483648LL + 60, "2038.01", "2038.01.19 03:15:08"},
        {2214129600LL, "2040.02", "2040.02.29 12:00:00"},
        {4102444799LL, "2099.12", "2099.12.31 23:59:59"},
    };
    for (const auto& c : cases) {
        clock.SetWallSeconds(c.seconds);
        common::RecordSysLog("[Halvard] tick");
        common::RecordEvtLog("SN1", "00C202");
        const std::string line = std::string(c.stamp) + " - ";
        EXPECT_EQ(Read(std::string("/Storage/SystemLog/[") + c.month + "]SystemLog"), line + "[Halvard] tick\n") << c.seconds;
        EXPECT_EQ(Read(std::string("/Storage/Events/[") + c.month + "]SN1_Events.csv"), line + "00C202\n") << c.seconds;
        std::filesystem::remove(root.path() + "/Storage/SystemLog/[" + c.month + "]SystemLog");
        std::filesystem::remove(root.path() + "/Storage/Events/[" + c.month + "]SN1_Events.csv");
    }
}

TEST_F(LogFiles, MissingFolderIsNotCreatedAndNothingFails) {
    std::filesystem::remove_all(root.path() + "/Storage");
    EXPECT_EQ(common::RecordSysLog("x"), 0);
    EXPECT_EQ(common::RecordEvtLog("SN1", "00C202"), 0);
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/Storage"));
}

TEST(AlarmTables, CodesRecoveryCodesAndLevels) {
    const struct {
        unsigned entry;
        const char* code;
        const char* recovery;
        int level;
    } din[] = {
        {0, "00C100", "10C100", 1},   {9, "00C109", "10C109", 1},  {16, "00C110", "10C110", 1},
        {17, "000000", "000000", 1},  {26, "00C202", "10C202", 1}, {30, "00C206", "10C206", 1},
        {31, "000000", "000000", 3},  {32, "000000", "000000", 3}, {48, "00C300", "10C300", 1},
        {58, "00C30A", "10C30A", 1},  {72, "00C318", "10C318", 1}, {73, "000000", "000000", 3},
        {87, "000000", "000000", 1},
    };
    for (const auto& d : din) {
        EXPECT_STREQ(common::pu8DINAlarmCode[d.entry], d.code) << d.entry;
        EXPECT_STREQ(common::pu8DINAlarmCodeRcvr[d.entry], d.recovery) << d.entry;
        EXPECT_EQ(common::pu8DINAlarmLvl[d.entry], d.level) << d.entry;
    }
    EXPECT_STREQ(common::pu8SysAlarmCode[4], "00A013");
    EXPECT_STREQ(common::pu8SysAlarmCodeRcvr[4], "10A013");
    EXPECT_EQ(common::pu8SysAlarmLvl[4], 2);
    EXPECT_STREQ(common::pu8SysAlarmCode[8], "00A00F");
    EXPECT_STREQ(common::pu8SysAlarmCode[6], "000000");
}

TEST(AlarmTables, EveryDinEntryFollowsItsRangeAndRecoveryMirrorsIt) {
    // Entries 0-16 count up from 00C100, 26-30 from 00C202, 48-72 from 00C300;
    // the rest have no event. A recovery code is the code with "1" in front.
    const struct {
        unsigned first, last, base;
    } ranges[] = {{0, 16, 0xC100}, {26, 30, 0xC202}, {48, 72, 0xC300}};
    for (unsigned e = 0; e < common::kDINEvtCount; ++e) {
        std::string want = "000000";
        for (const auto& r : ranges) {
            if (e < r.first || e > r.last) continue;
            char buf[7];
            std::snprintf(buf, sizeof buf, "00%04X", r.base + e - r.first);
            want = buf;
        }
        EXPECT_EQ(std::string(common::pu8DINAlarmCode[e]), want) << e;
        const std::string recovery = want == "000000" ? want : "1" + want.substr(1);
        EXPECT_EQ(std::string(common::pu8DINAlarmCodeRcvr[e]), recovery) << e;
    }
    for (unsigned e = 0; e < common::kSysEvtCount; ++e) {
        const std::string code = common::pu8SysAlarmCode[e];
        EXPECT_EQ(std::string(common::pu8SysAlarmCodeRcvr[e]), code == "000000" ? code : "1" + code.substr(1)) << e;
    }
}

TEST(AlarmTables, NamesFallBackToUnknown) {
    EXPECT_STREQ(common::PilotStateName(4), "C");
    EXPECT_STREQ(common::PilotStateName(8), "Unknown");
    EXPECT_STREQ(common::DINPhaseName(6), "DIN_V2GCommunication");
    EXPECT_STREQ(common::DINPhaseName(200), "Unknown");
    EXPECT_STREQ(common::DINV2GPhaseName(4), "ContractAuth");
    EXPECT_STREQ(common::DINV2GPhaseName(21), "END");
    EXPECT_STREQ(common::DINV2GPhaseName(22), "Unknown");
    EXPECT_STREQ(common::DINV2GPhaseName(255), "Unknown");
    EXPECT_STREQ(common::DINErrorName(251), "Unknown");
    EXPECT_STREQ(common::DINErrorName(252), "V2G_SEQUENCE_ERROR");
    EXPECT_STREQ(common::DINErrorName(253), "V2G_PERFORMANCE_TIME_OUT");
    EXPECT_STREQ(common::DINErrorName(254), "V2G_SEQUENCE_TIME_OUT");
    EXPECT_STREQ(common::DINErrorName(255), "V2G_Error");
}

}  // namespace

// Lines that cannot be written (a full disk, a missing folder) are counted,
// and the count is logged once a line reaches the file again.
TEST_F(LogFiles, LostLinesAreCountedAndToldOnceTheFileTakesLinesAgain) {
    clock.SetWallSeconds(UtcSeconds(2024, 3, 5, 8, 7, 9));
    std::filesystem::remove_all(root.path() + "/Storage/Events");
    for (int i = 0; i < 3; ++i) common::RecordEvtLog("SN1", "00C202");
    EXPECT_EQ(Read("/Storage/SystemLog/[2024.03]SystemLog"), "");
    root.Make("/Storage/Events");
    common::RecordEvtLog("SN1", "10C202");
    EXPECT_EQ(Read("/Storage/Events/[2024.03]SN1_Events.csv"), "2024.03.05 08:07:09 - 10C202\n");
    const std::string log = Read("/Storage/SystemLog/[2024.03]SystemLog");
    EXPECT_NE(log.find("] 3 line(s) of /Storage/Events/[2024.03]SN1_Events.csv lost"), std::string::npos) << log;
    common::RecordEvtLog("SN1", "00C202");
    EXPECT_EQ(Read("/Storage/SystemLog/[2024.03]SystemLog"), log) << "told once";

    // The system log's own losses are told in the system log.
    std::filesystem::remove_all(root.path() + "/Storage/SystemLog");
    common::RecordSysLog("a");
    common::RecordSysLog("b");
    root.Make("/Storage/SystemLog");
    common::RecordSysLog("c");
    const std::string own = Read("/Storage/SystemLog/[2024.03]SystemLog");
    EXPECT_EQ(own.substr(0, 26), "2024.03.05 08:07:09 - c\n20");
    EXPECT_NE(own.find("2 line(s) of /Storage/SystemLog/[2024.03]SystemLog lost"), std::string::npos) << own;
}

// A failure that repeats is logged at most once a minute, the repeats counted.
TEST_F(LogFiles, RepeatedFailureIsLoggedOnceAMinuteWithItsCount) {
    clock.SetWallSeconds(UtcSeconds(2024, 3, 5, 8, 7, 9));
    common::RepeatLog log;
    EXPECT_TRUE(log.Record("[Bastide] refused"));
    for (int i = 0; i < 29; ++i) {
        clock.Advance(2000);
        EXPECT_FALSE(log.Record("[Bastide] refused"));
    }
    clock.Advance(2000);
    EXPECT_TRUE(log.Record("[Bastide] refused"));
    EXPECT_EQ(Read("/Storage/SystemLog/[2024.03]SystemLog"),
              "2024.03.05 08:07:09 - [Bastide] refused\n"
              "2024.03.05 08:08:09 - [Bastide] refused (and 29 more like it since the last line)\n");
}
