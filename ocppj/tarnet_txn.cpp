// Tarnet's transactions: a connector with an authorized idTag that reaches a
// charging status starts one; a remote stop, an invalid id, a reset, an
// unlock, a power loss or the station's end-of-charge pattern closes it.
// StartTransaction and StopTransaction are written to the transaction queue
// and sent from there, so none is lost to a cut, an error or a restart. The
// connector files keep a started transaction across a restart.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "clock.h"
#include "messages.h"
#include "ocpp_time.h"
#include "paths.h"
#include "tarnet.h"

namespace ocppj {

namespace {

// The Reset slot: type text at 44312 (8 bytes), answer status at 44320; the
// UnlockConnector slot: connectorId at 53432, answer status at 53436.
constexpr std::size_t kResetType = 44312;
constexpr std::size_t kResetStatus = 44320;
constexpr std::size_t kUnlockConnector = 53432;
constexpr std::size_t kUnlockStatus = 53436;

std::string ExchangeText(Exchange& x, std::size_t off, std::size_t width) {
    const char* p = reinterpret_cast<const char*>(&x) + off;
    return std::string(p, strnlen(p, width));
}

constexpr int kReasonHardReset = 2;
constexpr int kReasonOther = 4;
constexpr int kReasonPowerLoss = 5;
constexpr int kReasonRemote = 7;
constexpr int kReasonSoftReset = 8;
constexpr int kReasonUnlockCommand = 9;
constexpr int kReasonDeAuthorized = 10;

}  // namespace

std::string Tarnet::ConnectorDir(int c) const { return StorageDir() + "Cnntr" + std::to_string(c) + "/"; }

bool Tarnet::OfflineTxnPending(int c) const {
    return c >= 1 && c <= connectors_ && runtime_[c - 1].offlineTxnId != 0;
}

void Tarnet::SetOfflineTxnId(int c, std::int32_t id) {
    runtime_[c - 1].offlineTxnId = id;
    WriteValueFile(ConnectorDir(c), "OffTxnID", std::to_string(id));
    offlineTxnId_ = id;
    WriteValueFile(StorageDir(), "OffTxnID", std::to_string(id));
}

int Tarnet::IsOnlineAndQueueBufEmpty() {
    if (Load(app_->backendOnline) != 1) return 0;
    return queue_.Empty() ? 1 : 0;
}

int Tarnet::PushTxnMsg2QueueBuf(const QueueRecord& r) {
    const std::string line = FormatQueueLine(r);
    if (line.empty()) {
        Log("[Error][PushTxnMsg2QueueBuf] record cannot be written as a line, kind " + std::to_string(r.kind));
        return 0;
    }
    if (queue_.Append(line, r.kind == 3)) return 1;
    if (r.kind == 3 && queue_.Size() >= kQueueMeterLimit)
        Log("[Info][PushTxnMsg2QueueBuf] Queue full, meter values not queued");
    else
        Log("[Error][PushTxnMsg2QueueBuf] write failed");
    return 0;
}

namespace {

QueueRecord StartRecord(const decltype(Exchange::startTransaction)& s) {
    QueueRecord r;
    r.kind = 1;
    r.connectorId = s.connectorId;
    r.idTag = FieldText(s.idTag);
    r.meter = s.meterStart;
    r.reservationId = s.reservationId;
    r.timestamp = static_cast<std::uint32_t>(UtcToEpoch(FieldText(s.timestamp)));
    return r;
}

}  // namespace

void Tarnet::StartTransaction(int c) {
    ConnectorRuntime& rt = runtime_[c - 1];
    fennick::ConnectorRecord& cr = fennick::ConnectorRec(*app_, c);
    const std::int64_t now = platform::GetClock().WallSeconds();
    rt.txnStartTime = static_cast<std::int32_t>(now);
    rt.endSeen = 0;
    rt.deauthorized = 0;
    // The connector files first: a restart right after the send still knows
    // the transaction.
    const std::string cdir = ConnectorDir(c);
    WriteValueFile(cdir, "StartTime", std::to_string(rt.txnStartTime));
    WriteValueFile(cdir, "IdTag", FieldText(cr.idTag));
    WriteValueFile(cdir, "PIdTag", FieldText(cr.parentIdTag));

    // Written ahead, sent by the replay: the line leaves the queue only once
    // the central system answered it, and the loop never waits on the answer.
    StartSlot s{};
    s.connectorId = c;
    std::memcpy(s.idTag, cr.idTag, sizeof s.idTag);
    s.meterStart = fennick::MeterBlock(*app_, c).energyImportRegister;
    s.reservationId = rt.reservation.reservationId;
    PutText(s.timestamp, EpochToUTC(now));
    PushTxnMsg2QueueBuf(StartRecord(s));
}

void Tarnet::CloseTransaction(int c, int reason, const std::string& idTag, bool byCard) {
    ConnectorRuntime& rt = runtime_[c - 1];
    fennick::ConnectorRecord& cr = fennick::ConnectorRec(*app_, c);
    QueueRecord stop;
    stop.kind = 2;
    stop.connectorId = c;
    stop.idTag = idTag.substr(0, 20);
    stop.meter = fennick::MeterBlock(*app_, c).energyImportRegister;
    stop.timestamp = static_cast<std::uint32_t>(platform::GetClock().WallSeconds());
    stop.transactionId = rt.transactionId;
    stop.reason = reason;
    if (!byCard && reason != kReasonPowerLoss)
        std::atomic_ref<std::uint8_t>(cr.stopChargingReq).store(1, std::memory_order_release);

    PushTxnMsg2QueueBuf(stop);

    const std::string cdir = ConnectorDir(c);
    rt.transactionId = 0;
    rt.deauthorized = 0;
    rt.endSeen = 0;
    WriteValueFile(cdir, "TxnID", "0");
    rt.txnStartTime = 0;
    WriteValueFile(cdir, "StartTime", "0");
    std::error_code ec;
    std::filesystem::remove(platform::SystemPath(cdir + "IdTag"), ec);
    std::filesystem::remove(platform::SystemPath(cdir + "PIdTag"), ec);
    cr.txnRunning = 0;

    auto clearIds = [this](int k) {
        fennick::ConnectorRecord& r = fennick::ConnectorRec(*app_, k);
        std::memset(r.idTag, 0, sizeof r.idTag);
        std::memset(r.parentIdTag, 0, sizeof r.parentIdTag);
    };
    if (authWithIdZero == 1) {
        authWithIdZero = 0;
        for (int k = 1; k <= connectors_; ++k) clearIds(k);
    } else {
        clearIds(c);
    }
    if (!byCard && reason != kReasonDeAuthorized && fennick::Rating(*app_, c).hasConnectorLock != 0)
        std::atomic_ref<std::uint8_t>(cr.unlockReq).store(1, std::memory_order_release);
}

void Tarnet::TransactionMgmt() {
    const std::uint8_t w = fennick::LoadRingWriteIndex(*app_);
    for (int c = 1; c <= connectors_; ++c) {
        ConnectorRuntime& rt = runtime_[c - 1];
        fennick::ConnectorRecord& cr = fennick::ConnectorRec(*app_, c);
        if (rt.txnStartTime == 0) {
            cr.txnRunning = 0;
            if (cr.idTag[0] != '\0' && fennick::IsChargingStatus(cr.status)) StartTransaction(c);
            continue;
        }
        const bool hasStatus = rt.lastStatus.timestamp[0] != '\0';
        auto ring = [this, w](int back) { return app_->statusRing[static_cast<std::uint8_t>(w - back)].status; };
        int reason = -1;
        if (rt.remoteStopReq == 1) {
            reason = kReasonRemote;
            rt.remoteStopReq = 0;
        } else if (rt.deauthorized == 1 && ConfigTrue("StopTransactionOnInvalidId")) {
            reason = kReasonDeAuthorized;
        } else if (const std::string type = ExchangeText(*x_, kResetType, 8);
                   !type.empty() && ExchangeText(*x_, kResetStatus, 12) == "Accepted") {
            const bool hard = type == "Hard";
            reason = hard ? kReasonHardReset : kReasonSoftReset;
            std::atomic_ref<std::uint8_t>(hard ? app_->hardResetReq : app_->softResetReq)
                .store(2, std::memory_order_release);
        } else if (std::int32_t unlockC;
                   std::memcpy(&unlockC, reinterpret_cast<char*>(x_) + kUnlockConnector, 4),
                   ExchangeText(*x_, kUnlockStatus, 16) == "Unlocked" && unlockC == c) {
            reason = kReasonUnlockCommand;
            std::memset(reinterpret_cast<char*>(x_) + kUnlockConnector, 0, 4);
        } else if (rt.endSeen == 1 || (hasStatus && (rt.lastStatus.status == fennick::kStsAvailable ||
                                                     rt.lastStatus.status == fennick::kStsPreparing))) {
            reason = kReasonPowerLoss;
        } else if (hasStatus && ((ring(3) == fennick::kStsFinishing && ring(2) == fennick::kStsSuspendedEVSE) ||
                                 (ring(2) == fennick::kStsFinishing && ring(1) == fennick::kStsCharging))) {
            reason = kReasonOther;
        }
        if (reason < 0) {
            cr.txnRunning = 1;
            continue;
        }
        CloseTransaction(c, reason, FieldText(cr.idTag), false);
    }
}

}  // namespace ocppj
