#include "display_variant.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>

#include "clock.h"
#include "command.h"
#include "files.h"
#include "gpio.h"
#include "paths.h"
#include "regmap_fields.h"
#include "settings.h"

namespace supervisor {

using namespace regmap;
using linkwire::LinkPort;
using platform::SystemPath;

namespace {

// GPIO lines of the variant.
enum : int {
    kGpioD1 = 82,
    kGpioD2 = 68,
    kGpioJ = 44,
    kGpioLock = 80,
    kGpioLockDetect = 85,
    kGpioContactor = 52,
    kGpioContactorFeedback = 83,
    kGpioBacklight = 63,
    kGpioBuzzer = 78,
};

int ReadLine(int line) {
    const std::optional<char> c = platform::GetGpio().ReadChar(line);
    if (!c || (*c != '0' && *c != '1')) return -1;
    return *c - '0';
}

// One byte from the reader within `ms`; -1 when none came.
int ReadByte(LinkPort& line, int ms) {
    std::uint8_t b = 0;
    return linkwire::GatherFrame(line, &b, 1, ms) == 1 ? b : -1;
}

bool WriteBytes(LinkPort& line, const std::uint8_t* b, std::size_t n) { return linkwire::WriteFrame(line, b, n, 1000); }

std::unique_ptr<std::uint8_t[]> ReadDevice(const std::string& systemPath, std::size_t len) {
    std::unique_ptr<std::uint8_t[]> buf(new (std::nothrow) std::uint8_t[len]);
    if (!buf || platform::ReadFileBytes(systemPath, buf.get(), len) != static_cast<ssize_t>(len)) return nullptr;
    return buf;
}

}  // namespace

// ---- Card reader -------------------------------------------------------------

bool CardExchange(LinkPort& line, const std::vector<std::uint8_t>& command, std::vector<std::uint8_t>& answer,
                  int answerMs) {
    answer.clear();
    const std::uint8_t wake = 0x55, go = 0x5A;
    if (!WriteBytes(line, &wake, 1) || ReadByte(line, 2000) != 0xAA) return false;
    if (!WriteBytes(line, command.data(), command.size()) || ReadByte(line, 2000) != 0xA5) return false;
    if (!WriteBytes(line, &go, 1)) return false;
    const int len = ReadByte(line, answerMs);
    if (len < 1) return false;
    answer.resize(static_cast<std::size_t>(len));
    answer[0] = static_cast<std::uint8_t>(len);
    if (len > 1 && linkwire::GatherFrame(line, answer.data() + 1, answer.size() - 1, answerMs) != answer.size() - 1) {
        answer.clear();
        return false;
    }
    return true;
}

std::vector<std::uint8_t> SetBlockCommand(std::uint8_t block, const std::uint8_t data[4]) {
    std::uint16_t sum = static_cast<std::uint16_t>(block + 19);
    for (int i = 0; i < 4; ++i) sum = static_cast<std::uint16_t>(sum + data[i]);
    return {0x0A, 0x08, 0x01, block, data[0], data[1], data[2], data[3],
            static_cast<std::uint8_t>(sum & 0xFF), static_cast<std::uint8_t>(sum >> 8)};
}

int ConnectionRFID(LinkPort& line) {
    std::vector<std::uint8_t> answer;
    return CardExchange(line, {0x06, 0x01, 0x05, 0x0A, 0x16, 0x00}, answer, 5000) && answer.size() == 6 ? 1 : 0;
}

int SearchTag(LinkPort& line, std::vector<std::uint8_t>& id) {
    std::vector<std::uint8_t> answer;
    id.clear();
    if (!CardExchange(line, {0x05, 0x09, 0x00, 0x0E, 0x00}, answer) || answer.size() < 2) return 0;
    id.assign(answer.begin() + 1, answer.end());
    return 1;
}

int CardTagVerify(LinkPort& line) {
    std::vector<std::uint8_t> answer;
    if (!CardExchange(line, {0x06, 0x08, 0x00, 0x08, 0x16, 0x00}, answer)) return 0;
    static constexpr std::uint8_t kMarker[] = {'V', 'N', 'T', 'A'};
    return std::search(answer.begin(), answer.end(), std::begin(kMarker), std::end(kMarker)) != answer.end() ? 1 : 0;
}

int SetBlock(LinkPort& line, std::uint8_t block, const std::uint8_t data[4]) {
    std::vector<std::uint8_t> answer;
    if (!CardExchange(line, SetBlockCommand(block, data), answer)) return 0;
    return answer.size() >= 3 && answer[1] == 0x08 && answer[2] == 0x01 ? 1 : 0;
}

int PowerCard(const RegisterMap& map, int type) {
    const std::size_t n = type < 5 ? 8 : 14;
    const std::string tag = map.get(SHRMEM_ID_TAG);
    if (tag.size() < n) return 0;
    const std::string path = SystemPath("/root/Brannock");
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > kCardListLimit) return 0;
    const std::string list = platform::ReadTextFile(path, kCardListLimit);
    std::size_t at = 0;
    while (at < list.size()) {
        std::size_t end = list.find('\n', at);
        if (end == std::string::npos) end = list.size();
        if (end - at >= n && list.compare(at, n, tag, 0, n) == 0) return 1;
        at = end + 1;
    }
    return 0;
}

