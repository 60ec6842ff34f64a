// Fennick's logic, apart from the websocket library: the start-up
// BootNotification policy, the request procedure (two tries of 30 s per
// request bit), the central-system commands handed to Tarnet and answered,
// and the link bytes of the exchange segment. The websocket glue feeds it
// link events and received texts and calls Tick() at least every 100 ms; the
// link is serviced all the while, also while a command waits for Tarnet.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "exchange.h"
#include "fennick_app.h"
#include "messages.h"

namespace ocppj {

// What the core needs of the link.
class LinkPort {
public:
    virtual ~LinkPort() = default;
    // Queues one text frame; false when there is no link.
    virtual bool Send(const std::string& text) = 0;
    // Drops the link (the glue reconnects while Wanted() holds).
    virtual void Drop() = 0;
};

class FennickCore {
public:
    static constexpr std::int64_t kTryMs = 30000;          // one try of a request
    static constexpr std::int64_t kCommandWaitMs = 25000;  // Tarnet's time to answer a command
    static constexpr std::int64_t kBootRetryMs = 120000;

    FennickCore(fennick::FennickApp& app, Exchange& x, LinkPort& link);

    // Zeroes the exchange segment and writes the two "Idle" texts. The first
    // link copies the boot identity and raises the start-up BootNotification.
    void Start();
    void OnConnected();
    void OnClosed();
    void OnText(const std::string& text);
    // A message longer than the link takes: `head` is its start. A CALL is
    // still answered, so the central system is not left waiting.
    void OnTooLong(const std::string& head);
    void Tick();

    // True while the link should be up (not held, not in a Rejected pause).
    bool Wanted() const;
    bool BootDone() const { return bootDone_; }

private:
    struct Pending {
        Request request;
        std::string id;
        std::string text;  // a retry sends exactly this again
        int tries = 0;
        std::int64_t sentMs = 0;
        bool answered = false;
    };
    struct Serving {
        std::string id;
        int command = -1;
        std::int64_t raisedMs = 0;
    };

    void Log(const std::string& text);
    std::int64_t Now() const;
    std::optional<Request> NextRequest();
    void SendRequest(Request r);
    void Transmit();
    void FinishRequest(bool ok);
    void OnAnswer(const Frame& f);
    void OnCall(const Frame& f);
    void ServeCommandTick();
    void BootAnswered();
    void SetClockFrom(const std::string& currentTime);

    fennick::FennickApp& app_;
    Exchange& x_;
    LinkPort& link_;
    UniqueIds ids_;
    std::optional<Pending> pending_;
    std::optional<Serving> serving_;
    bool bootStarted_ = false;
    bool bootDone_ = false;
    std::int64_t bootRetryAtMs_ = -1;  // when to raise the boot bit again
    std::int64_t holdUntilMs_ = -1;    // Rejected: link down until then
};

// The BootNotification identity copied from FennickApp into its slot.
void CopyBootIdentity(const fennick::FennickApp& app, Exchange& x);

}  // namespace ocppj
