// The transaction queue: every StartTransaction, StopTransaction and
// MeterValues of a transaction goes to the central system from here, one at a
// time, oldest first, and leaves the queue only when answered. A message the
// central system refuses with an error is tried again after the retry
// interval times the failures so far, and set aside after the configured
// attempts; a lost link keeps it first. Each pass only looks at the answer,
// so nothing waits on the central system.
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "messages.h"
#include "ocpp_time.h"
#include "tarnet.h"

namespace ocppj {

namespace {

Request TypeRequest(int type) {
    return type == 1 ? Request::StartTransaction : (type == 2 ? Request::StopTransaction : Request::MeterValues);
}
FlagBit TypeBit(int type) { return RequestBit(TypeRequest(type)); }

}  // namespace

int Tarnet::TxnMsgQueueBufMgmt() {
    const std::int64_t attempts = std::atoi(config_.Value("TransactionMessageAttempts").c_str());
    const std::int64_t retryS = std::atoi(config_.Value("TransactionMessageRetryInterval").c_str());
    const std::int64_t now = platform::GetClock().MonotonicMs();
    // The answer first, so that the next line can go in the same pass.
    if (s8UploadStatus != 0) {
        switch (CheckUploadResult(s8UploadStatus)) {
        case 0:
            queue_.DropFirst();
            s32CntTx = 0;
            s8UploadStatus = 0;
            break;
        case 1:
            if (++s32CntTx < attempts) {
                tTmStartMs_ = now;
            } else {
                // The central system keeps failing on it: kept aside for a
                // look, and the lines behind it go on.
                Log("[Info][TxnMsgQueueBufMgmt] Discard Txn, " + std::to_string(s32CntTx) +
                    " attempts, line set aside");
                queue_.SetAsideFirst();
                s32CntTx = 0;
            }
            s8UploadStatus = 0;
            break;
        case 2:
            s32CntTx = 0;
            s8UploadStatus = 0;
            break;
        default:
            return 1;
        }
    }
    if (Load(app_->backendOnline) != 1) {
        s32CntTx = 0;
        return 1;
    }
    if (now - tTmStartMs_ >= retryS * 1000 * s32CntTx) s8UploadStatus = UploadTxnMsg();
    return 1;
}

int Tarnet::UploadTxnMsg() {
    const std::optional<std::string> line = queue_.First();
    if (!line) return 0;
    std::string error;
    std::optional<QueueRecord> rec = ParseQueueLine(*line, &error);
    if (rec && (rec->connectorId < 1 || rec->connectorId > connectors_)) {
        rec.reset();
        error = "connector";
    }
    if (!rec) {
        // Kept aside for a look, so the lines behind it still go.
        Log("[Info][UploadTxnMsg] Txn Info format failed:" + error + ", line set aside");
        queue_.SetAsideFirst();
        return 0;
    }
    const int type = rec->kind;
    if (TestBit(*x_, TypeBit(type))) return 0;  // the slot is still busy
    const int c = rec->connectorId;
    if (type != 1 && rec->transactionId == 0) rec->transactionId = runtime_[c - 1].offlineTxnId;
    if (type == 1) {
        auto& s = x_->startTransaction;
        std::memset(&s, 0, sizeof s);
        s.connectorId = c;
        PutText(s.idTag, rec->idTag);
        s.meterStart = rec->meter;
        s.reservationId = rec->reservationId;
        PutText(s.timestamp, EpochToUTC(rec->timestamp));
    } else if (type == 2) {
        auto& s = x_->stopTransaction;
        std::memset(&s, 0, sizeof s);
        PutText(s.idTag, rec->idTag);
        s.meterStop = rec->meter;
        PutText(s.timestamp, EpochToUTC(rec->timestamp));
        s.transactionId = rec->transactionId;
        s.reason = static_cast<std::uint8_t>(rec->reason);
    } else {
        FillReplayedMeterVals(x_->meterValues, fennick::MeterBlock(*app_, c), *rec);
    }
    uploading_ = *rec;
    // The answer byte is this program's to clear while the bit is down.
    CallAnswer(*x_, TypeRequest(type)).store(0, std::memory_order_release);
    SetBit(*x_, TypeBit(type));
    return type;
}

int Tarnet::CheckUploadResult(int type) {
    const FlagBit bit = TypeBit(type);
    if (TestBit(*x_, bit)) {
        if (Load(x_->backendReachable) == 1) return 3;
        ClearBit(*x_, bit);  // sent again from the queue, not later from the slot
        Log("[Info][CheckUploadResult] Backend disconnect");
        return 2;
    }
    // The answer to this message, even one that came after the link fell.
    const std::uint8_t answer = CallAnswer(*x_, TypeRequest(type)).load(std::memory_order_acquire);
    if (answer == 0) {
        Log("[Info][CheckUploadResult] Backend disconnect");
        return 2;
    }
    if ((answer & ~kAnswered) != 0) {
        Log("[Info][CheckUploadResult] Comm Error:" + std::to_string(answer & ~kAnswered));
        return 1;
    }
    const int c = uploading_.connectorId;
    ConnectorRuntime& rt = runtime_[c - 1];
    const bool cacheOn = ConfigTrue("AuthorizationCacheEnabled");
    if (type == 1) {
        const auto& s = x_->startTransaction;
        const std::string status = FieldText(s.status);
        if (status != "Accepted") Log("[Info][CheckUploadResult] Backend not accept");
        SetOfflineTxnId(c, s.transactionId);
        // Only the transaction this start belongs to takes the id, if it still runs.
        if (rt.txnStartTime != 0 && rt.transactionId == 0 &&
            static_cast<std::uint32_t>(rt.txnStartTime) == uploading_.timestamp) {
            rt.transactionId = s.transactionId;
            WriteValueFile(ConnectorDir(c), "TxnID", std::to_string(rt.transactionId));
            if (status != "Accepted") {
                rt.deauthorized = 1;
            } else {
                fennick::ConnectorRecord& cr = fennick::ConnectorRec(*app_, c);
                const std::string parent = FieldText(s.parentIdTag);
                if (parent != FieldText(cr.parentIdTag)) PutText(cr.parentIdTag, parent);
            }
        }
        if (cacheOn && status == "Accepted")
            cache_.Update(uploading_.idTag, FieldText(s.expiryDate), FieldText(s.parentIdTag), 0);
        else if (cacheOn)
            cache_.Update(uploading_.idTag, "", "", 1);
    } else if (type == 2) {
        const auto& s = x_->stopTransaction;
        const std::string status = FieldText(s.status);
        if (status != "Accepted") Log("[Info][CheckUploadResult] Backend not accept");
        if (cacheOn && !status.empty() && !uploading_.idTag.empty()) {
            if (status == "Accepted")
                cache_.Update(uploading_.idTag, FieldText(s.expiryDate), FieldText(s.parentIdTag), 0);
            else
                cache_.Update(uploading_.idTag, "", "", 1);
        }
        if (rt.offlineTxnId != 0 && rt.transactionId == rt.offlineTxnId) {
            rt.transactionId = 0;
            WriteValueFile(ConnectorDir(c), "TxnID", "0");
        }
        SetOfflineTxnId(c, 0);
    }
    return 0;
}

}  // namespace ocppj
