// The offline transaction queue: StartTransaction, StopTransaction and
// MeterValues that could not go to the central system when they arose, one
// text line each in "TxnMsgQueue" under the storage path, replayed oldest
// first once the link is back.
//
//   1:connectorId:"idTag":meterStart:reservationId:timestamp
//   2:connector:"idTag":meterStop:timestamp:transactionId:reason
//   3:connectorId:transactionId:timestamp:context:V:I:P:E:SoC:Ioff
//
// Timestamps are epoch seconds; the six values of a meter line stand for
// Voltage, Current.Import, Power.Active.Import, Energy.Active.Import.Register,
// SoC and Current.Offered, "x" for one that was not sampled.
//
// The file is always replaced whole (temporary file, sync, rename), so a
// power cut leaves the queue as it was before or after a change, never torn.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ocppj {

inline constexpr std::size_t kQueueMeterValues = 6;
// The measurands of a meter line, in their place.
inline constexpr const char* kQueueMeasurands[kQueueMeterValues] = {
    "Voltage", "Current.Import", "Power.Active.Import", "Energy.Active.Import.Register", "SoC", "Current.Offered",
};
// Meter lines are refused from this queue size on; starts and stops always go in.
inline constexpr std::size_t kQueueMeterLimit = 2 * 1024 * 1024;

struct QueueRecord {
    int kind = 0;  // 1 start, 2 stop, 3 meter values
    std::int32_t connectorId = 0;
    std::string idTag;                  // 1, 2
    std::int32_t meter = 0;             // 1 meterStart, 2 meterStop (Wh)
    std::int32_t reservationId = 0;     // 1
    std::uint32_t timestamp = 0;        // epoch seconds
    std::int32_t transactionId = 0;     // 2, 3
    std::int32_t reason = 0;            // 2: StopTransaction_StopReason index
    std::string context;                // 3
    std::array<std::string, kQueueMeterValues> values;  // 3: "x" = not sampled
};

// The line of a record, without its line feed; "" when the record cannot be
// written as one line (an idTag holding a line feed or NUL, a kind other
// than 1-3).
std::string FormatQueueLine(const QueueRecord& r);

// Reads one line (without its line feed). Numbers are counted from both ends
// of the line, so any idTag that fits its 20 characters comes back whatever
// it holds. On failure `error` says which field is wrong.
std::optional<QueueRecord> ParseQueueLine(std::string_view line, std::string* error);

class TxnQueue {
public:
    // `dir` is the storage path (ending in "/"), as the programs see it.
    void Init(const std::string& dir);
    bool Empty() const;
    // Appends one line. False when it is not written: a meter line past the
    // size limit, or a failed write (the queue then stays as it was).
    bool Append(const std::string& line, bool meter);
    // The first line without its line feed; nullopt when the queue is empty.
    // A first line without a line feed (cut short) is given as it is.
    std::optional<std::string> First() const;
    // Drops the first line, keeping every line appended since it was read.
    bool DropFirst();
    // Moves the first line to the side file "BadTxnMsgQueue", so that a line
    // that cannot be read does not hold up the queue behind it.
    bool SetAsideFirst();
    std::string Path() const;
    std::size_t Size() const;

private:
    std::string Read() const;
    std::string dir_;
};

}  // namespace ocppj
