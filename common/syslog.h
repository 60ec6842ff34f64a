// The station's system log and event log lines.
//
// Both are plain text files under /Storage, one per calendar month (local
// time), appended one whole line at a time with a single write: no shell is
// involved, so no text of a line can ever be run as a command.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace common {

// A text as it may stand in one log line: CR, LF and every other control
// character become "\r", "\n", "\t" or "\xNN", so no text from outside (a
// central system's key or value, a peer's answer) can start a line of its own
// or hide one. Every log writer passes its text through this.
std::string EscapeForLog(std::string_view text);

// Longest message text a system-log line carries; longer texts are cut.
inline constexpr std::size_t kMaxLogText = 441;

// Appends "YYYY.MM.DD hh:mm:ss - <text>\n" to
// "/Storage/SystemLog/[YYYY.MM]SystemLog". Always returns 0: logging never
// changes the caller's flow. Lines that cannot be written (a full disk) are
// counted per file, and the count is logged once a line reaches it again.
int RecordSysLog(std::string_view text);

// printf-style form of RecordSysLog: the text is formatted into a 512-byte
// buffer first (cut when longer).
int RecordSysLogf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same formatting, for texts assembled from several parts.
std::string FormatLogText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends "YYYY.MM.DD hh:mm:ss - <text>\n" to
// "/Storage/Events/[YYYY.MM]<name>_Events.csv". Always returns 0.
int RecordEvtLog(std::string_view name, std::string_view text);

// The name part of an event file: characters that cannot stand in a file
// name ('/', control characters) become '_'; ordinary serials are kept.
std::string EventFileName(std::string_view name);

// A failure that repeats (every pass, every alarm change) is logged at most
// once a period: the first at once, the ones after it counted and told, with
// their count, in the next line that is written.
inline constexpr std::int64_t kRepeatLogPeriodMs = 60000;

class RepeatLog {
public:
    explicit RepeatLog(std::int64_t periodMs = kRepeatLogPeriodMs) : periodMs_(periodMs) {}
    // Logs `text` as a system-log line, or counts it when one was logged
    // less than a period ago. True when a line was written.
    bool Record(std::string_view text);

private:
    std::int64_t periodMs_;
    std::int64_t lastMs_ = 0;
    bool logged_ = false;
    unsigned held_ = 0;
};

}  // namespace common
