#include "fennick_core.h"

#include <cstring>

#include "clock.h"
#include "command.h"
#include "ocpp_time.h"

namespace ocppj {

namespace {

template <std::size_t N, std::size_t M>
void CopyIdentity(char (&dst)[N], const char (&src)[M]) {
    static_assert(N == M + 1, "the slot field is one byte wider than the identity field");
    std::memset(dst, 0, N);
    std::memcpy(dst, src, M);
}

bool IsSecretKey(const std::string& key) { return key == "AuthorizationKey" || key == "ChapPassword"; }

}  // namespace

void CopyBootIdentity(const fennick::FennickApp& app, Exchange& x) {
    std::memset(&x.boot, 0, sizeof x.boot);
    const auto& b = app.bootIdentity;
    CopyIdentity(x.boot.chargePointVendor, b.chargePointVendor);
    CopyIdentity(x.boot.chargePointModel, b.chargePointModel);
    CopyIdentity(x.boot.chargePointSerialNumber, b.chargePointSerialNumber);
    CopyIdentity(x.boot.chargeBoxSerialNumber, b.chargeBoxSerialNumber);
    CopyIdentity(x.boot.firmwareVersion, b.firmwareVersion);
    CopyIdentity(x.boot.iccid, b.iccid);
    CopyIdentity(x.boot.imsi, b.imsi);
    CopyIdentity(x.boot.meterType, b.meterType);
    CopyIdentity(x.boot.meterSerialNumber, b.meterSerialNumber);
}

FennickCore::FennickCore(fennick::FennickApp& app, Exchange& x, LinkPort& link) : app_(app), x_(x), link_(link) {}

void FennickCore::Log(const std::string& text) { RecordFennickLog(app_, text); }

std::int64_t FennickCore::Now() const { return platform::GetClock().MonotonicMs(); }

void FennickCore::Start() {
    std::memset(&x_, 0, sizeof x_);
    std::strcpy(x_.diagnosticsStatus.status, "Idle");
    std::strcpy(x_.firmwareStatus.status, "Idle");
}

bool FennickCore::Wanted() const {
    std::int32_t hold = std::atomic_ref<std::int32_t>(app_.ocppLinkHold).load(std::memory_order_acquire);
    return hold != 1 && (holdUntilMs_ < 0 || Now() >= holdUntilMs_);
}

void FennickCore::OnConnected() {
    Log("[Info][Fennick]OCPP16Callback:LWS_CALLBACK_CLIENT_ESTABLISHED");
    Store(x_.wsConnected, 1);
    // The upgrade answer is the central system's own: what waited for the
    // link (the transaction queue) goes now, not after the next heartbeat.
    Store(x_.backendReachable, 1);
    if (!bootStarted_) {  // the start-up BootNotification goes on the first link
        bootStarted_ = true;
        CopyBootIdentity(app_, x_);
        SetBit(x_, kBitBootNotification);
    }
}

void FennickCore::OnClosed() {
    Store(x_.backendReachable, 0);
    Store(x_.wsConnected, 0);
    ClearAllFlags(x_);
    serving_.reset();
    if (pending_) {
        Log("[Info][IsTxCmdOK] Disconnection");
        FinishRequest(false);
    } else if (bootStarted_ && !bootDone_ && bootRetryAtMs_ < 0) {
        bootRetryAtMs_ = Now();  // the start-up BootNotification goes again on the next link
    }
}

std::optional<Request> FennickCore::NextRequest() {
    if (bootDone_) {
        static constexpr Request kByte0Order[] = {
            Request::Authorize, Request::StartTransaction, Request::StatusNotification, Request::MeterValues,
            Request::StopTransaction, Request::DataTransfer, Request::DiagnosticsStatusNotification,
            Request::FirmwareStatusNotification,
        };
        for (Request r : kByte0Order)
            if (TestBit(x_, RequestBit(r))) return r;
    }
    // No BootNotification or Heartbeat while a TriggerMessage, UnlockConnector
    // or UpdateFirmware is being answered.
    if (serving_ && serving_->command >= kCmdTriggerMessage) return std::nullopt;
    if (TestBit(x_, kBitBootNotification)) return Request::BootNotification;
    if (bootDone_ && TestBit(x_, kBitHeartbeat)) return Request::Heartbeat;
    return std::nullopt;
}

void FennickCore::SendRequest(Request r) {
    const std::string id =
        TransactionRelated(r, x_) ? TransactionMessageId(r, x_) : ids_.Next(platform::GetClock().WallSeconds());
    ClearAnswerFields(r, x_);
    Store(x_.lastCallResult, 0);
    CallAnswer(x_, r).store(0, std::memory_order_release);
    pending_ = Pending{r, id, BuildCall(r, id, x_), 0, 0, false};
    Transmit();
}

void FennickCore::Transmit() {
    pending_->tries += 1;
    pending_->sentMs = Now();
    const Request r = pending_->request;
    const std::string name = std::string(RequestName(r)) + "Req";
    if (r == Request::MeterValues || r == Request::DataTransfer)
        Log("[Info][Fennick]" + name + " Sent");
    else
        Log("[Info][Fennick]" + name + ":pu8SendBuf=" + pending_->text);
    if (!link_.Send(pending_->text)) {
        Log("[Info][IsTxCmdOK] Disconnection");
        FinishRequest(false);
    }
}

void FennickCore::FinishRequest(bool ok) {
    const Request r = pending_->request;
    pending_.reset();
    Log(std::string("[Info][Fennick] ") + RequestName(r) + "Req " + (ok ? "OK" : "NG"));
    if (!ok) {
        Store(x_.backendReachable, 0);
        link_.Drop();
    }
    ClearBit(x_, RequestBit(r));  // the answer fields are complete before the bit falls
    if (r == Request::BootNotification && !bootDone_) BootAnswered();
}

void FennickCore::BootAnswered() {
    const std::string status = FieldText(x_.boot.status);
    const std::int64_t wait = x_.boot.interval > 0 ? x_.boot.interval * 1000LL : kBootRetryMs;
    if (status == "Accepted") {
        Log("[Info][Fennick] BootNotification.ResponseStatus=Accepted");
        bootDone_ = true;
        bootRetryAtMs_ = -1;
        Store(x_.bootAccepted, 1);
    } else if (status == "Pending") {
        Log("[Info][Fennick] BootNotification.ResponseStatus=Pending");
        bootRetryAtMs_ = Now() + wait;
    } else if (status == "Rejected") {
        Log("[Info][Fennick] BootNotification.ResponseStatus=Rejected");
        Store(x_.backendReachable, 0);
        holdUntilMs_ = Now() + wait;
        bootRetryAtMs_ = holdUntilMs_;
        link_.Drop();
    } else {
        Log("[Info][Fennick] BootNotification.ResponseStatus=Unknown");
        bootRetryAtMs_ = Now() + kBootRetryMs;
    }
}

void FennickCore::SetClockFrom(const std::string& currentTime) {
    if (currentTime.empty()) return;  // no time given: the clock stays as it is
    std::int64_t epoch = UtcToEpoch(currentTime);
    if (epoch == 0) return;
    int n = app_.configValues.NumberOfConnectors;
    n = n < 1 ? 1 : (n > fennick::kMaxConnectors ? fennick::kMaxConnectors : n);
    for (int c = 1; c <= n; ++c) {
        std::uint8_t s = fennick::ConnectorRec(app_, c).status;
        if (s >= fennick::kStsPreparing && s <= fennick::kStsSuspendedEV) return;  // a connector is busy
    }
    std::string at = "@" + std::to_string(epoch);
    platform::RunCommand("date -u -s " + at, {"date", "-u", "-s", at});
    std::atomic_ref<std::uint8_t>(app_.clockSetFlag).store(1, std::memory_order_release);
}

void FennickCore::OnAnswer(const Frame& f) {
    if (!pending_ || f.id != pending_->id) {
        Log("[Info][Fennick]OCPP16Callback:CP unique ID not match, CP ID=" + (pending_ ? pending_->id : "") +
            ", Response ID=" + f.id);
        return;
    }
    const Request r = pending_->request;
    if (f.type == 3) {
        if (!StoreResult(r, f.payload, x_)) {
            ClearAnswerFields(r, x_);
            Store(x_.lastCallResult, kResultUnparsable);
            Log(std::string("[Info][Fennick]ResultParsing:") + RequestName(r) + ":unparsable answer");
        } else {
            if (r == Request::BootNotification) {
                SetClockFrom(FieldText(x_.boot.currentTime));
                Log("[Info][Fennick]ResultParsing:BootNotification:status=" + FieldText(x_.boot.status) +
                    ",currentTime=" + FieldText(x_.boot.currentTime) + ",interval=" + std::to_string(x_.boot.interval));
            } else if (r == Request::Heartbeat) {
                SetClockFrom(FieldText(x_.heartbeat.currentTime));
                Log("[Info][Fennick]ResultParsing:Heartbeat:currentTime=" + FieldText(x_.heartbeat.currentTime));
            } else {
                Log(std::string("[Info][Fennick]ResultParsing:") + RequestName(r));
            }
        }
    } else {
        std::uint8_t code = CallErrorResult(f.errorCode);
        Store(x_.lastCallResult, code);
        if (code == kResultUnparsable) Log("[Info][Fennick]ErrorParsing:Unknown error");
    }
    CallAnswer(x_, r).store(static_cast<std::uint8_t>(kAnswered | Load(x_.lastCallResult)), std::memory_order_release);
    FinishRequest(true);
}

void FennickCore::OnCall(const Frame& f) {
    if (serving_) {
        Log("[Info][Fennick]OCPP16Callback:CS Cmd busy, unique ID=" + serving_->id);
        link_.Send(BuildCallError(f.id, "GenericError", "Another command is being served"));
        return;
    }
    CommandCheck c = StoreCommand(f.action, f.payload, x_);
    if (!c.errorCode.empty()) {
        Log("[Info][Fennick]CommandParsing:" + f.action + " answered " + c.errorCode);
        link_.Send(BuildCallError(f.id, c.errorCode, c.description));
        return;
    }
    std::string line = "[Info][Fennick]CommandParsing:tReg.tMsgCS.pu8Action=" + f.action +
                       ",tReg.tMsgCS.pu8UniqID=" + f.id;
    if (c.command == kCmdChangeConfiguration) {
        std::string key = FieldText(x_.changeConfiguration.key);
        line += ",key=" + key + ",value=" + (IsSecretKey(key) ? "****" : FieldText(x_.changeConfiguration.value));
    } else if (c.command == kCmdGetConfiguration) {
        for (const auto& k : x_.getConfiguration.key) {
            if (!k[0]) break;
            line += ",key=" + FieldText(k);
        }
    }
    Log(line);
    serving_ = Serving{f.id, c.command, Now()};
    SetBit(x_, CommandBit(c.command));  // published after the slot is complete
}

void FennickCore::ServeCommandTick() {
    const FlagBit bit = CommandBit(serving_->command);
    const std::string name = std::string(kCommandNames[serving_->command]) + "Conf";
    if (!TestBit(x_, bit)) {
        std::string text = BuildConf(serving_->command, serving_->id, x_);
        link_.Send(text);
        if (serving_->command == kCmdGetConfiguration)
            Log("[Info][Fennick]" + name + " Sent");
        else
            Log("[Info][Fennick]" + name + ":pu8SendBuf=" + text);
        serving_.reset();
    } else if (Now() - serving_->raisedMs >= kCommandWaitMs) {
        ClearBit(x_, bit);
        link_.Send(BuildCallError(serving_->id, "InternalError", "No answer from the charge point"));
        Log("[Info][Fennick]" + name + " InternalError: no answer within 25 s");
        serving_.reset();
    }
}

void FennickCore::OnText(const std::string& text) {
    Store(x_.backendReachable, 1);
    Frame f = ParseFrame(text);
    switch (f.type) {
    case 2:
        OnCall(f);
        break;
    case 3:
    case 4:
        OnAnswer(f);
        break;
    default:
        if (!f.id.empty()) {
            link_.Send(BuildCallError(f.id, "FormationViolation", "Unparsable CALL"));
            Log("[Info][Fennick]OCPP16Callback:FormationViolation, unique ID=" + f.id);
        } else {
            Log("[Info][Fennick]OCPP16Callback:Unknown message");
        }
        break;
    }
}

void FennickCore::OnTooLong(const std::string& head) {
    Store(x_.backendReachable, 1);
    Frame f = ParseFrame(head);  // cut short: only a CALL's id is recovered
    if (head.compare(0, 3, "[2,") == 0 && !f.id.empty()) {
        link_.Send(BuildCallError(f.id, "FormationViolation", "Message longer than 64 KiB"));
        Log("[Info][Fennick]OCPP16Callback:message longer than 64 KiB answered FormationViolation, unique ID=" + f.id);
    } else {
        Log("[Info][Fennick]OCPP16Callback:message longer than 64 KiB dropped");
    }
}

void FennickCore::Tick() {
    const std::int64_t now = Now();
    if (bootRetryAtMs_ >= 0 && now >= bootRetryAtMs_ && !pending_) {
        bootRetryAtMs_ = -1;
        SetBit(x_, kBitBootNotification);
    }
    if (serving_) ServeCommandTick();
    if (pending_ && now - pending_->sentMs >= kTryMs) {
        Log("[Info][IsTxCmdOK] Time out");
        if (pending_->tries < 2) {
            Transmit();  // the same text under the same id: an answer to either try is taken
        } else {
            FinishRequest(false);
        }
    }
    if (!pending_ && Load(x_.wsConnected) == 1) {
        if (auto r = NextRequest()) SendRequest(*r);
    }
}

}  // namespace ocppj
