#include "startup.h"

#include <filesystem>
#include <string>

#include "clock.h"
#include "command.h"
#include "files.h"
#include "gpio.h"
#include "link_slave.h"
#include "netinfo.h"
#include "paths.h"
#include "regmap_fields.h"
#include "serial.h"
#include "settings.h"

namespace supervisor {

using namespace regmap;
using platform::Command;

namespace {

void Run(const std::string& text, std::vector<std::string> argv, const std::string& cwd = "",
         const std::string& out = "", bool background = false) {
    platform::Runner().Run(Command{text, std::move(argv), out, cwd, background});
}

void Print(const std::string& text) {
    std::printf("[main] %s\n", text.c_str());
    std::fflush(stdout);
}

}  // namespace

std::uint16_t ConvertPlugTemperature(std::int32_t r) {
    // Wide enough that no 32-bit reading can overflow the arithmetic.
    const std::int64_t celsius = (5 * std::int64_t{r} - 6945) / 9 + 65;
    return static_cast<std::uint16_t>(celsius / 5);
}

void PlugTemperature::Sample(RegisterMap& map, std::int32_t r) {
    sum_ = static_cast<std::uint16_t>(sum_ + ConvertPlugTemperature(r));
    if (count_ == 5) {
        map.set(ccsb::SHRMEM_CCS_PLUG_TEMP_SUM, sum_);
        sum_ = 0;
        count_ = 0;
    } else {
        ++count_;
    }

    Zone seen;
    if (r > 2399 || r <= 150) seen = kSensorFault;
    else if (r > 1406) seen = kOverTemperature;
    else if (r <= 1389) seen = kNormal;
    else return;  // hysteresis band: nothing changes

    if (seen != zone_) {
        zone_ = seen;
        counter_ = 0;
    }
    if (counter_ < 10) ++counter_;
    if (counter_ < 10) return;
    map.set(ALARM_CONNECTOR_SENSOR_BROKEN, zone_ == kSensorFault);
    map.set(ALARM_CONNECTOR_OTP, zone_ == kOverTemperature);
}

int ProxiDisconn() {
    platform::Gpio& gpio = platform::GetGpio();
    platform::Clock& clock = platform::GetClock();
    const std::int64_t start = clock.MonotonicMs();
    if (!gpio.ReadChar(78)) return 1;
    while (clock.MonotonicMs() - start < 3000) {
        char seen[5];
        bool readable = true;
        for (char& c : seen) {
            auto v = gpio.ReadChar(78);
            if (!v) readable = false;
            c = v.value_or('?');
            clock.SleepMs(10);
        }
        if (!readable) continue;
        if (seen[0] == seen[1] && seen[0] == seen[2] && seen[0] == seen[3] && seen[0] == seen[4]) return seen[0] & 1;
    }
    return 1;
}

int GetEth0Info(RegisterMap& map) {
    const std::string addressFile = platform::SystemPath("/sys/class/net/eth0/address");
    std::uint8_t mac[17];
    ssize_t n = platform::ReadFileBytes(addressFile, mac, sizeof mac);
    if (n < 0) {
        map.set(ALARM_INIT_FAIL, true);
        return 0;
    }
    map.clear(SHRMEM_ETH0_MAC);
    map.set(SHRMEM_ETH0_MAC, std::string(reinterpret_cast<const char*>(mac), static_cast<std::size_t>(n)));
    if (map.get(SHRMEM_DHCP) != 0) return 0;
    if (n == 0) {
        map.set(ALARM_INIT_FAIL, true);
        return 0;
    }

    auto ip = platform::InterfaceIpv4("eth0");
    if (!ip) {
        map.set(ALARM_INIT_FAIL, true);
        return 0;
    }
    map.set(SHRMEM_ETH0_IP, ip->address);
    map.set(SHRMEM_ETH0_NETMASK, ip->netmask);

    std::uint32_t fallback = 0;
    ParseIpv4("192.168.1.254", fallback);
    std::string operstate = platform::ReadTextFile(platform::SystemPath("/sys/class/net/eth0/operstate"));
    if (operstate.find("up") == std::string::npos) {
        map.set(SHRMEM_ETH0_GATEWAY, fallback);
        return 0;
    }
    map.set(SHRMEM_ETH0_GATEWAY, platform::KernelDefaultGateway().value_or(fallback));
    return 0;
}

float GetRateOfHour(RegisterMap& map) {
    const unsigned hour = static_cast<unsigned>(common::LocalNow().tm_hour);
    const std::uint16_t rate = map.get(RateTableEntry(hour));
    map.set(SHRMEM_RATE_NOW_HIGH, rate >> 8);
    map.set(SHRMEM_RATE_NOW_LOW, rate & 0xFF);
    return static_cast<float>(rate) / 10.0f;
}

void StartUp(Supervisor& s, platform::Adc& adc) {
    RegisterMap& map = s.map;
    platform::Gpio& gpio = platform::GetGpio();
    platform::Clock& clock = platform::GetClock();

    // Board outputs.
    gpio.Output(87, 1);
    gpio.Output(78, 0);
    gpio.Output(72, 0);
    gpio.Output(73, 0);

    Run("cd /root;./Tavish", {"/root/Tavish"}, "/root");
    Run("sync", {"sync"});

    if (FlashToShrMem(map) == 1) {
        Print("Settings restored from flash");
    } else {
        Print("No settings in flash: writing defaults");
        WriteDefaults(map);
    }
    ClearCcsRunTimeFields(map);
    // A set-point armed and a pilot state saved with the image belong to a
    // session that ended with the last run.
    map.set(SHRMEM_SET_PENDING, 0);
    map.set(SHRMEM_CCS_PILOT_STATE, 0);

    if (clock.WallSeconds() <= kClockValidAfter) {
        Run("date -s \"1970.01.01-00:00:00\"", {"date", "-s", "1970.01.01-00:00:00"});
        map.set(SHRMEM_CLOCK_CHANGED, 1);
    }

    const std::string ip = map.ipv4Text(SHRMEM_ETH0_IP);
    const std::string mask = map.ipv4Text(SHRMEM_ETH0_NETMASK);
    const std::string gw = map.ipv4Text(SHRMEM_ETH0_GATEWAY);
    Run("/sbin/ifconfig eth0 " + ip + " netmask " + mask, {"/sbin/ifconfig", "eth0", ip, "netmask", mask});
    Run("route add default gw " + gw + " eth0", {"route", "add", "default", "gw", gw, "eth0"});
    clock.SleepMs(2000);
    if (map.get(SHRMEM_DHCP) == 0) {
        std::error_code ec;
        std::filesystem::remove(platform::SystemPath("/etc/resolv.conf"), ec);
        Run("/sbin/udhcpc -i eth0 -n -s /root/simple.script",
            {"/sbin/udhcpc", "-i", "eth0", "-n", "-s", platform::SystemPath("/root/simple.script")});
    }

    map.set(SHRMEM_SUPERVISOR_STARTED, 0x80);
    map.set(SHRMEM_FW_VERSION, (kFirmwareVersion & 0xFFFFFF00u) | 1u);
    GetEth0Info(map);
    map.set(SHRMEM_CHARGER_STATE, 0);
    GetRateOfHour(map);
    s.temperature.Reset();

    // Temperature ADC.
    gpio.Export(43);
    s.adc = &adc;
    static const std::uint32_t kChannel[] = {1, 0, 2500, 0, 0, 1000000, 0};
    static const std::uint32_t kSampling[] = {5, 0, 1000000, 0};
    if (!adc.Open(platform::SystemPath("/dev/adc5")) || !adc.Configure(kAdcConfigRequest, kChannel, std::size(kChannel)) ||
        !adc.Configure(kAdcConfigRequest, kSampling, std::size(kSampling))) {
        adc.Close();
        map.set(ALARM_INIT_FAIL, true);
    }

    // Board link line.
    s.line = platform::OpenSerial(platform::SystemPath("/dev/ttyS2"));
    if (s.line < 1) {
        map.set(ALARM_INIT_FAIL, true);
    } else {
        platform::FlushInput(s.line);
    }

    gpio.Output(72, 1);
    gpio.Output(73, 0);
    gpio.Output(79, 1);
    gpio.Output(67, 0);
    gpio.Output(45, 1);
    gpio.SetDirection(78, "in");

    map.set(ccsb::SHRMEM_CCS_BOARD_ALARM, 0);
    // The model maximum current (defEVSEmodelMaxCur) caps the settings frame in the link's hooks.
    map.set(SHRMEM_CCS_SELECTED, 0);

    Run("/root/Marlet &", {"/root/Marlet"}, "", "", true);
    Run("/root/Grisel > /dev/ttyS0 &", {"/root/Grisel"}, "", "/dev/ttyS0", true);

    s.lastSample = common::MonotonicNow();
    map.set(SHRMEM_CCS_EV_PROXIMITY, 1);
    Print("Start-up done, serving the board link");
}

void SampleTemperatureIfDue(Supervisor& s) {
    const common::TimeStamp now = common::MonotonicNow();
    if (common::DiffTimeb(now, s.lastSample) / 1000 <= 9) return;
    s.lastSample = now;
    if (s.adc == nullptr) return;
    // A failed read gives no sample rather than a made-up one.
    if (auto r = s.adc->Read()) s.temperature.Sample(s.map, *r);
}

void LoopPass(Supervisor& s) {
    SampleTemperatureIfDue(s);
    ServeBoardLink(s.map, s.line);
}

}  // namespace supervisor
