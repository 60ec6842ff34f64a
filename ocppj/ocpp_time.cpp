#include "ocpp_time.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <ctime>

#include "clock.h"
#include "files.h"
#include "paths.h"
#include "syslog.h"
#include "timeutil.h"

namespace ocppj {
namespace {

// Reads exactly `n` digits at `pos`.
bool Digits(std::string_view t, std::size_t& pos, int n, int& out) {
    if (pos + n > t.size()) return false;
    out = 0;
    for (int i = 0; i < n; ++i) {
        char c = t[pos + i];
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        out = out * 10 + (c - '0');
    }
    pos += n;
    return true;
}

bool Expect(std::string_view t, std::size_t& pos, char c) {
    if (pos >= t.size() || t[pos] != c) return false;
    ++pos;
    return true;
}

}  // namespace

std::int64_t UtcToEpoch(std::string_view t) {
    std::size_t p = 0;
    int y, mo, d, h, mi, s;
    if (!Digits(t, p, 4, y) || !Expect(t, p, '-') || !Digits(t, p, 2, mo) || !Expect(t, p, '-') ||
        !Digits(t, p, 2, d) || !Expect(t, p, 'T') || !Digits(t, p, 2, h) || !Expect(t, p, ':') ||
        !Digits(t, p, 2, mi) || !Expect(t, p, ':') || !Digits(t, p, 2, s))
        return 0;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return 0;
    if (p < t.size() && t[p] == '.') {
        ++p;
        std::size_t start = p;
        while (p < t.size() && std::isdigit(static_cast<unsigned char>(t[p]))) ++p;
        if (p == start) return 0;
    }
    std::int64_t offset = 0;
    if (p < t.size()) {
        char z = t[p++];
        if (z == 'Z') {
        } else if (z == '+' || z == '-') {
            int oh, om;
            if (!Digits(t, p, 2, oh) || !Expect(t, p, ':') || !Digits(t, p, 2, om) || oh > 23 || om > 59) return 0;
            offset = (z == '+' ? 1 : -1) * (oh * 3600 + om * 60);
        } else {
            return 0;
        }
    }
    if (p != t.size()) return 0;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    std::int64_t e = static_cast<std::int64_t>(timegm(&tm)) - offset;
    return e < 0 ? 0 : e;
}

int RecordFennickLog(const fennick::FennickApp& app, std::string_view text) {
    std::size_t n = 0;
    while (n < sizeof app.ocppLogDir && app.ocppLogDir[n]) ++n;
    std::string dir(app.ocppLogDir, n);
    if (dir.empty() || dir.front() != '/') return 1;
    if (dir.back() != '/') dir += '/';
    std::tm tm = common::LocalNow();
    char name[64];
    std::snprintf(name, sizeof name, "[%04d.%02d]Fennick_Log.csv", tm.tm_year + 1900, tm.tm_mon + 1);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d.%02d.%02d %02d:%02d:%02d-", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    std::string line = stamp;
    line.append(common::EscapeForLog(text));
    line += '\n';
    std::string path = platform::SystemPath(dir);
    // mkdir -p of the log directory
    for (std::size_t i = 1; i < path.size(); ++i)
        if (path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
    platform::AppendToFile(path + name, line);
    return 1;
}

}  // namespace ocppj
