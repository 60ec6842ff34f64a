#include "syslog.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <map>

#include "clock.h"
#include "command.h"
#include "files.h"
#include "paths.h"
#include "timeutil.h"

namespace common {

namespace {

// "YYYY.MM.DD hh:mm:ss - " of one reading of the clock.
std::string Stamp(const std::tm& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d.%02d.%02d %02d:%02d:%02d - ", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

std::string Month(const std::tm& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "[%04d.%02d]", t.tm_year + 1900, t.tm_mon + 1);
    return buf;
}

// Lines that could not be written, per file (by its real path), since the
// last one that was.
std::map<std::string, unsigned>& LostLines() {
    static std::map<std::string, unsigned> lost;
    return lost;
}

std::string Line(const std::tm& t, std::string_view text) {
    std::string line = Stamp(t);
    line.append(EscapeForLog(text.substr(0, kMaxLogText)));
    line.push_back('\n');
    return line;
}

const char* ProgramName() { return program_invocation_short_name; }

void AppendLine(const std::tm& t, const std::string& file, std::string_view text) {
    const std::string path = platform::SystemPath(file);
    if (!platform::AppendToFile(path, Line(t, text))) {
        ++LostLines()[path];
        return;
    }
    const auto it = LostLines().find(path);
    if (it == LostLines().end()) return;
    const unsigned lost = it->second;
    LostLines().erase(it);
    const std::string note = FormatLogText("[%s] %u line(s) of %s lost: they could not be written", ProgramName(),
                                           lost, file.c_str());
    if (file.find("/Storage/SystemLog/") == 0) {
        if (!platform::AppendToFile(path, Line(t, note))) LostLines()[path] += lost + 1;
    } else {
        RecordSysLog(note);
    }
}

// The command runner's waits and time-outs go to the system log, each kind
// of wait at most once a minute with its count.
void NoteWait(const std::string& key, const std::string& text) {
    static std::map<std::string, RepeatLog> logs;
    logs[key].Record(FormatLogText("[%s] %s", ProgramName(), text.c_str()));
}

[[maybe_unused]] const bool g_noticeInstalled = (platform::SetWaitNotice(&NoteWait), true);

}  // namespace

std::string EscapeForLog(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

int RecordSysLog(std::string_view text) {
    const std::tm t = LocalNow();  // one reading for the line and its file
    AppendLine(t, "/Storage/SystemLog/" + Month(t) + "SystemLog", text);
    return 0;
}

namespace {
std::string VFormat(const char* format, va_list ap) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, ap);
    return text;
}
}  // namespace

int RecordSysLogf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = VFormat(format, ap);
    va_end(ap);
    return RecordSysLog(text);
}

std::string FormatLogText(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = VFormat(format, ap);
    va_end(ap);
    return text;
}

std::string EventFileName(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || u < 0x20 || u == 0x7F) c = '_';
    }
    return out;
}

int RecordEvtLog(std::string_view name, std::string_view text) {
    const std::tm t = LocalNow();
    AppendLine(t, "/Storage/Events/" + Month(t) + EventFileName(name) + "_Events.csv", text);
    return 0;
}

bool RepeatLog::Record(std::string_view text) {
    const std::int64_t now = platform::GetClock().MonotonicMs();
    if (logged_ && now - lastMs_ < periodMs_) {
        ++held_;
        return false;
    }
    std::string line(text);
    if (held_ > 0) line += FormatLogText(" (and %u more like it since the last line)", held_);
    RecordSysLog(line);
    logged_ = true;
    lastMs_ = now;
    held_ = 0;
    return true;
}

}  // namespace common
