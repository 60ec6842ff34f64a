#include "auth_cache.h"

#include <strings.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <vector>

#include "clock.h"
#include "files.h"
#include "paths.h"

namespace ocppj {

namespace {

constexpr std::string_view kCacheEol = "\r\n";

// Reads an unsigned decimal of at most `maxDigits` digits at `pos`.
bool Number(std::string_view t, std::size_t& pos, unsigned maxDigits, unsigned* out) {
    unsigned v = 0, n = 0;
    while (pos < t.size() && t[pos] >= '0' && t[pos] <= '9' && n < maxDigits) {
        v = v * 10 + static_cast<unsigned>(t[pos] - '0');
        ++pos;
        ++n;
    }
    *out = v;
    return n > 0;
}

// The four fields of one line (without its CR LF); false when there are not four.
bool SplitLine(std::string_view line, std::string_view f[4]) {
    std::size_t start = 0;
    for (int k = 0; k < 3; ++k) {
        const std::size_t bar = line.find('|', start);
        if (bar == std::string_view::npos) return false;
        f[k] = line.substr(start, bar - start);
        start = bar + 1;
    }
    f[3] = line.substr(start);
    for (int k = 0; k < 4; ++k) f[k] = f[k].substr(0, kCacheFieldMax);
    return true;
}

std::string_view AfterBlank(std::string_view f) { return !f.empty() && f[0] == ' ' ? f.substr(1) : f; }

// The first field of a line.
std::string_view CacheLineTag(std::string_view line) { return line.substr(0, line.find('|')); }

}  // namespace

bool SameIdTag(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool date2timestamp(std::string_view text, std::int64_t* out) {
    unsigned v[6];
    const char seps[] = {'-', '-', 'T', ':', ':'};
    std::size_t pos = 0;
    for (int k = 0; k < 6; ++k) {
        while (pos < text.size() && text[pos] == ' ') ++pos;  // "%u" skips leading blanks
        if (!Number(text, pos, 9, &v[k])) return false;
        if (k < 5) {
            if (pos >= text.size() || text[pos] != seps[k]) return false;
            ++pos;
        }
    }
    if (v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 23 || v[4] > 59 || v[5] > 59) return false;
    if (v[0] < 1900 || v[0] > 9999) return false;
    std::tm tm{};
    tm.tm_year = static_cast<int>(v[0]) - 1900;
    tm.tm_mon = static_cast<int>(v[1]) - 1;
    tm.tm_mday = static_cast<int>(v[2]);
    tm.tm_hour = static_cast<int>(v[3]);
    tm.tm_min = static_cast<int>(v[4]);
    tm.tm_sec = static_cast<int>(v[5]);
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return false;
    *out = static_cast<std::int64_t>(t);
    return true;
}

int CheckCacheText(std::string_view content, std::string_view idTag, std::int64_t now, std::string* parent) {
    if (content.empty()) return kCacheUnknown;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t eol = content.find(kCacheEol, pos);
        if (eol == std::string_view::npos) return kCacheUnknown;  // a torn last line is no record
        const std::string_view line = content.substr(pos, eol - pos);
        pos = eol + kCacheEol.size();
        std::string_view f[4];
        if (!SplitLine(line, f) || !SameIdTag(f[0], idTag)) continue;
        const std::string_view expiry = AfterBlank(f[1]);
        std::size_t at = 0;
        unsigned long long e = 0;
        bool digits = !expiry.empty();
        for (; at < expiry.size() && digits; ++at) {
            if (expiry[at] < '0' || expiry[at] > '9' || e > 1000000000000ULL) digits = false;
            else e = e * 10 + static_cast<unsigned>(expiry[at] - '0');
        }
        if (digits && e != 0 && now >= static_cast<std::int64_t>(e)) return kCacheRefused;
        const std::string_view p = AfterBlank(f[2]);
        if (!p.empty() && parent != nullptr) *parent = std::string(p);
        return f[3] == "0" ? kCacheAccepted : kCacheRefused;
    }
}

bool UpdateCacheText(std::string& content, std::string_view idTag, std::string_view expiryDate,
                     std::string_view parentIdTag, int status) {
    if (idTag.empty() || (status != 0 && status != 1)) return false;
    // A field may hold no bar and no line end, or the line cannot be read back.
    for (std::string_view f : {idTag, parentIdTag})
        if (f.find_first_of("|\r\n") != std::string_view::npos) return false;

    // Only complete lines are kept: a tail without its CR LF would run into
    // the new line.
    const std::size_t lastEol = content.rfind(kCacheEol);
    content.resize(lastEol == std::string::npos ? 0 : lastEol + kCacheEol.size());

    bool removed = false;
    for (std::size_t pos = 0; pos < content.size();) {
        const std::size_t end = content.find(kCacheEol, pos) + kCacheEol.size();
        if (SameIdTag(CacheLineTag(std::string_view(content).substr(pos, end - pos - kCacheEol.size())), idTag)) {
            content.erase(pos, end - pos);
            removed = true;
        } else {
            pos = end;
        }
    }
    if (!removed && content.size() >= kCacheFullBytes) {
        content.erase(0, content.find(kCacheEol) + kCacheEol.size());
    }

    std::string expiry;
    std::int64_t e = 0;
    if (!expiryDate.empty() && date2timestamp(expiryDate, &e)) expiry = std::to_string(e);
    content.append(idTag);
    content.append("| ").append(expiry);
    content.append("| ").append(parentIdTag);
    content.append("|").append(1, static_cast<char>('0' + status));
    content.append(kCacheEol);
    return true;
}

void AuthCache::Init(const std::string& storagePath) {
    std::string dir = storagePath;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    path_ = platform::SystemPath(dir + "[Fennick]OCPP_Cache");
    std::error_code ec;
    if (std::filesystem::exists(path_, ec)) return;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
    platform::ReplaceFile(path_, std::string());
}

void AuthCache::Clear() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
}

bool AuthCache::Read(std::string* content) const {
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) {
        content->clear();
        return !ec;
    }
    return platform::ReadFileAtMost(path_, kCacheMaxBytes, content);
}

int AuthCache::Update(std::string_view idTag, std::string_view expiryDate, std::string_view parentIdTag,
                      int status) {
    std::string content;
    if (path_.empty() || !Read(&content)) return 1;
    if (!UpdateCacheText(content, idTag, expiryDate, parentIdTag, status)) return 1;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
    return platform::ReplaceFile(path_, content) ? 0 : 1;
}

int AuthCache::Check(std::string_view idTag, std::string* parent) {
    std::string content;
    if (path_.empty() || !Read(&content)) return kCacheRefused;
    return CheckCacheText(content, idTag, platform::GetClock().WallSeconds(), parent);
}

}  // namespace ocppj
