// Tarnet: the OCPP 1.6J charge-point logic. Start-up restores its state from
// the value files and starts Fennick; then one pass a second serves the
// central system's commands, the heartbeat, the reset hand-over and the
// transport watchdog.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "auth_cache.h"
#include "charging_profiles.h"
#include "config_table.h"
#include "diagnostics.h"
#include "exchange.h"
#include "fennick_app.h"
#include "firmware.h"
#include "txn_queue.h"
#include "local_list.h"

namespace ocppj {

inline constexpr const char* kCtrlVersion = "02.09.00.09";

// Value files: one value and a line feed under the storage directory.
// Reading gives the text up to the first line feed (at most 127 characters),
// "" when the file is missing or empty; writing replaces the file atomically.
std::string ReadValueFile(const std::string& dir, const std::string& name);
bool WriteValueFile(const std::string& dir, const std::string& name, const std::string& value);


struct ConnectorRuntime {
    std::int32_t transactionId = 0;
    std::int32_t txnStartTime = 0;
    // The id the central system gave to this connector's transaction that
    // started offline, while its queued messages are replayed (0 = none).
    std::int32_t offlineTxnId = 0;
    std::int32_t txProfileHoldSince = 0;  // a remote start's TxProfile waits for its transaction since then
    std::uint8_t statusPending = 0;     // lastStatus is to be sent
    std::uint8_t remoteStopReq = 0;     // a RemoteStopTransaction was accepted
    std::uint8_t deauthorized = 0;      // the central system refused the idTag of this transaction
    std::uint8_t endSeen = 0;           // an Available or Preparing came during the transaction
    fennick::CpStatus lastStatus{};     // latest record taken from the status ring
    Reservation reservation{};
};

// The MeterValues of a queued meter line, the values described as the live
// ones of the connector are.
void FillReplayedMeterVals(decltype(Exchange::meterValues)& m, const fennick::ConnectorMeterBlock& block,
                           const QueueRecord& r);

class Tarnet {
public:
    static constexpr std::int64_t kWatchdogMs = 60000;
    // An Authorize the transport neither answers nor drops in this time
    // counts as a lost link.
    static constexpr std::int64_t kAuthorizeWaitMs = 120000;
    // The station has this long to take an unlock request.
    static constexpr std::int64_t kUnlockWaitMs = 5000;

    // Returns false (with the log line written) when start-up fails.
    bool Init(fennick::FennickApp& app, Exchange& x);
    // One pass of the main loop.
    void Pass();

    void ConfCommandHandling();
    void CheckBackendCnnt();
    int AuthMgmt();
    // Authorization of the idTag in the mailbox: 2 accepted, 3 rejected, -1
    // while the central system's answer is awaited (asked again next pass).
    int AuthorizeHandling();
    int AuthorizeOfflineHandling();
    int AuthorizeAnswer(const std::string& idTag);
    int rsrvdConnAuth(int c);
    int CheckParentID(int c);
    // The local list's answer for an idTag: 4 accepted, 3 not listed, 0 refused.
    int AuthByLocalList(const std::string& idTag, std::string* parent);
    int StatusNotifMgmt();

    // Transactions, meter values and the offline queue.
    void TransactionMgmt();
    // The close of connector `c`'s transaction. `byCard`: a stop authorized by
    // a card, which raises no stopChargingReq and leaves the unlock to the
    // authorization.
    void CloseTransaction(int c, int reason, const std::string& idTag, bool byCard);
    // 1 when online and the offline queue is empty.
    int IsOnlineAndQueueBufEmpty();
    // Queues one record (its line exactly as replayed later); 1 when written.
    int PushTxnMsg2QueueBuf(const QueueRecord& r);
    int MeterValueMgmt();
    int TxnMsgQueueBufMgmt();
    int UploadTxnMsg();
    int CheckUploadResult(int type);
    // A TriggerMessage MeterValues for connector `c` (-1 every connector).
    void TriggerMeterValues(std::int32_t c) {
        meterValuesTriggerReq_ = 1;
        meterTriggerConnector_ = c;
    }
    TxnQueue& Queue() { return queue_; }
    int RsrvNowMgmt();
    void HeartBeatMgmt();
    void ResetMgmt();
    // The Reset command: "Accepted" for the types Hard and Soft.
    void ResetConf();
    void FennickWatchdog();

    const ConfigTable& Config() const { return config_; }
    AuthCache& Cache() { return cache_; }
    ConnectorRuntime& Runtime(int c) { return runtime_[c - 1]; }
    // A TriggerMessage StatusNotification for connector `c` (-1 every
    // connector, 0 the charge point) is to be served.
    void TriggerStatusNotification(std::int32_t c) {
        statusNotifTriggerReq_ = 1;
        statusTriggerConnector_ = c;
    }
    int ConnectorCount() const { return connectors_; }
    // A TriggerMessage MeterValues for connector `c` (-1 every connector) is
    // to be served by the meter-value handling.
    bool MeterValuesTriggered(std::int32_t* c) const {
        *c = meterTriggerConnector_;
        return meterValuesTriggerReq_ != 0;
    }

