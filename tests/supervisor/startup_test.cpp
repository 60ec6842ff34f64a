#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

#include "clock.h"
#include "command.h"
#include "files.h"
#include "gpio.h"
#include "regmap_fields.h"
#include "startup.h"
#include "testroot.h"

using namespace regmap;
using namespace supervisor;

namespace {

constexpr std::int64_t kGoodTime = 1765000000;  // December 2025

class StartUpTest : public ::testing::Test {
protected:
    StartUpTest() {
        root.Make("/sys/class/gpio");
        root.Make("/sys/class/net/eth0");
        root.Make("/dev");
        s.map = RegisterMap(mem.data(), mem.size());
    }

    std::vector<std::uint8_t> mem = std::vector<std::uint8_t>(kMapSize, 0);
    TestRoot root;
    platform::TestClock clock{kGoodTime};
    platform::ScopedClock clockScope{clock};
    platform::RecordingRunner runner;
    platform::ScopedRunner runnerScope{runner};
    platform::FakeAdc adc;
    Supervisor s;
    RegisterMap& map() { return s.map; }
};

}  // namespace

TEST(PlugTemperatureConversion, MatchesTheSensorScale) {
    const struct { std::int32_t raw; std::uint16_t v; } cases[] = {
        {1389, 13}, {1407, 15}, {6945 / 5, 13}, {0, static_cast<std::uint16_t>(-141)}, {2400, 125},
        // Any 32-bit reading converts without overflow, wrapped to 16 bits.
        {INT32_MAX, 58112}, {INT32_MIN, 7141},
    };
    for (const auto& c : cases) EXPECT_EQ(ConvertPlugTemperature(c.raw), c.v) << c.raw;
}

TEST(PlugTemperatureFilter, SixSamplesStoreTheSumLowByteFirst) {
    std::vector<std::uint8_t> mem(kMapSize, 0);
    RegisterMap map(mem.data(), mem.size());
    PlugTemperature t;
    for (int i = 0; i < 5; ++i) t.Sample(map, 1389);
    EXPECT_EQ(mem[438], 0) << "nothing stored before the sixth sample";
    t.Sample(map, 1389);
    EXPECT_EQ(mem[438], 78);
    EXPECT_EQ(mem[439], 0);
    for (int i = 0; i < 6; ++i) t.Sample(map, 1407);
    EXPECT_EQ(mem[438], 90) << "sum restarts after each store";
}

TEST(PlugTemperatureFilter, ZonesNeedTenSamplesAndTheBandHoldsEverything) {
    struct Step {
        std::int32_t raw;
        int repeat;
        bool sensorBit, otpBit;
        int counter;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"ten over-temperature samples set OTP on the tenth",
         {{1407, 9, false, false, 9}, {1407, 1, false, true, 10}}},
        {"a band sample restarts nothing",
         {{1407, 9, false, false, 9}, {1400, 1, false, false, 9}, {1407, 1, false, true, 10}}},
        {"a fault sample after nine over-temperature ones restarts the counter",
         {{1407, 9, false, false, 9}, {2400, 1, false, false, 1}, {2400, 9, true, false, 10}}},
        {"low readings are a sensor fault too", {{150, 10, true, false, 10}}},
        {"normal clears both after ten",
         {{2400, 10, true, false, 10}, {1389, 9, true, false, 9}, {1389, 1, false, false, 10}}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> mem(kMapSize, 0);
        RegisterMap map(mem.data(), mem.size());
        PlugTemperature t;
        for (const auto& st : c.steps) {
            for (int i = 0; i < st.repeat; ++i) t.Sample(map, st.raw);
            EXPECT_EQ(map.get(ALARM_CONNECTOR_SENSOR_BROKEN), st.sensorBit) << c.name << " raw " << st.raw;
            EXPECT_EQ(map.get(ALARM_CONNECTOR_OTP), st.otpBit) << c.name << " raw " << st.raw;
            EXPECT_EQ(t.counter(), st.counter) << c.name << " raw " << st.raw;
        }
    }
}

