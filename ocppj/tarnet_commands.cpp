// Tarnet's answers to the central system's reservations, availability, cache,
// data transfer, remote start and stop, triggers and unlocks. Each handler
// reads its slot, acts and writes the answer before the dispatcher clears the
// command's bit.
#include <cstring>

#include "clock.h"
#include "command_slots.h"
#include "messages.h"
#include "tarnet.h"

namespace ocppj {

bool Tarnet::ServeCommand(int command) {
    switch (command) {
    case kCmdCancelReservation: CancelReservationConf(); break;
    case kCmdChangeAvailability: ChangeAvailabilityConf(); break;
    case kCmdClearCache: ClearCacheConf(); break;
    case kCmdClearChargingProfile: ClearChargingProfileConf(); break;
    case kCmdDataTransfer: DataTransferConf(); break;
    case kCmdGetCompositeSchedule: GetCompositeScheduleConf(); break;
    case kCmdGetLocalListVersion: GetLocalListVersionConf(); break;
    case kCmdRemoteStartTransaction: RemoteStartTransactionConf(); break;
    case kCmdRemoteStopTransaction: RemoteStopTransactionConf(); break;
    case kCmdReserveNow: ReserveNowConf(); break;
    case kCmdSendLocalList: SendLocalListConf(); break;
    case kCmdSetChargingProfile: SetChargingProfileConf(); break;
    case kCmdTriggerMessage: TriggerMessageConf(); break;
    case kCmdUnlockConnector: return UnlockConnectorConf();
    default: break;
    }
    return true;
}

void Tarnet::CancelReservationConf() {
    CancelReservationSlot& s = CancelReservationOf(*x_);
    PutText(s.status, "Rejected");
    if (s.reservationId == 0) return;  // 0 is the mark of a connector without reservation
    for (int c = 1; c <= connectors_; ++c) {
        Reservation& r = runtime_[c - 1].reservation;
        if (r.reservationId != s.reservationId) continue;
        std::memset(&r, 0, sizeof r);
        fennick::ConnectorRec(*app_, c).reserved = 0;
        PutText(s.status, "Accepted");
        return;
    }
}

void Tarnet::ChangeAvailabilityConf() {
    ChangeAvailabilitySlot& s = ChangeAvailabilityOf(*x_);
    const int c = s.connectorId;
    if (c < 0 || c > connectors_) {
        PutText(s.status, "Rejected");
        return;
    }
    const bool inoperative = FieldText(s.type) == "Inoperative";
    const int first = c == 0 ? 1 : c, last = c == 0 ? connectors_ : c;
    // A connector being prepared cannot be taken out, a faulted one not put back.
    const std::uint8_t blocking = inoperative ? fennick::kStsPreparing : fennick::kStsFaulted;
    bool busy = false;
    for (int k = first; k <= last; ++k) {
        const std::uint8_t status = fennick::ConnectorRec(*app_, k).status;
        if (status == blocking) {
            PutText(s.status, "Rejected");
            return;
        }
        busy = busy || fennick::IsChargingStatus(status);
    }
    for (int k = first; k <= last; ++k) {
        fennick::ConnectorRec(*app_, k).unavailable = inoperative ? 1 : 0;
        if (!WriteValueFile(StorageDir() + "Cnntr" + std::to_string(k) + "/", "StsAvail", inoperative ? "1" : "0"))
            Log("[Error][Tarnet] StsAvail write failed, connector " + std::to_string(k));
    }
    PutText(s.status, inoperative && busy ? "Scheduled" : "Accepted");
}

void Tarnet::ClearCacheConf() {
    ClearCacheSlot& s = ClearCacheOf(*x_);
    std::memset(s.status, 0, sizeof s.status);
    cache_.Clear();
    PutText(s.status, "Accepted");
}

void Tarnet::DataTransferConf() { PutText(DataTransferCmdOf(*x_).status, "UnknownVendorId"); }

bool Tarnet::StartableByRemote(int c) const {
    const std::uint8_t status = fennick::ConnectorRec(*app_, c).status;
    if (status == fennick::kStsFinishing) return app_->remoteStartOnFinishingBlocked == 0;
    return fennick::IsStartableStatus(status);
}

void Tarnet::RemoteStartTransactionConf() {
    RemoteStartSlot& s = RemoteStartOf(*x_);
    const std::string idTag = FieldText(s.idTag);
    const std::string purpose = ProfileBodyPurpose(s.profile);
    const int c = s.connectorId;
    auto holdsTag = [&](int k) {
        if (fennick::ConnectorRec(*app_, k).idTag[0] == '\0') return false;
        Log("[Info][Tarnet] receive remotestart when connector idTag has value");
        return true;
    };
    bool accepted = false;
    if (idTag.empty() || app_->authIdTag[0] != '\0') {
        // No card to start with, or the station's own card request is still
        // in the mailbox: it is not overwritten.
    } else if (c >= 1 && c <= connectors_) {
        if (!holdsTag(c) && StartableByRemote(c)) {
            if (purpose.empty()) {
                accepted = true;
            } else if (purpose == "TxProfile" && SetChgProfile(c, s.profile) == 1) {
                runtime_[c - 1].txProfileHoldSince = static_cast<std::int32_t>(platform::GetClock().WallSeconds());
                accepted = true;
            }
        }
    } else if (c == -1) {
        for (int k = 1; k <= connectors_ && !accepted; ++k)
            if (!holdsTag(k) && StartableByRemote(k)) accepted = true;
    }
    if (!accepted) {
        PutText(s.status, "Rejected");
        std::memset(s.idTag, 0, sizeof s.idTag);
        return;
    }
    app_->authKind = 0;
    app_->authConnectorId = c == -1 ? 0 : c;
    PutText(app_->authIdTag, idTag);
    PutText(s.status, "Accepted");
    Log("[Info] RemoteStartTransaction trigger authorzied");
}

void Tarnet::RemoteStopTransactionConf() {
    RemoteStopSlot& s = RemoteStopOf(*x_);
    PutText(s.status, "Rejected");
    for (ConnectorRuntime& r : runtime_) {
        // Only a running transaction can be stopped: an idle connector's 0
        // is no transaction.
        if (r.txnStartTime == 0 || r.transactionId != s.transactionId) continue;
        r.remoteStopReq = 1;
        PutText(s.status, "Accepted");
        return;
    }
}

void Tarnet::ReserveNowConf() {
    Reservation& s = ReserveNowOf(*x_);
    const int c = s.connectorId;
    if (c < 1 || c > connectors_) {
        PutText(s.status, "Rejected");
        return;
    }
    Reservation& r = runtime_[c - 1].reservation;
    fennick::ConnectorRecord& cr = fennick::ConnectorRec(*app_, c);
    auto reserve = [&] {
        r = s;
        std::memset(r.status, 0, sizeof r.status);
        cr.reserved = 1;
        PutText(s.status, "Accepted");
    };
    if (s.reservationId != 0 && r.reservationId == s.reservationId) return reserve();
    if (cr.status == fennick::kStsFaulted) PutText(s.status, "Faulted");
    else if (cr.status == fennick::kStsUnavailable) PutText(s.status, "Unavailable");
    // A reservation just made holds the connector before its status says so.
    else if (cr.status != fennick::kStsAvailable || cr.reserved != 0) PutText(s.status, "Occupied");
    else reserve();
}

void Tarnet::TriggerMessageConf() {
    TriggerMessageSlot& s = TriggerMessageOf(*x_);
    const std::string message = FieldText(s.requestedMessage);
    const std::int32_t c = s.connectorId;
    const char* status = "Accepted";
    if (message == "BootNotification") SetBit(*x_, kBitBootNotification);
    else if (message == "DiagnosticsStatusNotification") SetBit(*x_, kBitDiagnosticsStatus);
    else if (message == "FirmwareStatusNotification") SetBit(*x_, kBitFirmwareStatus);
    else if (message == "Heartbeat") SetBit(*x_, kBitHeartbeat);
    else if (message == "MeterValues") {
        if (c == 0 || c < -1 || c > connectors_) {
            status = "Rejected";
        } else {
            TriggerMeterValues(c);
        }
    } else if (message == "StatusNotification") {
        if (c < -1 || c > connectors_) status = "Rejected";
        else TriggerStatusNotification(c);
    } else {
        status = "NotImplemented";
    }
    PutText(s.status, status);
}

bool Tarnet::UnlockConnectorConf() {
    UnlockConnectorSlot& s = UnlockConnectorOf(*x_);
    platform::Clock& clock = platform::GetClock();
    if (unlockConnector_ == 0) {
        const int c = s.connectorId;
        if (c < 1 || c > connectors_ || fennick::Rating(*app_, c).hasConnectorLock == 0) {
            PutText(s.status, "NotSupported");
            return true;
        }
        std::atomic_ref<std::uint8_t>(fennick::ConnectorRec(*app_, c).unlockReq).store(1, std::memory_order_release);
        unlockConnector_ = c;
        unlockSinceMs_ = clock.MonotonicMs();
    }
    // Unlocked only once the station has taken the request; one it never
    // takes is withdrawn, so no unlock comes long after the answer.
    std::atomic_ref<std::uint8_t> req(fennick::ConnectorRec(*app_, unlockConnector_).unlockReq);
    const char* status = nullptr;
    if (req.load(std::memory_order_acquire) == 0) {
        status = "Unlocked";
    } else if (clock.MonotonicMs() - unlockSinceMs_ >= kUnlockWaitMs) {
        std::uint8_t one = 1;
        status = req.compare_exchange_strong(one, 0, std::memory_order_acq_rel) ? "UnlockFailed" : "Unlocked";
    }
    if (status == nullptr) return false;
    PutText(s.status, status);
    Log(std::string("[Info][Tarnet] UnlockConnector ") + std::to_string(unlockConnector_) + ": " + status);
    unlockConnector_ = 0;
    return true;
}

}  // namespace ocppj