    // Charging profiles: housekeeping and each connector's limits, once a second.
    void ChgProfileMgmt();
    int SetChgProfile(std::int32_t connectorId, const std::uint8_t* body);
    const ProfileTable& Profiles() const { return profiles_; }
    const LocalList& List() const { return localList_; }
    std::int32_t LocalListVersion() const { return localListVersion_; }

private:
    void Log(const std::string& text);
    std::string StorageDir() const;
    void ChangeConfigurationConf();
    void GetConfigurationConf();
    // The commands served in their own files; false while the answer waits
    // (the command's bit stays set until a later pass completes it).
    bool ServeCommand(int command);
    void CancelReservationConf();
    void ChangeAvailabilityConf();
    void ClearCacheConf();
    void DataTransferConf();
    void RemoteStartTransactionConf();
    void RemoteStopTransactionConf();
    void ReserveNowConf();
    void TriggerMessageConf();
    bool UnlockConnectorConf();
    void SetChargingProfileConf();
    void ClearChargingProfileConf();
    void GetCompositeScheduleConf();
    void SendLocalListConf();
    void GetLocalListVersionConf();
    bool StartableByRemote(int c) const;
    bool WriteProfiles();
    std::vector<ConnectorTxn> Txns() const;

    fennick::FennickApp* app_ = nullptr;
    Exchange* x_ = nullptr;
    ConfigTable config_;
    int connectors_ = 1;
    std::vector<ConnectorRuntime> runtime_;
    std::vector<std::string> measurandSupport_;
    std::int32_t offlineTxnId_ = 0;  // the last offline id given out, as in "OffTxnID"
    std::int32_t localListVersion_ = 0;
    std::int64_t heartbeatStartMs_ = 0;
    std::int64_t watchdogAtMs_ = -1;  // -1: check at once
    std::unique_ptr<FirmwareUpdate> firmware_;
    std::unique_ptr<Diagnostics> diagnostics_;

    // Authorization.
    bool ConfigTrue(const char* key) const { return config_.Value(key) == "true"; }
    AuthCache cache_;
    std::string pu8ParentIdTagBuffer;  // parent id of the last accepted authorization
    std::uint8_t authWithIdZero = 0;   // a start for any connector was accepted
    bool authInFlight_ = false;        // an Authorize of authTag_ awaits its answer
    std::string authTag_;
    std::int64_t authSinceMs_ = 0;

    // Status notifications.
    void SendStatus(const fennick::CpStatus& record);
    void TakeStatus(const fennick::CpStatus& record);
    void MarkStatusPending(std::int32_t connector);
    void ResumeStatusRing();
    // Records taken from the ring and not yet sent, oldest first: the ring is
    // emptied every pass, so a burst never laps its read index.
    static constexpr std::size_t kStatusBacklogMax = 1024;
    std::deque<fennick::CpStatus> statusBacklog_;
    std::uint64_t backlogDropped_ = 0;
    fennick::CpStatus lastTaken_{};        // copy of the last ring slot taken
    bool ringTaken_ = false;
    std::uint32_t ringOverruns_ = 0;
    std::uint8_t u8CurrIndex = 0;          // read index into the status ring
    fennick::CpStatus sCpStatus{};         // latest charge-point record
    std::uint8_t s8CmdUpdateCpSts = 0;     // sCpStatus is to be sent
    std::uint8_t s8CmdByTrigMsg = 0;       // a TriggerMessage is being served
    std::uint8_t s8OfflineReconnectFlag = 0;  // link back, no frame yet: drain the ring
    std::uint8_t statusNotifTriggerReq_ = 0;
    std::int32_t statusTriggerConnector_ = 0;

    // Transactions.
    using StartSlot = decltype(Exchange::startTransaction);
    using StopSlot = decltype(Exchange::stopTransaction);
    using MeterVals = decltype(Exchange::meterValues);
    std::string ConnectorDir(int c) const;
    void StartTransaction(int c);
    void SetOfflineTxnId(int c, std::int32_t id);
    bool OfflineTxnPending(int c) const;
    TxnQueue queue_;

    // Meter values.
    void FillMeterVals(MeterVals& m, int c, const char* context, const std::string& list);
    void QueueMeterVals(const MeterVals& m);
    // The MeterValues slot is shared with the queue's replay: a direct send
    // waits until the replay has read the answer to its own.
    bool MeterSlotFree() const { return !TestBit(*x_, kBitMeterValues) && s8UploadStatus != 3; }
    std::vector<MeterVals> psMeterVals;    // ring of 16 records to send
    std::uint8_t u8NextIndex = 0;
    std::uint8_t u8CurrMeterIndex = 0;
    std::uint8_t u8ID = 1;                 // connector a trigger for all serves next
    std::int64_t clockAlignedOld_ = -1;    // start of the current interval, -1 not aligned
    std::int64_t clockTmSec_ = 0;          // second of the last clock-aligned look
    std::vector<std::int64_t> ptTmStart;   // per connector: time of the last periodic sample
    std::uint8_t meterValuesTriggerReq_ = 0;
    std::int32_t meterTriggerConnector_ = 0;

    // Replay of the offline queue.
    int s8UploadStatus = 0;                // type of the message in flight, 0 none
    int s32CntTx = 0;                      // failed attempts of that message
    std::int64_t tTmStartMs_ = 0;          // monotonic time of the last failure
    QueueRecord uploading_;                // the record in flight

    // Commands.
    int unlockConnector_ = 0;        // connector whose unlock awaits the station, 0 none
    std::int64_t unlockSinceMs_ = 0;
    ProfileTable profiles_{};
    LocalList localList_;
};

}  // namespace ocppj
