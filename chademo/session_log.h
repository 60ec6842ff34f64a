// Corvane's coded session log lines: each notable event of a CHAdeMO session
// is one system-log line with the values needed to diagnose it (the vehicle
// and charger frames, the power figures), and marks its event for the alarm
// manager to announce again.
#pragma once

#include <deque>
#include <functional>
#include <string>

#include "regmap.h"

namespace chademo {

// The vehicle signals a line reports, read when the line is built.
struct SignalReaders {
    std::function<int()> permission;   // j, `GetOptoJ`
    std::function<int()> lockDetect;   // `ConnectorLock(2)`
};

inline constexpr unsigned kLogCodeCount = 28;

class SessionLog {
public:
    SessionLog(regmap::RegisterMap map, SignalReaders signals) : map_(map), signals_(std::move(signals)) {}

    // `systemLogHandle`: builds the line of `code` with the caller's number,
    // sets the code's re-announce bit and queues the line. Lines are queued,
    // never overwritten: two events before a write are both written. A code
    // past the table queues an empty message and sets no bit. Returns the
    // length of the line.
    std::size_t systemLogHandle(unsigned code, unsigned number);
    // `writeSysLog`: appends the queued lines to the monthly system log.
    void writeSysLog();
    bool Pending() const { return !pending_.empty(); }
    // One plain line of the session, written as the coded ones are.
    void Write(std::string text);
    // From now on lines are written by a short-lived child process, one batch
    // at a time and in order, so that a log file slow to take a line never
    // holds the caller's loop (the CAN I/O process and the charger's frames).
    void Background() { background_ = true; }
    // In the background form: starts the writer of the lines queued since,
    // once the last writer is done. Called by the loop on every pass.
    void Flush();
    // `trapAlarm29LogHandle`: one line, written at once, for every bit of
    // alarm byte 341 set since the last call (bit 0 first).
    void trapAlarm29LogHandle(unsigned number);

    // The message of a code, as it stands after the line's date.
    std::string Message(unsigned code, unsigned number) const;

private:
    regmap::RegisterMap map_;
    SignalReaders signals_;
    std::deque<std::string> pending_;
    std::uint8_t uTrapAlarm29_ = 0;
    bool background_ = false;
    std::deque<std::string> queued_;   // background lines not yet handed to a writer
    int writer_ = 0;                   // process id of the running writer
};

}  // namespace chademo