TEST_F(StartUpTest, CommandsComeInStartUpOrder) {
    StartUp(s, adc);
    EXPECT_EQ(runner.Texts(), (std::vector<std::string>{
                                  "cd /root;./Tavish",
                                  "sync",
                                  "/sbin/ifconfig eth0 192.168.1.10 netmask 255.255.255.0",
                                  "route add default gw 192.168.1.254 eth0",
                                  "/sbin/udhcpc -i eth0 -n -s /root/simple.script",
                                  "/root/Marlet &",
                                  "/root/Grisel > /dev/ttyS0 &",
                              }));
    EXPECT_TRUE(runner.commands[5].background);
    EXPECT_EQ(runner.commands[6].stdoutPath, "/dev/ttyS0");
    EXPECT_EQ(runner.commands[0].cwd, "/root");
    // Start-up fields.
    EXPECT_EQ(mem[128], 0x80);
    EXPECT_EQ((std::vector<std::uint8_t>{mem[257], mem[258], mem[259], mem[260]}),
              (std::vector<std::uint8_t>{0x01, 0x0C, 0x03, 0x01}));
    EXPECT_EQ(mem[2202], 1);
    EXPECT_EQ(mem[469], 0);
    // Outputs as the board wants them after start-up.
    platform::SysfsGpio gpio;
    for (auto [line, value] : std::vector<std::pair<int, char>>{{87, '1'}, {72, '1'}, {73, '0'}, {79, '1'}, {67, '0'}, {45, '1'}}) {
        EXPECT_EQ(gpio.ReadChar(line), value) << "gpio " << line;
    }
    EXPECT_EQ(platform::ReadTextFile(root.path() + "/sys/class/gpio/gpio78/direction"), "in\n");
    EXPECT_EQ(adc.requests.size(), 2u);
    EXPECT_EQ(adc.requests[0].second, (std::vector<std::uint32_t>{1, 0, 2500, 0, 0, 1000000, 0}));
    EXPECT_EQ(adc.requests[1].second, (std::vector<std::uint32_t>{5, 0, 1000000, 0}));
}

TEST_F(StartUpTest, StaticAddressesSkipDhcpAndKeepOnlyTheMac) {
    // A restored image that selects static addresses.
    std::vector<std::uint8_t> flash(262144, 0);
    flash[196608 + 280] = 1;
    flash[196608 + 266] = 7;
    {
        std::ofstream f(root.path() + "/dev/mtdblock4", std::ios::binary);
        f.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
    }
    platform::AppendToFile(root.path() + "/sys/class/net/eth0/address", "02:11:22:33:44:55\n");
    platform::AppendToFile(root.path() + "/dev/ttyS2", "");
    StartUp(s, adc);
    for (const auto& t : runner.Texts()) EXPECT_EQ(t.find("udhcpc"), std::string::npos);
    EXPECT_EQ(map().get(SHRMEM_ETH0_MAC), "02:11:22:33:44:55");
    EXPECT_EQ(mem[266], 7) << "static address kept";
    EXPECT_FALSE(map().get(ALARM_INIT_FAIL));
}

TEST_F(StartUpTest, ClockAtOrBeforeTheValidDateIsReset) {
    const struct { std::int64_t wall; bool reset; } cases[] = {
        {kClockValidAfter, true}, {kClockValidAfter + 1, false}, {0, true},
    };
    for (const auto& c : cases) {
        runner.commands.clear();
        mem.assign(kMapSize, 0);
        clock.SetWallSeconds(c.wall);
        StartUp(s, adc);
        auto texts = runner.Texts();
        bool dated = std::find(texts.begin(), texts.end(), "date -s \"1970.01.01-00:00:00\"") != texts.end();
        EXPECT_EQ(dated, c.reset) << c.wall;
        EXPECT_EQ(mem[469], c.reset ? 1 : 0) << c.wall;
    }
}