int CardVerify(const RegisterMap& map) {
    platform::Clock& clock = platform::GetClock();
    const std::int64_t start = clock.MonotonicMs();
    for (;;) {
        const std::string tag = map.get(SHRMEM_ID_TAG);
        if (tag.find("ok") != std::string::npos) return 1;
        if (tag.find("ng") != std::string::npos) return 0;
        if (clock.MonotonicMs() - start >= 10000) return 2;
        clock.SleepMs(100);
    }
}

// ---- Display -----------------------------------------------------------------

int HMISendCMD(LinkPort* line, std::uint32_t command, std::uint32_t sub, const std::uint8_t* payload,
               std::uint32_t len) {
    if (line == nullptr) return 0;
    std::vector<std::uint8_t> msg(12 + static_cast<std::size_t>(len));
    const std::uint32_t words[3] = {command, sub, len};
    std::memcpy(msg.data(), words, sizeof words);
    if (len > 0) std::memcpy(msg.data() + 12, payload, len);
    return WriteBytes(*line, msg.data(), msg.size()) ? 1 : 0;
}

std::uint32_t StopReasonCode(std::uint8_t reason) {
    static constexpr std::pair<std::uint8_t, std::uint32_t> kCodes[] = {
        {2, 123002}, {3, 300001}, {5, 114002}, {6, 114003}, {7, 111004}, {9, 222009},
        {10, 113001}, {11, 114001}, {13, 123001}, {14, 111006}, {15, 113002},
    };
    for (const auto& [r, code] : kCodes) {
        if (r == reason) return code;
    }
    return 0;
}

int SetClockFromText(RegisterMap& map, std::string_view text) {
    // "YYYY-MM-DD hh:mm:ss": only digits where digits belong, so nothing but a
    // time reaches the command.
    static constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd";
    if (text.size() != kShape.size()) return 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return 0;
    }
    auto num = [&](std::size_t at, std::size_t n) {
        int v = 0;
        for (std::size_t i = 0; i < n; ++i) v = v * 10 + (text[at + i] - '0');
        return v;
    };
    const int year = num(0, 4), month = num(5, 2), day = num(8, 2);
    const int hour = num(11, 2), minute = num(14, 2), second = num(17, 2);
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1970 || month < 1 || month > 12) return 0;
    const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    if (day < 1 || day > days || hour > 23 || minute > 59 || second > 59) return 0;
    const std::string t(text);
    if (platform::RunCommand("date -s \"" + t + "\"", {"date", "-s", t}) != 0) return 0;
    map.set(SHRMEM_CLOCK_CHANGED, 1);
    return 1;
}

// ---- Flash and boot loader ---------------------------------------------------

std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t len) {
    static const std::array<std::uint32_t, 256> crc_table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < len; ++i) crc = crc_table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

