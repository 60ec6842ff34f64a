// OCPP-J texts of the transport: CALLs built from the request slots, received
// frames parsed, answers stored into the slots, CALLRESULTs built from the
// command slots. JSON goes through the library both ways: exact action names,
// fields taken by their place in the message, signed numbers, escapes.
#pragma once

#include <cstdint>
#include <atomic>
#include <cstring>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "exchange.h"

namespace ocppj {

// The charge point's own requests, one per request bit.
enum class Request {
    Authorize,
    StartTransaction,
    StopTransaction,
    StatusNotification,
    MeterValues,
    DataTransfer,
    DiagnosticsStatusNotification,
    FirmwareStatusNotification,
    BootNotification,
    Heartbeat,
};
const char* RequestName(Request r);
FlagBit RequestBit(Request r);
inline std::atomic_ref<std::uint8_t> CallAnswer(Exchange& x, Request r) { return CallAnswer(x, static_cast<int>(r)); }
// Start, Stop and MeterValues of a transaction: delivered exactly once, so
// every send of one (a retry, after a cut, from another run of either
// program) carries the same unique id, one the central system can know it by.
bool TransactionRelated(Request r, const Exchange& x);
// That id: a digest of the action and payload, which a retry repeats exactly.
std::string TransactionMessageId(Request r, const Exchange& x);

// Unique ids of CALLs: decimal epoch seconds and a sequence 1..100 as "%d%02d".
class UniqueIds {
public:
    std::string Next(std::int64_t epochSeconds);
private:
    int seq_ = 0;
};

// Clears the answer fields of a request slot (and only those).
void ClearAnswerFields(Request r, Exchange& x);
// The CALL text of a request from its slot.
std::string BuildCall(Request r, const std::string& id, const Exchange& x);

// A received frame.
struct Frame {
    int type = 0;            // 2 CALL, 3 CALLRESULT, 4 CALLERROR; 0 = unparsable
    std::string id;          // also recovered from a frame that is not valid JSON, when it can be
    std::string action;      // CALL
    std::string errorCode;   // CALLERROR
    nlohmann::json payload;  // CALL and CALLRESULT payload object
};
Frame ParseFrame(std::string_view text);

// Stores a CALLRESULT payload into the answer fields of its request slot.
// False when a field has the wrong type or does not fit its slot field.
bool StoreResult(Request r, const nlohmann::json& payload, Exchange& x);

// Outcome of storing a central-system CALL into its command slot.
struct CommandCheck {
    int command = -1;        // index into kCommandNames when stored
    std::string errorCode;   // CALLERROR to answer with instead, when not empty
    std::string description;
};
// Recognises the action, checks the payload and fills the command slot.
// `served` tells which commands Tarnet answers today; the others get
// NotSupported, actions outside OCPP 1.6 NotImplemented.
CommandCheck StoreCommand(const std::string& action, const nlohmann::json& payload, Exchange& x);
bool CommandServed(int command);

// The commands whose slots are laid out in command_slots.h: their payload
// checked and stored into the (cleared) slot, false with the CALLERROR to
// answer instead; and the CALLRESULT payload from their answer fields.
bool CommandServedHere(int command);
bool StoreServedCommand(int command, const nlohmann::json& payload, Exchange& x, std::string* code,
                        std::string* description);
void BuildServedConf(int command, const Exchange& x, nlohmann::ordered_json& payload);

// The CALLRESULT of a command from the answer fields of its slot.
std::string BuildConf(int command, const std::string& id, const Exchange& x);
std::string BuildCallError(const std::string& id, const std::string& code, const std::string& description);

// Copies a NUL-terminated fixed field into a string (never past the width).
template <std::size_t N>
std::string FieldText(const char (&f)[N]) {
    std::size_t n = 0;
    while (n < N && f[n] != '\0') ++n;
    return std::string(f, n);
}
// Stores a text into a fixed field; false when it does not fit with its NUL.
template <std::size_t N>
bool PutText(char (&f)[N], const std::string& s) {
    if (s.size() >= N || s.find('\0') != std::string::npos) return false;
    std::memset(f, 0, N);
    std::memcpy(f, s.data(), s.size());
    return true;
}

}  // namespace ocppj