TEST_F(StartUpTest, SetUpFailuresRaiseTheInitAlarm) {
    adc.configure_ok = false;
    StartUp(s, adc);
    EXPECT_TRUE(map().get(ALARM_INIT_FAIL)) << "ADC configuration and missing line";

    mem.assign(kMapSize, 0);
    adc.configure_ok = true;
    // A line that opens (a regular file stands in for the device).
    platform::AppendToFile(root.path() + "/dev/ttyS2", "");
    platform::AppendToFile(root.path() + "/sys/class/net/eth0/address", "02:11:22:33:44:55\n");
    mem[280] = 1;  // the defaults leave 280; static, so no kernel address is needed
    std::vector<std::uint8_t> flash(262144, 0);
    flash[196608 + 280] = 1;
    {
        std::ofstream f(root.path() + "/dev/mtdblock4", std::ios::binary);
        f.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
    }
    StartUp(s, adc);
    EXPECT_FALSE(map().get(ALARM_INIT_FAIL));
}

TEST_F(StartUpTest, TemperatureIsSampledEveryTenSecondsAndFailedReadsAreSkipped) {
    StartUp(s, adc);
    adc.samples = {1389, std::nullopt, 1389, 1389, 1389, 1389, 1389};
    SampleTemperatureIfDue(s);
    EXPECT_EQ(adc.samples.size(), 7u) << "not due right after start";
    clock.Advance(9999);
    SampleTemperatureIfDue(s);
    EXPECT_EQ(adc.samples.size(), 7u) << "9.999 s is not more than 9 s";
    for (int i = 0; i < 6; ++i) {
        clock.Advance(10000);
        SampleTemperatureIfDue(s);
    }
    EXPECT_EQ(mem[438], 0) << "the failed read did not count as a sample";
    clock.Advance(10000);
    SampleTemperatureIfDue(s);
    EXPECT_EQ(mem[438], 78);
}

namespace {

// A proximity input that plays a sequence of readings, then repeats the last.
class ScriptedGpio final : public platform::Gpio {
public:
    explicit ScriptedGpio(std::string seq) : seq_(std::move(seq)) {}
    bool Export(int) override { return true; }
    bool SetDirection(int, const std::string&) override { return true; }
    bool Write(int, int) override { return true; }
    std::optional<char> ReadChar(int) override {
        if (seq_.empty()) return std::nullopt;
        char c = seq_[std::min(pos_, seq_.size() - 1)];
        ++pos_;
        return c;
    }

private:
    std::string seq_;
    std::size_t pos_ = 0;
};

}  // namespace

TEST(Proximity, FiveEqualReadingsWithinThreeSeconds) {
    platform::TestClock clock;
    platform::ScopedClock scope(clock);
    const struct { const char* seq; int expect; } cases[] = {
        {"000000", 0},
        {"111111", 1},
        {"0010000000000", 0},   // a bounce, then five equal
        {"", 1},                // unreadable
    };
    for (const auto& c : cases) {
        ScriptedGpio g(c.seq);
        platform::Gpio* prev = platform::SetGpio(&g);
        EXPECT_EQ(ProxiDisconn(), c.expect) << c.seq;
        platform::SetGpio(prev);
    }
    // Never settles: gives up after 3 s as disconnected.
    std::string flapping;
    for (int i = 0; i < 1000; ++i) flapping += (i % 2) ? '1' : '0';
    flapping += '0';
    ScriptedGpio g(flapping);
    platform::Gpio* prev = platform::SetGpio(&g);
    auto t0 = clock.MonotonicMs();
    EXPECT_EQ(ProxiDisconn(), 1);
    EXPECT_GE(clock.MonotonicMs() - t0, 3000);
    platform::SetGpio(prev);
}

TEST_F(StartUpTest, StartClearsTheChargerStateSelectionAndBoardAlarms) {
    mem[263] = 1;
    mem[475] = 1;
    mem[2205] = 0xFF;
    mem[2206] = 0xFF;
    StartUp(s, adc);
    EXPECT_EQ(mem[263], 0);
    EXPECT_EQ(mem[475], 0);
    EXPECT_EQ(map().get(ccsb::SHRMEM_CCS_BOARD_ALARM), 0);
}