int StoreFlash(const RegisterMap& map, std::size_t first, std::size_t count) {
    if (first > kSettingsImageSize || count > kSettingsImageSize - first) return 0;
    const std::string device = SystemPath(kFlashDevice);
    std::unique_ptr<std::uint8_t[]> image = ReadDevice(device, kSettingsImageSize);
    if (!image) return 0;
    std::memcpy(image.get() + first, map.bytes(Bytes{static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(count)}),
                count);
    return platform::WriteFileBytesAt(device, 0, image.get(), kSettingsImageSize) ? 1 : 0;
}

int RestoreFactory(RegisterMap& map) {
    const std::string device = SystemPath(kFlashDevice);
    std::unique_ptr<std::uint8_t[]> image = ReadDevice(device, kFlashSize);
    if (!image) return 0;
    std::memcpy(image.get(), image.get() + kFlashSettingsOffset, kSettingsImageSize);
    if (!platform::WriteFileBytesAt(device, 0, image.get(), kSettingsImageSize)) return 0;
    std::memcpy(map.bytes(Bytes{0, static_cast<std::uint32_t>(kFlashSize)}), image.get(), kFlashSize);
    return 1;
}

namespace {

// The environment's data: "name=value" strings, each ended by a NUL, the
// list ended by an empty one. Replaces or adds `name`; false when the data is
// not such a list or the entry does not fit.
bool SetEnvEntry(std::uint8_t* data, std::size_t size, const std::string& name, const std::string& value) {
    std::vector<std::string> entries;
    std::size_t at = 0;
    for (;;) {
        if (at >= size) return false;  // no end of the list within the block
        const auto* start = data + at;
        const auto* nul = static_cast<const std::uint8_t*>(std::memchr(start, 0, size - at));
        if (nul == nullptr) return false;
        if (nul == start) break;
        std::string e(reinterpret_cast<const char*>(start), static_cast<std::size_t>(nul - start));
        if (e.compare(0, name.size() + 1, name + "=") != 0) entries.push_back(std::move(e));
        at += static_cast<std::size_t>(nul - start) + 1;
    }
    entries.push_back(name + "=" + value);
    std::size_t need = 1;
    for (const std::string& e : entries) need += e.size() + 1;
    if (need > size) return false;
    std::memset(data, 0, size);
    at = 0;
    for (const std::string& e : entries) {
        std::memcpy(data + at, e.data(), e.size());
        at += e.size() + 1;
    }
    return true;
}

}  // namespace

int FWUP(RegisterMap& map) {
    auto fail = [&map] {
        map.setShared(ALARM_BOOT_ENV_UPDATE, true);
        return 0;
    };
    const std::string device = SystemPath(kBootEnvDevice);
    std::unique_ptr<std::uint8_t[]> env(new (std::nothrow) std::uint8_t[kBootEnvSize]);
    if (!env) return fail();
    std::uint8_t* data = env.get() + 4;
    const std::size_t dataSize = kBootEnvSize - 4;
    std::unique_ptr<std::uint8_t[]> whole = ReadDevice(device, kBootEnvOffset + kBootEnvSize);
    if (!whole) return fail();
    std::memcpy(env.get(), whole.get() + kBootEnvOffset, kBootEnvSize);
    whole.reset();
    std::uint32_t stored = 0;
    std::memcpy(&stored, env.get(), 4);  // the boot loader keeps it in the board's byte order
    if (stored != crc32(0, data, dataSize)) return fail();
    const std::string value = "setenv ipaddr " + map.ipv4Text(SHRMEM_ETH0_IP) + ";" +
                              "setenv netmask " + map.ipv4Text(SHRMEM_ETH0_NETMASK) + ";" +
                              "setenv gatewayip " + map.ipv4Text(SHRMEM_ETH0_GATEWAY) + ";" +
                              "setenv serverip " + map.ipv4Text(SHRMEM_FW_SERVER_IP) +
                              ";tftp 3000000 LmqKImage;tftp 4000000 LmqFImage;";
    if (!SetEnvEntry(data, dataSize, "update", value)) return fail();
    const std::uint32_t crc = crc32(0, data, dataSize);
    std::memcpy(env.get(), &crc, 4);
    if (!platform::WriteFileBytesAt(device, kBootEnvOffset, env.get(), kBootEnvSize)) return fail();
    map.setShared(ALARM_BOOT_ENV_UPDATE, false);
    return 1;
}

