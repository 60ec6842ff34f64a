#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "clock.h"
#include "command.h"
#include "display_variant.h"
#include "gpio.h"
#include "regmap_fields.h"
#include "settings.h"
#include "testroot.h"

using namespace supervisor;
using namespace regmap;
using Blob = std::vector<std::uint8_t>;

namespace {

class VariantTest : public ::testing::Test {
protected:
    void Write(const std::string& systemPath, const Blob& b) {
        std::filesystem::create_directories(std::filesystem::path(root.path() + systemPath).parent_path());
        std::ofstream f(root.path() + systemPath, std::ios::binary);
        f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    Blob Read(const std::string& systemPath) {
        std::ifstream f(root.path() + systemPath, std::ios::binary);
        return Blob((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }

    TestRoot root;
    platform::TestClock clock;
    platform::ScopedClock scopedClock{clock};
    platform::RecordingRunner runner;
    platform::ScopedRunner scopedRunner{runner};
    std::vector<std::uint8_t> mem = std::vector<std::uint8_t>(kMapSize, 0);
    RegisterMap map{mem.data(), mem.size()};
};

// The card reader on the other end of the line: answers what it is sent with
// the bytes `reply` gives for it, on the test clock.
class ReaderLine final : public linkwire::LinkPort {
public:
    ssize_t Read(std::uint8_t* buf, std::size_t len, int timeoutMs) override {
        if (in.empty()) {
            platform::GetClock().SleepMs(timeoutMs);
            return 0;
        }
        std::size_t n = 0;
        while (n < len && !in.empty()) buf[n++] = in.front(), in.pop_front();
        return static_cast<ssize_t>(n);
    }
    ssize_t Write(const std::uint8_t* buf, std::size_t len) override {
        const Blob b(buf, buf + len);
        sent.push_back(b);
        if (reply) {
            const Blob r = reply(b);
            in.insert(in.end(), r.begin(), r.end());
        }
        return static_cast<ssize_t>(len);
    }
    std::function<Blob(const Blob&)> reply;
    std::deque<std::uint8_t> in;
    std::vector<Blob> sent;
};

// A reader that follows the protocol and answers every command with `answer`.
std::function<Blob(const Blob&)> Reader(Blob answer) {
    return [answer](const Blob& b) -> Blob {
        if (b == Blob{0x55}) return {0xAA};
        if (b == Blob{0x5A}) return answer;
        return {0xA5};
    };
}

}  // namespace

TEST(VariantCrc, Crc32IsTheStandardOne) {
    const char* text = "123456789";
    EXPECT_EQ(crc32(0, reinterpret_cast<const std::uint8_t*>(text), 9), 0xCBF43926u);
    EXPECT_EQ(crc32(0, nullptr, 0), 0u);
    // Continued over two parts it equals one pass.
    const auto* b = reinterpret_cast<const std::uint8_t*>(text);
    EXPECT_EQ(crc32(crc32(0, b, 4), b + 4, 5), 0xCBF43926u);
}

// The clock text comes from the display: only a real time reaches "date -s".
TEST_F(VariantTest, ClockIsSetOnlyFromAValidTime) {
    const struct {
        const char* text;
        bool set;
    } cases[] = {
        {"2026-12-10 19:30:05", true},
        {"2024-02-29 00:00:00", true},
        {"2000-02-29 23:59:59", true},
        {"2026-02-29 00:00:00", false},
        {"1900-02-29 00:00:00", false},
        {"2026-04-31 12:00:00", false},
        {"2026-13-01 12:00:00", false},
        {"2026-00-10 12:00:00", false},
        {"2026-12-00 12:00:00", false},
        {"2026-12-10 24:00:00", false},
        {"2026-12-10 23:60:00", false},
        {"2026-12-10 23:59:60", false},
        {"2026-12-10 1:30:05", false},
        {"2026-12-10;reboot;", false},
        {"2026-12-10 19:30:0$", false},
        {"$(reboot)0 19:30:05", false},
        {"2026-12-10T19:30:05", false},
        {"", false},
    };
    for (const auto& c : cases) {
        runner.commands.clear();
        map.set(SHRMEM_CLOCK_CHANGED, 0);
        EXPECT_EQ(SetClockFromText(map, c.text), c.set ? 1 : 0) << c.text;
        if (c.set) {
            ASSERT_EQ(runner.commands.size(), 1u) << c.text;
            EXPECT_EQ(runner.commands[0].argv, (std::vector<std::string>{"date", "-s", c.text}));
            EXPECT_EQ(map.get(SHRMEM_CLOCK_CHANGED), 1) << c.text;
        } else {
            EXPECT_TRUE(runner.commands.empty()) << c.text;
            EXPECT_EQ(map.get(SHRMEM_CLOCK_CHANGED), 0) << c.text;
        }
    }
    runner.result = 1;  // date refused it
    EXPECT_EQ(SetClockFromText(map, "2026-12-10 19:30:05"), 0);
    EXPECT_EQ(map.get(SHRMEM_CLOCK_CHANGED), 0);
}

// The boot loader's environment on /dev/mtdblock1: CRC-32 of the 8,188 data
// bytes, then NUL-ended "name=value" entries and an empty one.
class BootEnvTest : public VariantTest {
protected:
    Blob Env(const std::vector<std::string>& entries) {
        Blob env(kBootEnvSize, 0);
        std::size_t at = 4;
        for (const auto& e : entries) {
            std::memcpy(env.data() + at, e.data(), e.size());
            at += e.size() + 1;
        }
        const std::uint32_t crc = crc32(0, env.data() + 4, kBootEnvSize - 4);
        std::memcpy(env.data(), &crc, 4);
        return env;
    }
    void PutDevice(const Blob& env) {
        Blob dev(kBootEnvOffset + kBootEnvSize + 4096, 0xA7);
        std::copy(env.begin(), env.end(), dev.begin() + kBootEnvOffset);
        Write(kBootEnvDevice, dev);
    }
    Blob DeviceEnv() {
        const Blob dev = Read(kBootEnvDevice);
        return Blob(dev.begin() + kBootEnvOffset, dev.begin() + kBootEnvOffset + kBootEnvSize);
    }
    std::vector<std::string> Entries(const Blob& env) {
        std::vector<std::string> out;
        std::size_t at = 4;
        while (at < env.size() && env[at] != 0) {
            std::string e(reinterpret_cast<const char*>(env.data() + at));
            at += e.size() + 1;
            out.push_back(e);
        }
        return out;
    }
    void SetUp() override {
        map.setIpv4Text(SHRMEM_ETH0_IP, "192.168.1.10");
        map.setIpv4Text(SHRMEM_ETH0_NETMASK, "255.255.255.0");
        map.setIpv4Text(SHRMEM_ETH0_GATEWAY, "192.168.1.1");
        map.setIpv4Text(SHRMEM_FW_SERVER_IP, "192.168.1.5");
    }
};

TEST_F(BootEnvTest, UpdateCommandReplacesTheOldOneUnderANewCrc) {
    PutDevice(Env({"bootdelay=3", "update=old", "bootcmd=run update"}));
    map.setShared(ALARM_BOOT_ENV_UPDATE, true);
    ASSERT_EQ(FWUP(map), 1);
    const Blob env = DeviceEnv();
    std::uint32_t crc = 0;
    std::memcpy(&crc, env.data(), 4);
    EXPECT_EQ(crc, crc32(0, env.data() + 4, kBootEnvSize - 4));
    EXPECT_EQ(Entries(env), (std::vector<std::string>{
                                "bootdelay=3", "bootcmd=run update",
                                "update=setenv ipaddr 192.168.1.10;setenv netmask 255.255.255.0;"
                                "setenv gatewayip 192.168.1.1;setenv serverip 192.168.1.5;"
                                "tftp 3000000 LmqKImage;tftp 4000000 LmqFImage;"}));
    EXPECT_FALSE(map.get(ALARM_BOOT_ENV_UPDATE));
    const Blob dev = Read(kBootEnvDevice);
    EXPECT_EQ(dev[kBootEnvOffset - 1], 0xA7) << "nothing before the environment is touched";
    EXPECT_EQ(dev[kBootEnvOffset + kBootEnvSize], 0xA7) << "nor after it";
}

TEST_F(BootEnvTest, FailuresRaiseTheAlarmAndLeaveTheDevice) {
    Blob badCrc = Env({"bootdelay=3"});
    badCrc[0] ^= 1;
    Blob full = Env({std::string(kBootEnvSize - 4 - 40, 'x')});
    Blob unended(kBootEnvSize, 'y');  // no end of the list within the block
    const std::uint32_t crc = crc32(0, unended.data() + 4, kBootEnvSize - 4);
    std::memcpy(unended.data(), &crc, 4);
    const struct {
        const char* what;
        Blob env;
    } cases[] = {{"stored CRC wrong", badCrc}, {"no room for the entry", full}, {"list without an end", unended}};
    for (const auto& c : cases) {
        PutDevice(c.env);
        const Blob before = Read(kBootEnvDevice);
        map.setShared(ALARM_BOOT_ENV_UPDATE, false);
        EXPECT_EQ(FWUP(map), 0) << c.what;
        EXPECT_TRUE(map.get(ALARM_BOOT_ENV_UPDATE)) << c.what;
        EXPECT_EQ(Read(kBootEnvDevice), before) << c.what;
    }
    std::filesystem::remove(root.path() + kBootEnvDevice);
    map.setShared(ALARM_BOOT_ENV_UPDATE, false);
    EXPECT_EQ(FWUP(map), 0);
    EXPECT_TRUE(map.get(ALARM_BOOT_ENV_UPDATE)) << "no device";
}

TEST_F(VariantTest, SettingsFlashIsPatchedRestoredAndReplaced) {
    Blob flash(kFlashSize);
    for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<std::uint8_t>(i * 7 + (i >> 16));
    Write(kFlashDevice, flash);

    // StoreFlash: only the named bytes change; a range past the settings is refused.
    map.setIpv4Text(SHRMEM_ETH0_IP, "10.1.2.3");
    ASSERT_EQ(StoreFlash(map, 266, 4), 1);
    Blob expect = flash;
    std::memcpy(expect.data() + 266, mem.data() + 266, 4);
    EXPECT_EQ(Read(kFlashDevice), expect);
    EXPECT_EQ(StoreFlash(map, 65530, 7), 0);
    EXPECT_EQ(Read(kFlashDevice), expect);

    // RestoreFactory: the factory block over the first 64 KiB, then the map from the device.
    ASSERT_EQ(RestoreFactory(map), 1);
    std::memcpy(expect.data(), expect.data() + kFlashSettingsOffset, kSettingsImageSize);
    EXPECT_EQ(Read(kFlashDevice), expect);
    EXPECT_EQ(mem, expect);

    // ScenarioUP: the file onto the device; a file larger than the map or a
    // missing one is refused with the alarm, the device untouched.
    const struct {
        const char* what;
        std::size_t size;  // 0: no file
        int result;
    } cases[] = {{"a map image", 1000, 1}, {"larger than the map", kFlashSize + 1, 0}, {"no file", 0, 0}};
    for (const auto& c : cases) {
        std::filesystem::remove(root.path() + kScenarioFile);
        if (c.size > 0) Write(kScenarioFile, Blob(c.size, 0x3C));
        const Blob before = Read(kFlashDevice);
        map.setShared(ALARM_CCS_BOARD_UPDATE, !c.result);
        EXPECT_EQ(ScenarioUP(map), c.result) << c.what;
        EXPECT_EQ(map.get(ALARM_CCS_BOARD_UPDATE), c.result == 0) << c.what;
        Blob after = Read(kFlashDevice);
        if (c.result) {
            EXPECT_EQ(Blob(after.begin(), after.begin() + c.size), Blob(c.size, 0x3C)) << c.what;
            EXPECT_EQ(Blob(after.begin() + c.size, after.end()), Blob(before.begin() + c.size, before.end())) << c.what;
        } else {
            EXPECT_EQ(after, before) << c.what;
        }
    }
}

TEST(CardReader, SetBlockCommandCarriesItsSumLowByteFirst) {
    const std::uint8_t data[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(SetBlockCommand(7, data), (Blob{0x0A, 0x08, 0x01, 7, 0xFF, 0xFF, 0xFF, 0xFF, 0x16, 0x04}));  // 7 + 1020 + 19
    const std::uint8_t zero[4] = {};
    EXPECT_EQ(SetBlockCommand(0, zero), (Blob{0x0A, 0x08, 0x01, 0, 0, 0, 0, 0, 19, 0}));
}

TEST_F(VariantTest, CardReaderExchangeAndItsFailures) {
    ReaderLine line;
    const std::uint8_t data[4] = {1, 2, 3, 4};
    // The whole protocol, byte by byte.
    line.reply = Reader({0x03, 0x08, 0x01});
    EXPECT_EQ(SetBlock(line, 9, data), 1);
    ASSERT_EQ(line.sent.size(), 3u);
    EXPECT_EQ(line.sent[0], Blob{0x55});
    EXPECT_EQ(line.sent[1], SetBlockCommand(9, data));
    EXPECT_EQ(line.sent[2], Blob{0x5A});

    const struct {
        const char* what;
        std::function<Blob(const Blob&)> reply;
        int result;
    } cases[] = {
        {"no wake-up answer", [](const Blob&) { return Blob{}; }, 0},
        {"wrong wake-up answer", [](const Blob& b) { return b == Blob{0x55} ? Blob{0xAB} : Blob{0xA5}; }, 0},
        {"command not taken", [](const Blob& b) { return b == Blob{0x55} ? Blob{0xAA} : Blob{}; }, 0},
        {"answer shorter than its length", Reader({0x05, 0x08, 0x01}), 0},
        {"other echo", Reader({0x03, 0x08, 0x02}), 0},
        {"echo", Reader({0x03, 0x08, 0x01}), 1},
    };
    for (const auto& c : cases) {
        ReaderLine l;
        l.reply = c.reply;
        const std::int64_t start = clock.MonotonicMs();
        EXPECT_EQ(SetBlock(l, 9, data), c.result) << c.what;
        EXPECT_LE(clock.MonotonicMs() - start, 2000 + 2000 + 3000 + 3000) << c.what;
    }

    ReaderLine tag;
    tag.reply = Reader({0x09, 0x08, 'x', 'V', 'N', 'T', 'A', 'y', 0});
    EXPECT_EQ(CardTagVerify(tag), 1);
    tag.reply = Reader({0x09, 0x08, 'x', 'V', 'N', 'T', 'B', 'y', 0});
    EXPECT_EQ(CardTagVerify(tag), 0);
    EXPECT_EQ(tag.sent[1], (Blob{0x06, 0x08, 0x00, 0x08, 0x16, 0x00}));

    ReaderLine search;
    search.reply = Reader({0x05, 0xDE, 0xAD, 0xBE, 0xEF});
    std::vector<std::uint8_t> id;
    EXPECT_EQ(SearchTag(search, id), 1);
    EXPECT_EQ(id, (Blob{0xDE, 0xAD, 0xBE, 0xEF}));

    ReaderLine hello;
    hello.reply = Reader({0x06, 1, 2, 3, 4, 5});
    EXPECT_EQ(ConnectionRFID(hello), 1);
    hello.reply = Reader({0x05, 1, 2, 3, 4});
    EXPECT_EQ(ConnectionRFID(hello), 0) << "the handshake answer has 6 bytes";
}

TEST_F(VariantTest, CardListSearchedByTheTypesPrefix) {
    Write("/root/Brannock", [] {
        std::string s = "12345678AAAAAA\nABCDEFGH123456\n";
        return Blob(s.begin(), s.end());
    }());
    const struct {
        const char* tag;
        int type;
        int found;
    } cases[] = {
        {"12345678ZZZZZZ", 1, 1},  // 8 characters compared
        {"12345678ZZZZZZ", 5, 0},  // 14 compared
        {"ABCDEFGH123456", 7, 1},
        {"ABCDEFG", 1, 0},         // shorter than the compared prefix
        {"", 1, 0},
    };
    for (const auto& c : cases) {
        map.set(SHRMEM_ID_TAG, c.tag);
        EXPECT_EQ(PowerCard(map, c.type), c.found) << c.tag << " type " << c.type;
    }
    // A list over 102,400 bytes is refused, not read in part.
    std::string big(kCardListLimit, 'x');
    big.replace(0, 15, "12345678AAAAAA\n");
    big += "\n";
    Write("/root/Brannock", Blob(big.begin(), big.end()));
    map.set(SHRMEM_ID_TAG, "12345678AAAAAA");
    EXPECT_EQ(PowerCard(map, 1), 0);
}

TEST_F(VariantTest, CardVerdictIsAwaitedTenSeconds) {
    const struct {
        const char* tag;
        int result;
        std::int64_t maxMs;
    } cases[] = {{"ok", 1, 0}, {"ng", 0, 0}, {"", 2, 10100}, {"1234", 2, 10100}};
    for (const auto& c : cases) {
        map.set(SHRMEM_ID_TAG, c.tag);
        const std::int64_t start = clock.MonotonicMs();
        EXPECT_EQ(CardVerify(map), c.result) << c.tag;
        EXPECT_LE(clock.MonotonicMs() - start, c.maxMs) << c.tag;
        if (c.result == 2) {
            EXPECT_GE(clock.MonotonicMs() - start, 10000) << c.tag;
        }
    }
}

namespace {

// GPIO lines in memory; the feedback line follows the contactor output after
// `followMs` (never when negative).
class MemoryGpio final : public platform::Gpio {
public:
    bool Export(int) override { return true; }
    bool SetDirection(int, const std::string&) override { return true; }
    bool Write(int line, int value) override {
        values[line] = static_cast<char>('0' + value);
        if (line == 52) switchedAt = platform::GetClock().MonotonicMs();
        return true;
    }
    std::optional<char> ReadChar(int line) override {
        if (line == 83 && followMs >= 0 && platform::GetClock().MonotonicMs() - switchedAt >= followMs) return values[52];
        auto it = values.find(line);
        if (it == values.end()) return std::nullopt;
        return it->second;
    }
    std::map<int, char> values;
    std::int64_t followMs = 0;
    std::int64_t switchedAt = 0;
};

}  // namespace

TEST_F(VariantTest, ContactorFeedbackWithinFiveSecondsOrTheAlarm) {
    const struct {
        const char* what;
        int on;
        std::int64_t followMs;
        int result;
    } cases[] = {
        {"on, follows at once", 1, 0, 1},
        {"on, follows after 2.5 s", 1, 2500, 1},
        {"on, never follows", 1, -1, 0},
        {"off, follows", 0, 0, 1},
    };
    for (const auto& c : cases) {
        MemoryGpio gpio;
        gpio.values[83] = c.on ? '0' : '1';
        gpio.followMs = c.followMs;
        platform::Gpio* prev = platform::SetGpio(&gpio);
        runner.commands.clear();
        map.setShared(ALARM_CONTACTOR_FEEDBACK, c.result == 1);
        const std::int64_t start = clock.MonotonicMs();
        EXPECT_EQ(SwitchSS(map, c.on), c.result) << c.what;
        platform::SetGpio(prev);
        EXPECT_EQ(gpio.values[52], c.on ? '1' : '0') << c.what;
        EXPECT_EQ(map.get(ALARM_CONTACTOR_FEEDBACK), c.result == 0) << c.what;
        EXPECT_LE(clock.MonotonicMs() - start, 5000) << c.what;
        const std::vector<std::string> up{"ip link set can0 type can bitrate 250000", "ip link set can0 up"};
        const std::vector<std::string> down{"ip link set can0 down"};
        EXPECT_EQ(runner.Texts(), c.on ? up : down) << c.what;
    }
}