TEST_F(StartUpTest, Eth0InfoKeepsTheMacInItsSlotAndRaisesTheInitAlarmOnFailure) {
    const std::string kMac = "02:11:22:33:44:55";
    const struct {
        const char* name;
        const char* addressFile;  // nullptr: missing
        std::uint8_t dhcp;
        bool alarm;
        std::string mac;
    } cases[] = {
        {"missing address file", nullptr, 1, true, "old"},
        {"empty MAC with DHCP", "", 0, true, ""},
        {"empty MAC with static addresses", "", 1, false, ""},
        {"MAC text", "02:11:22:33:44:55\n", 1, false, kMac},
        {"overlong text is cut to 17 bytes", "02:11:22:33:44:55:66:77:88\n", 1, false, kMac},
    };
    const std::string file = root.path() + "/sys/class/net/eth0/address";
    for (const auto& c : cases) {
        mem.assign(kMapSize, 0);
        std::filesystem::remove(file);
        if (c.addressFile != nullptr) std::ofstream(file) << c.addressFile;
        map().set(SHRMEM_ETH0_MAC, "old");
        mem[280] = c.dhcp;
        EXPECT_EQ(GetEth0Info(map()), 0) << c.name;
        EXPECT_EQ(map().get(ALARM_INIT_FAIL), c.alarm) << c.name;
        EXPECT_EQ(map().get(SHRMEM_ETH0_MAC), c.mac) << c.name;
        EXPECT_EQ(mem[299], 0) << c.name << ": the slot ends in a NUL";
    }
}

TEST_F(StartUpTest, RateOfTheCurrentLocalHourIsCopied) {
    for (unsigned h = 0; h < 24; ++h) map().set(RateTableEntry(h), static_cast<std::uint16_t>(0x0100 * h + 10 * h + 5));
    for (std::int64_t wall : {kGoodTime, kGoodTime + 5 * 3600, kGoodTime + 13 * 3600}) {
        clock.SetWallSeconds(wall);
        std::time_t t = static_cast<std::time_t>(wall);
        std::tm local{};
        localtime_r(&t, &local);
        const unsigned h = static_cast<unsigned>(local.tm_hour);
        const std::uint16_t entry = static_cast<std::uint16_t>(0x0100 * h + 10 * h + 5);
        EXPECT_FLOAT_EQ(GetRateOfHour(map()), entry / 10.0f) << h;
        EXPECT_EQ(mem[261], entry >> 8) << h;
        EXPECT_EQ(mem[262], entry & 0xFF) << h;
    }
}

TEST_F(StartUpTest, DhcpRemovesTheResolverFileAndEveryStartClearsARestoredSession) {
    const struct { std::uint8_t dhcp; bool resolverKept; } cases[] = {{0, false}, {1, true}};
    for (const auto& c : cases) {
        root.Make("/etc");
        std::ofstream(root.path() + "/etc/resolv.conf") << "nameserver 192.168.1.1\n";
        // A flash image saved in the middle of a session.
        std::vector<std::uint8_t> flash(262144, 0);
        std::uint8_t* image = flash.data() + 196608;
        image[280] = c.dhcp;
        image[2162] = 9;
        std::memset(image + 2197, 0x06, 4);
        image[2201] = 0;
        std::memset(image + 2207, 0x11, 7);
        image[145] = 255;  // an armed set-point
        image[2160] = 2;   // pilot state B
        {
            std::ofstream f(root.path() + "/dev/mtdblock4", std::ios::binary);
            f.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
        }
        mem.assign(kMapSize, 0);
        StartUp(s, adc);
        EXPECT_EQ(std::filesystem::exists(root.path() + "/etc/resolv.conf"), c.resolverKept) << int{c.dhcp};
        EXPECT_EQ(mem[2162], 0);
        EXPECT_EQ(map().get(SHRMEM_CCS_PLC_STATUS), 0u);
        EXPECT_EQ(mem[2201], 1);
        EXPECT_EQ(std::vector<std::uint8_t>(mem.begin() + 2207, mem.begin() + 2214), std::vector<std::uint8_t>(7, 0));
        EXPECT_EQ(mem[145], 0);
        EXPECT_EQ(mem[2160], 0);
    }
}