int ScenarioUP(RegisterMap& map) {
    const std::string path = SystemPath(kScenarioFile);
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    std::unique_ptr<std::uint8_t[]> buf;
    if (!ec && size > 0 && size <= kFlashSize) buf = ReadDevice(path, static_cast<std::size_t>(size));
    if (!buf || !platform::WriteFileBytesAt(SystemPath(kFlashDevice), 0, buf.get(), static_cast<std::size_t>(size))) {
        map.setShared(ALARM_CCS_BOARD_UPDATE, true);
        return 0;
    }
    map.setShared(ALARM_CCS_BOARD_UPDATE, false);
    return 1;
}

int Ntpdate(const RegisterMap& map) {
    const std::string server = map.ipv4Text(SHRMEM_NTP_SERVER_IP);
    return platform::RunCommand("/root/ntpdate " + server, {SystemPath("/root/ntpdate"), server}) == 0 ? 1 : 0;
}

int SaveSystemLog() {
    if (platform::RunCommand("mount /dev/sda1 /mnt/media",
                             {"mount", SystemPath("/dev/sda1"), SystemPath("/mnt/media")}) != 0) {
        return 0;
    }
    const int rc = platform::RunCommand("cp -rf /root/SystemLog /mnt/media",
                                        {"cp", "-rf", SystemPath("/root/SystemLog"), SystemPath("/mnt/media")});
    platform::RunCommand("umount /mnt/media", {"umount", SystemPath("/mnt/media")});
    return rc == 0 ? 1 : 0;
}

// ---- CHAdeMO and contactor signals -------------------------------------------

void SwitchD1D2(int d1, int d2) {
    platform::GetGpio().Output(kGpioD1, d1 ? 1 : 0);
    platform::GetGpio().Output(kGpioD2, d2 ? 1 : 0);
}

void GetD1D2(int& d1, int& d2) {
    d1 = ReadLine(kGpioD1);
    d2 = ReadLine(kGpioD2);
}

int GetOptoJ() { return ReadLine(kGpioJ); }

int ConnectorLock(int lock) {
    if (lock == 0 || lock == 1) platform::GetGpio().Output(kGpioLock, lock);
    platform::GetClock().SleepMs(5);
    const int detect = ReadLine(kGpioLockDetect);
    return detect < 0 ? -1 : 1 - detect;
}

int SwitchSS(RegisterMap& map, int on) {
    const int want = on ? 1 : 0;
    if (want) {
        platform::RunCommand("ip link set can0 type can bitrate 250000",
                             {"ip", "link", "set", "can0", "type", "can", "bitrate", "250000"});
        platform::RunCommand("ip link set can0 up", {"ip", "link", "set", "can0", "up"});
    } else {
        platform::RunCommand("ip link set can0 down", {"ip", "link", "set", "can0", "down"});
    }
    platform::GetGpio().Output(kGpioContactor, want);
    platform::Clock& clock = platform::GetClock();
    int mismatches = 0;
    for (int second = 0; second < 5 && mismatches < 4; ++second) {
        clock.SleepMs(1000);
        if (ReadLine(kGpioContactorFeedback) == want) {
            map.setShared(ALARM_CONTACTOR_FEEDBACK, false);
            return 1;
        }
        ++mismatches;
    }
    map.setShared(ALARM_CONTACTOR_FEEDBACK, true);
    return 0;
}

void LCDBlackLight(int on) { platform::GetGpio().Output(kGpioBacklight, on ? 1 : 0); }

void SystemBuzzer(int on) { platform::GetGpio().Output(kGpioBuzzer, on ? 1 : 0); }

void LEDSwitch(int) {}

}  // namespace supervisor
