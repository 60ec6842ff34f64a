// Tarnet's authorization of the station's cards: reserved connectors, the
// cache, the central system's Authorize and the offline rules.
#include <cstring>

#include "clock.h"
#include "command_slots.h"
#include "messages.h"
#include "tarnet.h"

namespace ocppj {

namespace {

constexpr int kAccepted = 2;
constexpr int kRejected = 3;
constexpr int kPending = -1;  // the central system's answer is awaited: decided in a later pass

}  // namespace

int Tarnet::AuthorizeOfflineHandling() {
    const std::string idTag = FieldText(x_->authorize.idTag);
    if (!ConfigTrue("LocalAuthorizeOffline")) return kRejected;
    const std::string policy = config_.Value("OfflinePolicy");
    if (policy == "1") return kAccepted;
    if (policy == "2") return kRejected;
    const bool cacheOn = ConfigTrue("AuthorizationCacheEnabled");
    const bool unknownOk = ConfigTrue("AllowOfflineTxForUnknownId");
    if (ConfigTrue("LocalAuthListEnabled")) {
        std::string parent;
        const int listed = AuthByLocalList(idTag, &parent);
        if (listed == kListAccepted) {
            pu8ParentIdTagBuffer = parent;
            return kAccepted;
        }
        if (listed != kListNotListed) return kRejected;
        if (!cacheOn) return unknownOk ? kAccepted : kRejected;
    } else if (!cacheOn) {
        return kRejected;
    }
    std::string parent;
    switch (cache_.Check(idTag, &parent)) {
    case kCacheAccepted:
        pu8ParentIdTagBuffer = parent;
        return kAccepted;
    case kCacheUnknown:
        return unknownOk ? kAccepted : kRejected;
    default:
        return kRejected;
    }
}

int Tarnet::AuthorizeHandling() {
    const std::string idTag = FieldText(app_->authIdTag);
    if (authInFlight_) {
        if (SameIdTag(authTag_, idTag)) return AuthorizeAnswer(idTag);
        if (TestBit(*x_, kBitAuthorize)) return kPending;  // the slot is the transport's until then
        authInFlight_ = false;
    }
    std::memset(&x_->authorize, 0, sizeof x_->authorize);
    PutText(x_->authorize.idTag, idTag);
    if (Load(app_->backendOnline) != 1) return AuthorizeOfflineHandling();

    const bool cacheOn = ConfigTrue("AuthorizationCacheEnabled");
    if (ConfigTrue("LocalPreAuthorize")) {
        std::string parent;
        if (ConfigTrue("LocalAuthListEnabled") && AuthByLocalList(idTag, &parent) == kListAccepted) {
            pu8ParentIdTagBuffer = parent;
            return kAccepted;
        }
        if (cacheOn && cache_.Check(idTag, &parent) == kCacheAccepted) {
            pu8ParentIdTagBuffer = parent;
            return kAccepted;
        }
    }

    // The answer is read in a later pass, from the Authorize's own answer
    // byte, which no other CALL in flight can change; the loop goes on
    // meanwhile.
    CallAnswer(*x_, Request::Authorize).store(0, std::memory_order_release);
    SetBit(*x_, kBitAuthorize);
    authInFlight_ = true;
    authTag_ = idTag;
    authSinceMs_ = platform::GetClock().MonotonicMs();
    return kPending;
}

int Tarnet::AuthorizeAnswer(const std::string& idTag) {
    const bool cacheOn = ConfigTrue("AuthorizationCacheEnabled");
    if (TestBit(*x_, kBitAuthorize)) {
        if (Load(x_->backendReachable) == 1 &&
            platform::GetClock().MonotonicMs() - authSinceMs_ < kAuthorizeWaitMs)
            return kPending;
        ClearBit(*x_, kBitAuthorize);
    } else if (const std::uint8_t answer = CallAnswer(*x_, Request::Authorize).load(std::memory_order_acquire);
               answer != 0) {
        authInFlight_ = false;
        if ((answer & ~kAnswered) != 0) {
            Log("[Info][Authorize] Call Error:" + std::to_string(answer & ~kAnswered));
            return kRejected;
        }
        const std::string parent = FieldText(x_->authorize.parentIdTag);
        if (FieldText(x_->authorize.status) == "Accepted") {
            if (cacheOn) cache_.Update(idTag, FieldText(x_->authorize.expiryDate), parent, 0);
            pu8ParentIdTagBuffer = parent;
            return kAccepted;
        }
        if (cacheOn) cache_.Update(idTag, "", "", 1);
        return kRejected;
    }
    // Dropped unanswered, or no answer in time: the link is gone.
    authInFlight_ = false;
    Log("[Info][Authorize] Backend disconnect");
    return AuthorizeOfflineHandling();
}

int Tarnet::rsrvdConnAuth(int c) {
    const int r = AuthorizeHandling();
    const Reservation& rsv = runtime_[c - 1].reservation;
    if (SameIdTag(FieldText(rsv.idTag), FieldText(app_->authIdTag)) || r != kAccepted) return r;
    const std::string rsvParent = FieldText(rsv.parentIdTag);
    if (!pu8ParentIdTagBuffer.empty() && !rsvParent.empty() && SameIdTag(pu8ParentIdTagBuffer, rsvParent)) {
        return kAccepted;
    }
    return kRejected;
}

int Tarnet::CheckParentID(int c) {
    const std::string connectorParent = FieldText(fennick::ConnectorRec(*app_, c).parentIdTag);
    if (pu8ParentIdTagBuffer.empty() && connectorParent.empty()) {
        Log("[Info][Authorize] Connector parent ID and card parent ID are empty");
        return 0;
    }
    const bool same = SameIdTag(pu8ParentIdTagBuffer, connectorParent);
    Log(std::string("[Info][Authorize] ParentID check ") + (same ? "ok" : "fail") + ". Connector ID=" +
        std::to_string(c) + ", connector parent ID=" + connectorParent + ", card parent ID=" + pu8ParentIdTagBuffer);
    return same ? 1 : 0;
}

int Tarnet::AuthMgmt() {
    if (app_->authIdTag[0] == '\0') return 1;
    Store(app_->authResult, 1);
    const std::string idTag = FieldText(app_->authIdTag);
    const std::int32_t c = app_->authConnectorId;
    const std::uint8_t kind = app_->authKind;
    int result = kRejected;
    pu8ParentIdTagBuffer.clear();

    // A start the central system asked for by RemoteStartTransaction.
    RemoteStartSlot& remote = RemoteStartOf(*x_);
    const bool remoteStart = FieldText(remote.status) == "Accepted" && SameIdTag(FieldText(remote.idTag), idTag);
    const bool remoteUnasked = remoteStart && !ConfigTrue("AuthorizeRemoteTxRequests");
    auto grant = [&](int k) {
        fennick::ConnectorRecord& r = fennick::ConnectorRec(*app_, k);
        PutText(r.idTag, idTag);
        PutText(r.parentIdTag, pu8ParentIdTagBuffer);
        if (remoteStart) std::atomic_ref<std::uint8_t>(r.remoteStartFlag).store(1, std::memory_order_release);
    };

    if (c < 0 || c > connectors_) {
        result = kRejected;
    } else if (kind == 0 && c >= 1) {
        const std::uint8_t status = fennick::ConnectorRec(*app_, c).status;
        if (!fennick::IsStartableStatus(status)) result = kRejected;
        else if (status == fennick::kStsReserved) result = rsrvdConnAuth(c);
        else if (remoteUnasked) result = kAccepted;
        else result = AuthorizeHandling();
        if (result == kAccepted) grant(c);
    } else if (kind == 0) {
        result = 1;
        for (int k = 1; k <= connectors_; ++k) {
            const std::uint8_t status = fennick::ConnectorRec(*app_, k).status;
            if (!fennick::IsStartableStatus(status)) {
                result = kRejected;
                continue;
            }
            if (status == fennick::kStsReserved) {
                result = rsrvdConnAuth(k);
                if (result == kAccepted) break;
                continue;
            }
            result = remoteUnasked ? kAccepted : AuthorizeHandling();
            break;
        }
        if (result == kAccepted) {
            authWithIdZero = 1;
            for (int k = 1; k <= connectors_; ++k)
                if (fennick::IsStartableStatus(fennick::ConnectorRec(*app_, k).status)) grant(k);
        }
    } else if (kind == 1 && c >= 1) {
        fennick::ConnectorRecord& r = fennick::ConnectorRec(*app_, c);
        // The card that started stops without asking anybody.
        if (SameIdTag(idTag, FieldText(r.idTag))) {
            result = kAccepted;
        } else if (const int asked = AuthorizeHandling(); asked == kPending) {
            result = kPending;
        } else if (asked == kAccepted && CheckParentID(c) == 1) {
            result = kAccepted;
        }
        if (result == kAccepted && runtime_[c - 1].txnStartTime != 0)
            // A reason outside the table could not be sent: it stands as Other.
            CloseTransaction(c, app_->authStopReason < kStopReasonCount ? app_->authStopReason : 4, idTag, true);
        if (result == kAccepted && fennick::Rating(*app_, c).hasConnectorLock != 0) r.unlockReq = 1;
    }
    if (result == kPending) return 1;  // the mailbox stays until the answer decides it
    if (remoteStart && result == kAccepted) std::memset(remote.idTag, 0, sizeof remote.idTag);
    if (result != 1) Store(app_->authResult, static_cast<std::uint8_t>(result));
    else Store(app_->authResult, kRejected);
    std::memset(app_->authIdTag, 0, sizeof app_->authIdTag);
    return 1;
}

}  // namespace ocppj