TEST_F(StartUpTest, ErasedOrBlankFlashStartsFromTheDefaults) {
    for (std::uint8_t blank : {0x00, 0xFF}) {
        {
            std::ofstream f(root.path() + "/dev/mtdblock4", std::ios::binary);
            const std::vector<char> flash(262144, static_cast<char>(blank));
            f.write(flash.data(), static_cast<std::streamsize>(flash.size()));
        }
        mem.assign(kMapSize, 0);
        testing::internal::CaptureStdout();
        StartUp(s, adc);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("[main] No settings in flash: writing defaults"), std::string::npos) << int{blank};
        EXPECT_EQ(map().ipv4Text(SHRMEM_ETH0_IP), "192.168.1.10") << int{blank};
        EXPECT_EQ(map().ipv4Text(SHRMEM_ETH0_NETMASK), "255.255.255.0") << int{blank};
        EXPECT_EQ(mem[343] & ~ALARM_INIT_FAIL.mask, 0) << int{blank} << ": only the missing test devices are alarmed";
        EXPECT_EQ(mem[145], 0) << int{blank};
        EXPECT_EQ(map().get(SHRMEM_SET_I1), 0) << int{blank};
    }
}

namespace {

// Writes GPIO operations and commands into one journal, to check how they interleave.
struct Journal {
    std::vector<std::string> lines;
};

class JournalGpio final : public platform::Gpio {
public:
    explicit JournalGpio(Journal& j) : j_(j) {}
    bool Export(int line) override { return note("export " + std::to_string(line)); }
    bool SetDirection(int line, const std::string& d) override { return note(std::to_string(line) + " " + d); }
    bool Write(int line, int v) override { return note(std::to_string(line) + " = " + std::to_string(v)); }
    std::optional<char> ReadChar(int) override { return '1'; }

private:
    bool note(std::string s) {
        j_.lines.push_back(std::move(s));
        return true;
    }
    Journal& j_;
};

class JournalRunner final : public platform::CommandRunner {
public:
    explicit JournalRunner(Journal& j) : j_(j) {}
    int Run(const platform::Command& c) override {
        j_.lines.push_back(c.text);
        return 0;
    }

private:
    Journal& j_;
};

}  // namespace

TEST_F(StartUpTest, OutputsAndCommandsInterleaveInStartUpOrder) {
    Journal j;
    JournalGpio gpio(j);
    JournalRunner journalRunner(j);
    platform::Gpio* prev = platform::SetGpio(&gpio);
    platform::ScopedRunner scope(journalRunner);
    StartUp(s, adc);
    platform::SetGpio(prev);
    auto out = [](int line, int v) {
        const std::string n = std::to_string(line);
        return std::vector<std::string>{"export " + n, n + " out", n + " = " + std::to_string(v)};
    };
    std::vector<std::string> want;
    for (auto [line, v] : {std::pair{87, 1}, {78, 0}, {72, 0}, {73, 0}}) {
        auto o = out(line, v);
        want.insert(want.end(), o.begin(), o.end());
    }
    for (const char* c : {"cd /root;./Tavish", "sync", "/sbin/ifconfig eth0 192.168.1.10 netmask 255.255.255.0",
                          "route add default gw 192.168.1.254 eth0", "/sbin/udhcpc -i eth0 -n -s /root/simple.script",
                          "export 43"}) {
        want.push_back(c);
    }
    for (auto [line, v] : {std::pair{72, 1}, {73, 0}, {79, 1}, {67, 0}, {45, 1}}) {
        auto o = out(line, v);
        want.insert(want.end(), o.begin(), o.end());
    }
    want.push_back("78 in");
    want.push_back("/root/Marlet &");
    want.push_back("/root/Grisel > /dev/ttyS0 &");
    EXPECT_EQ(j.lines, want);
}
