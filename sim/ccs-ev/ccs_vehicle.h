// The vehicle's side of a DIN SPEC 70121 DC charging session, as a CCS EV's
// communication controller runs it once it has a V2G connection: the
// supportedAppProtocol handshake, then SessionSetup .. SessionStop. Requests
// are built with the project's records and encoded with its serializers;
// every answer is decoded and checked (response code, session ID, EVSE
// status and values). It can misbehave on demand.
#pragma once

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct DinMessageStore;
struct EXIDocumentType;
struct DinService;

namespace evsim {

using Bytes = std::vector<std::uint8_t>;

// The messages of the sequence, in the order the vehicle sends them.
enum class Msg {
    SupportedAppProtocol,
    SessionSetup,
    ServiceDiscovery,
    ServicePaymentSelection,
    ContractAuthentication,
    ChargeParameterDiscovery,
    CableCheck,
    PreCharge,
    PowerDelivery,
    CurrentDemand,
    WeldingDetection,
    SessionStop,
    None,
};

const char* MsgName(Msg m);
// "SessionSetup" (or "SessionSetupReq") to Msg::SessionSetup; false otherwise.
bool ParseMsg(const std::string& text, Msg* m);
// The DIN responseCodeType name of a code.
std::string ResponseCodeName(std::int32_t code);

// The vehicle's V2G connection: whole V2GTP messages both ways.
class V2gChannel {
public:
    enum class Rx { Message, Closed, TimedOut };
    virtual ~V2gChannel() = default;
    // Sends one framed message; with splitAt > 0 the first splitAt bytes go
    // out on their own and the rest after a pause.
    virtual bool Send(const Bytes& message, std::size_t splitAt) = 0;
    // The next whole message the station sent.
    virtual Rx Receive(Bytes* message, std::int64_t timeoutMs) = 0;
    // Ends the connection from the vehicle's side, with a FIN or a reset.
    virtual bool Drop(bool /*reset*/) { return false; }
};

struct CcsEvConfig {
    std::array<std::uint8_t, 6> evccid = {0x02, 0x00, 0x00, 0xEE, 0x00, 0x01};
    bool checkEvseId = false;  // the answer to SessionSetup names this station
    std::array<std::uint8_t, 6> evseId{};
    int soc = 40;               // % at the start
    int demands = 10;           // CurrentDemand exchanges
    int targetVoltage = 400;    // V, PreCharge and CurrentDemand
    int targetCurrent = 100;    // A, CurrentDemand (times 10^targetCurrentMultiplier)
    int maxCurrent = 125;       // A
    int maxVoltage = 450;       // V
    int maxPowerKw = 50;
    std::int64_t gapMs = 50;              // between two requests of a loop
    std::int64_t answerTimeoutMs = 5000;  // for each answer
    std::int64_t loopLimitMs = 20000;     // for a step repeated while the station works
    std::int64_t prechargeLimitMs = 10000;
    int weldingChecks = 10;               // WeldingDetection at most this often

    // Misbehaviour, each on the first request of the named message. Every
    // refusal ends the session: the station closes the connection.
    Msg skip = Msg::None;          // left out; the next request must be refused as out of order
    Msg wrongSession = Msg::None;  // sent with a session ID the station did not issue
    bool forceId = false;          // the wrong ID is this one (all zero, a past session's) ...
    std::array<std::uint8_t, 8> forcedId{};
    bool repeatFailed = false;     // a request refused on purpose is sent once more: it must go unanswered
    Msg powerAfter = Msg::None;    // PowerDelivery start straight after this answer: refused as out of order
    Msg refuseAt = Msg::None;      // the first request of this message must be refused with refuseCode
    std::int32_t refuseCode = 0;
    int dropAfter = 0;             // after this many CurrentDemand answers (or endCharge) the vehicle drops the connection
    bool dropReset = false;        // with a reset rather than a FIN
    int demandVoltage = 0;         // CurrentDemand's target voltage, as sent (0: the PreCharge target)
    std::int8_t demandVoltageMultiplier = 0;
    std::int8_t targetCurrentMultiplier = 0;  // of targetCurrent in CurrentDemand
    Msg silentBefore = Msg::None;  // the vehicle says nothing for silentMs first
    std::int64_t silentMs = 60000;
    Msg split = Msg::None;         // sent over two TCP segments (every request: splitAll)
    bool splitAll = false;
    std::size_t splitAt = 5;       // bytes of the first segment

    int benchExchanges = 0;  // extra CurrentDemand exchanges, timed
    // Set from outside (a signal): the charge ends after the next CurrentDemand.
    const volatile std::sig_atomic_t* endCharge = nullptr;
};

// The station ends a session after this long without a request.
inline constexpr std::int64_t kStationSequenceTimeoutMs = 60000;

class CcsVehicle {
public:
    using Printer = std::function<void(const std::string&)>;
    CcsVehicle(CcsEvConfig config, V2gChannel* channel, Printer print);
    ~CcsVehicle();

    // Runs the whole session; true when every answer passed its checks (or
    // the station ended the session as the configured silence asks).
    bool Run();
    const std::string& failure() const { return failure_; }
    const std::array<std::uint8_t, 8>& sessionId() const { return sessionId_; }
    int soc() const { return soc_; }
    // Round trips of the timed CurrentDemand exchanges, in microseconds.
    const std::vector<std::int64_t>& benchUs() const { return benchUs_; }
    // Names of the requests answered, in order (repeats included).
    const std::vector<Msg>& answered() const { return answered_; }

private:
    struct Doc;
    enum class Outcome { Answered, Skipped, Ended, Failed };
    using Fill = std::function<void(DinMessageStore&)>;

    bool Handshake();
    Outcome Ask(Msg m, const Fill& fill);
    bool Exchange(Msg m, const Fill& fill, bool wrongId, std::size_t splitAt, std::int32_t expect);
    bool SendAndDecode(Msg m, const Bytes& request, std::size_t splitAt);
    bool CheckCommon(Msg m, std::int32_t expect);
    bool CheckDcStatus(Msg m, bool finished);
    bool Fail(const std::string& why);
    void Print(const std::string& line) { print_(line); }
    void FillStatus(DinMessageStore& s, int which) const;

    bool RunSequence();
    bool ExpectEnd(const std::string& why, int answers);
    Outcome AfterRefusal(Msg m);

    CcsEvConfig config_;
    V2gChannel* channel_;
    Printer print_;
    std::unique_ptr<Doc> req_;
    std::unique_ptr<Doc> res_;
    std::array<std::uint8_t, 8> sessionId_{};
    std::string failure_;
    int soc_;
    std::uint16_t chargeServiceId_ = 1;
    std::int16_t scheduleTupleId_ = 0;
    int evseMaxVoltage_ = 0;
    int evseMaxCurrent_ = 0;
    bool skipPending_ = false;
    bool skipDone_ = false, wrongDone_ = false, silentDone_ = false, splitDone_ = false;
    bool powerDone_ = false, refuseDone_ = false;
    Bytes lastRequest_;
    bool ended_ = false;
    std::vector<std::int64_t> benchUs_;
    std::vector<Msg> answered_;
};

}  // namespace evsim
