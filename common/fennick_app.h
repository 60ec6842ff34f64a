// FennickApp: the OCPP application segment (System V key 1111, 108,948 bytes).
//
// The station side, Bastide, Fennick, Tarnet and Wendle share everything about
// OCPP 1.6J that is not a single message through this one record: identity and
// link settings, the configuration values, storage paths, connector ratings,
// the status ring Bastide fills for Tarnet, the meter blocks, the authorization
// mailbox, the reset, firmware and configuration handshake bytes and Tarnet's
// record per connector. Every offset is part of the interface between the
// programs; the static_asserts below hold them in place.
//
// Byte order is the processor's native little-endian; texts are NUL-terminated
// within their width unless said otherwise; padding bytes stay zero.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace fennick {

inline constexpr int kFennickAppKey = 1111;
inline constexpr std::size_t kFennickAppSize = 108948;
inline constexpr int kFennickAppMode = 0777;

// Every per-connector array holds this many entries; NumberOfConnectors lies
// in 1..kMaxConnectors.
inline constexpr int kMaxConnectors = 5;
inline constexpr std::size_t kStatusRingSlots = 256;
inline constexpr std::size_t kMeasurandCount = 22;

// Measurand names in the order of the per-measurand arrays (`measurandSupport`,
// `measurandDescriptors`).
inline constexpr const char* MeterMeasurandDefTable[kMeasurandCount] = {
    "Current.Export",
    "Current.Import",
    "Current.Offered",
    "Energy.Active.Export.Register",
    "Energy.Active.Import.Register",
    "Energy.Reactive.Export.Register",
    "Energy.Reactive.Import.Register",
    "Energy.Active.Export.Interval",
    "Energy.Active.Import.Interval",
    "Energy.Reactive.Export.Interval",
    "Energy.Reactive.Import.Interval",
    "Frequency",
    "Power.Active.Export",
    "Power.Active.Import",
    "Power.Factor",
    "Power.Offered",
    "Power.Reactive.Export",
    "Power.Reactive.Import",
    "RPM",
    "SoC",
    "Temperature",
    "Voltage",
};

// Index of a StatusNotification status text, as carried by CpStatus.status and
// ConnectorRecord.status.
enum CpStatusIndex : std::uint8_t {
    kStsAvailable = 0,
    kStsPreparing = 1,
    kStsCharging = 2,
    kStsSuspendedEVSE = 3,
    kStsSuspendedEV = 4,
    kStsFinishing = 5,
    kStsReserved = 6,
    kStsUnavailable = 7,
    kStsFaulted = 8,
};

// A connector in one of these states has a transaction running.
constexpr bool IsChargingStatus(std::uint8_t status) {
    return status == kStsCharging || status == kStsSuspendedEVSE || status == kStsSuspendedEV;
}

// A connector in one of these states can take a transaction.
constexpr bool IsStartableStatus(std::uint8_t status) {
    return status == kStsAvailable || status == kStsPreparing || status == kStsFinishing || status == kStsReserved;
}

// StatusNotification errorCode indices the station writes itself.
enum CpErrorIndex : std::uint8_t {
    kErrGroundFailure = 2,
    kErrNoError = 6,
    kErrOtherError = 7,
};

// One StatusNotification.req queued in the status ring. Every text is
// NUL-terminated, the rest of each field zero.
struct CpStatus {
    std::int32_t connectorId;      // 0 = charge point, 1.. = connector
    std::uint8_t errorCode;        // CpErrorIndex
    char info[51];
    std::uint8_t status;           // CpStatusIndex
    char timestamp[28];            // "YYYY-MM-DDThh:mm:ssZ"
    char vendorId[256];
    char vendorErrorCode[51];      // event code of an alarm record, else empty
};
static_assert(sizeof(CpStatus) == 392);
static_assert(offsetof(CpStatus, connectorId) == 0);
static_assert(offsetof(CpStatus, errorCode) == 4);
static_assert(offsetof(CpStatus, info) == 5);
static_assert(offsetof(CpStatus, status) == 56);
static_assert(offsetof(CpStatus, timestamp) == 57);
static_assert(offsetof(CpStatus, vendorId) == 85);
static_assert(offsetof(CpStatus, vendorErrorCode) == 341);

// Value of every OCPP configuration key (segment bytes 388-3627). Booleans are
// 0/1 bytes, integers s32, texts NUL-terminated.
struct ConfigValues {
    std::uint8_t AllowOfflineTxForUnknownId;      // 388
    std::uint8_t AuthorizationCacheEnabled;       // 389
    std::uint8_t AuthorizeRemoteTxRequests;       // 390
    std::uint8_t pad391[5];
    std::int32_t ClockAlignedDataInterval;        // 396, s
    std::int32_t ConnectionTimeOut;               // 400, s
    std::int32_t HeartbeatInterval;               // 404, s
    std::uint8_t pad408[4];
    std::uint8_t LocalAuthorizeOffline;           // 412
    std::uint8_t LocalPreAuthorize;               // 413
    std::uint8_t pad414[6];
    char MeterValuesAlignedData[501];             // 420
    std::uint8_t MeterValuesAlignedDataMaxLength; // 921
    char MeterValuesSampledData[501];             // 922
    std::uint8_t MeterValuesSampledDataMaxLength; // 1423
    std::int32_t MeterValueSampleInterval;        // 1424, s
    std::uint8_t pad1428[4];
    std::int32_t NumberOfConnectors;              // 1432, 1..5
    std::int32_t ResetRetries;                    // 1436
    char ConnectorPhaseRotation[501];             // 1440
    std::uint8_t ConnectorPhaseRotationMaxLength; // 1941
    std::uint8_t StopTransactionOnEVSideDisconnect; // 1942
    std::uint8_t StopTransactionOnInvalidId;      // 1943
    char StopTxnAlignedData[501];                 // 1944
    std::uint8_t StopTxnAlignedDataMaxLength;     // 2445
    char StopTxnSampledData[501];                 // 2446
    std::uint8_t StopTxnSampledDataMaxLength;     // 2947
    std::int32_t TransactionMessageAttempts;      // 2948
    std::int32_t TransactionMessageRetryInterval; // 2952, s
    std::uint8_t UnlockConnectorOnEVSideDisconnect; // 2956
    std::uint8_t pad2957[3];
    std::int32_t WebSocketPingInterval;           // 2960, s
    std::uint8_t LocalAuthListEnabled;            // 2964
    std::uint8_t pad2965[3];
    std::uint8_t AuthorizationRequired;           // 2968
    char NonAuthorizedTag[131];                   // 2969, at most 127 characters written
    std::int32_t OfflinePolicy;                   // 3100, 0..2
    std::uint8_t IsIdTagLittleEndian;             // 3104
    char APN[32];                                 // 3105
    char ChapUsername[32];                        // 3137
    char ChapPassword[32];                        // 3169
    char ServerURL[256];                          // 3201
    std::uint8_t HTTPBasicAuthEnable;             // 3457
    char AuthorizationKey[40];                    // 3458
    char ChargeBoxID[130];                        // 3498, at most 127 characters written
};
static_assert(sizeof(ConfigValues) == 3240);

// BootNotification identity: fixed widths without NUL, the tail after a
// shorter text zero.
struct BootIdentity {
    char chargeBoxSerialNumber[25];
    char chargePointModel[20];
    char chargePointSerialNumber[25];
    char chargePointVendor[20];
    char firmwareVersion[50];
    char iccid[20];
    char imsi[20];
    char meterSerialNumber[25];
    char meterType[25];
};
static_assert(sizeof(BootIdentity) == 230);

struct ConnectorRating {
    std::uint8_t hasConnectorLock;  // non-zero: a cable lock to release after a stop
    std::uint8_t pad1[3];
    float maxPowerW;                // bounds of charging-profile limits
    float minPowerW;
    float maxCurrentA;
    float minCurrentA;
};
static_assert(sizeof(ConnectorRating) == 20);

// Format, phase and location of one measurand; empty texts mean "Raw", no
// phase and "Body".
struct MeasurandDescriptor {
    char format[20];
    char phase[5];
    char location[10];
};
static_assert(sizeof(MeasurandDescriptor) == 35);

struct ConnectorMeterBlock {
    std::int32_t currentImport;         // 0.01 A
    std::int32_t energyImportRegister;  // Wh, never decreasing
    std::int32_t powerImport;           // W
    std::int32_t soc;                   // %
    std::int32_t voltage;               // 0.01 V
    std::int32_t currentOffered;        // 0.01 A
    MeasurandDescriptor measurandDescriptors[kMeasurandCount];
    std::uint8_t pad794[2];
};
static_assert(sizeof(ConnectorMeterBlock) == 796);
static_assert(offsetof(ConnectorMeterBlock, currentOffered) == 20);
static_assert(offsetof(ConnectorMeterBlock, measurandDescriptors) == 24);

// Tarnet's view of one connector; written by Tarnet only.
struct ConnectorRecord {
    char idTag[21];                 // authorized idTag, empty when free
    char parentIdTag[21];
    std::uint8_t status;            // CpStatusIndex of the latest status record
    std::uint8_t unavailable;       // 1 = Inoperative by ChangeAvailability
    std::uint8_t reserved;          // 1 = held by a reservation
    std::uint8_t pad45[3];
    float currentLimitA;            // -1.0 = none
    float currentMinRate;
    float powerLimitW;              // -1.0 = none
    float powerMinRate;
    std::uint8_t stopChargingReq;   // 1 = the station is to stop charging and clear it
    std::uint8_t remoteStartFlag;   // 1 = start authorized remotely; taken by the station
    std::uint8_t unlockReq;         // 1 = unlock the cable; taken by the station
    std::uint8_t txnRunning;        // 1 = a transaction is open and not stopping
};
static_assert(sizeof(ConnectorRecord) == 68);
static_assert(offsetof(ConnectorRecord, status) == 42);
static_assert(offsetof(ConnectorRecord, currentLimitA) == 48);
static_assert(offsetof(ConnectorRecord, stopChargingReq) == 64);
static_assert(offsetof(ConnectorRecord, txnRunning) == 67);

struct FennickApp {
    char chargeBoxIdentity[128];        // identity in use: URL path end, basic-auth user
    char centralSystemUrl[256];         // ws:// or wss://host[:port]/path
    std::uint8_t tlsEnabled;
    std::uint8_t pad385[3];
    ConfigValues configValues;
    BootIdentity bootIdentity;
    char storagePath[32];               // ends with "/"
    char diagLogDir1[32];
    char diagLogDir2[32];
    char ocppLogDir[32];                // ends with "/"
    char fwDownloadDir[32];
    char caCertPath[32];
    char diagExtraFile[32];
    std::uint8_t pad4082[2];
    ConnectorRating connectorRatings[kMaxConnectors];
    std::int32_t remoteStartOnFinishingBlocked;
    std::uint8_t statusRingWriteIndex;  // next slot Bastide fills
    std::uint8_t pad4189[3];
    CpStatus statusRing[kStatusRingSlots];
    ConnectorMeterBlock meterBlocks[kMaxConnectors];
    char authIdTag[21];                 // non-empty = authorization pending
    std::uint8_t authKind;              // 0 start, 1 stop
    std::uint8_t pad108546[2];
    std::int32_t authConnectorId;       // 1..N, 0 = any
    std::uint8_t authStopReason;
    std::uint8_t pad108553[3];
    std::int32_t fwInstallState;        // 1 install, 2 installed, 3 failed
    std::int32_t ocppLinkHold;          // 1 = Fennick holds its link down
    std::uint8_t measurandSupport[kMeasurandCount];
    std::uint8_t pad108586[2];
    char ctrlVersion[12];
    std::uint8_t backendOnline;
    std::uint8_t websocketConnected;
    std::uint8_t authResult;            // 1 in progress, 2 accepted, 3 rejected
    std::uint8_t clockSetFlag;
    std::uint8_t configChangedFlag;
    std::uint8_t hardResetReq;          // 2 stopping transactions, 1 ready to reboot
    std::uint8_t softResetReq;
    std::uint8_t pad108607;
    ConnectorRecord connectorRecords[kMaxConnectors];
};

static_assert(sizeof(FennickApp) == kFennickAppSize);
static_assert(offsetof(FennickApp, centralSystemUrl) == 128);
static_assert(offsetof(FennickApp, tlsEnabled) == 384);
static_assert(offsetof(FennickApp, configValues) == 388);
static_assert(offsetof(FennickApp, bootIdentity) == 3628);
static_assert(offsetof(FennickApp, storagePath) == 3858);
static_assert(offsetof(FennickApp, diagLogDir1) == 3890);
static_assert(offsetof(FennickApp, diagLogDir2) == 3922);
static_assert(offsetof(FennickApp, ocppLogDir) == 3954);
static_assert(offsetof(FennickApp, fwDownloadDir) == 3986);
static_assert(offsetof(FennickApp, caCertPath) == 4018);
static_assert(offsetof(FennickApp, diagExtraFile) == 4050);
static_assert(offsetof(FennickApp, connectorRatings) == 4084);
static_assert(offsetof(FennickApp, remoteStartOnFinishingBlocked) == 4184);
static_assert(offsetof(FennickApp, statusRingWriteIndex) == 4188);
static_assert(offsetof(FennickApp, statusRing) == 4192);
static_assert(offsetof(FennickApp, meterBlocks) == 104544);
static_assert(offsetof(FennickApp, authIdTag) == 108524);
static_assert(offsetof(FennickApp, authKind) == 108545);
static_assert(offsetof(FennickApp, authConnectorId) == 108548);
static_assert(offsetof(FennickApp, authStopReason) == 108552);
static_assert(offsetof(FennickApp, fwInstallState) == 108556);
static_assert(offsetof(FennickApp, ocppLinkHold) == 108560);
static_assert(offsetof(FennickApp, measurandSupport) == 108564);
static_assert(offsetof(FennickApp, ctrlVersion) == 108588);
static_assert(offsetof(FennickApp, backendOnline) == 108600);
static_assert(offsetof(FennickApp, websocketConnected) == 108601);
static_assert(offsetof(FennickApp, authResult) == 108602);
static_assert(offsetof(FennickApp, clockSetFlag) == 108603);
static_assert(offsetof(FennickApp, configChangedFlag) == 108604);
static_assert(offsetof(FennickApp, hardResetReq) == 108605);
static_assert(offsetof(FennickApp, softResetReq) == 108606);
static_assert(offsetof(FennickApp, connectorRecords) == 108608);

// configValues, key by key (absolute segment offsets).
#define FENNICK_CFG_AT(field, at) \
    static_assert(offsetof(FennickApp, configValues) + offsetof(ConfigValues, field) == (at))
FENNICK_CFG_AT(AllowOfflineTxForUnknownId, 388);
FENNICK_CFG_AT(AuthorizationCacheEnabled, 389);
FENNICK_CFG_AT(AuthorizeRemoteTxRequests, 390);
FENNICK_CFG_AT(ClockAlignedDataInterval, 396);
FENNICK_CFG_AT(ConnectionTimeOut, 400);
FENNICK_CFG_AT(HeartbeatInterval, 404);
FENNICK_CFG_AT(LocalAuthorizeOffline, 412);
FENNICK_CFG_AT(LocalPreAuthorize, 413);
FENNICK_CFG_AT(MeterValuesAlignedData, 420);
FENNICK_CFG_AT(MeterValuesAlignedDataMaxLength, 921);
FENNICK_CFG_AT(MeterValuesSampledData, 922);
FENNICK_CFG_AT(MeterValuesSampledDataMaxLength, 1423);
FENNICK_CFG_AT(MeterValueSampleInterval, 1424);
FENNICK_CFG_AT(NumberOfConnectors, 1432);
FENNICK_CFG_AT(ResetRetries, 1436);
FENNICK_CFG_AT(ConnectorPhaseRotation, 1440);
FENNICK_CFG_AT(ConnectorPhaseRotationMaxLength, 1941);
FENNICK_CFG_AT(StopTransactionOnEVSideDisconnect, 1942);
FENNICK_CFG_AT(StopTransactionOnInvalidId, 1943);
FENNICK_CFG_AT(StopTxnAlignedData, 1944);
FENNICK_CFG_AT(StopTxnAlignedDataMaxLength, 2445);
FENNICK_CFG_AT(StopTxnSampledData, 2446);
FENNICK_CFG_AT(StopTxnSampledDataMaxLength, 2947);
FENNICK_CFG_AT(TransactionMessageAttempts, 2948);
FENNICK_CFG_AT(TransactionMessageRetryInterval, 2952);
FENNICK_CFG_AT(UnlockConnectorOnEVSideDisconnect, 2956);
FENNICK_CFG_AT(WebSocketPingInterval, 2960);
FENNICK_CFG_AT(LocalAuthListEnabled, 2964);
FENNICK_CFG_AT(AuthorizationRequired, 2968);
FENNICK_CFG_AT(NonAuthorizedTag, 2969);
FENNICK_CFG_AT(OfflinePolicy, 3100);
FENNICK_CFG_AT(IsIdTagLittleEndian, 3104);
FENNICK_CFG_AT(APN, 3105);
FENNICK_CFG_AT(ChapUsername, 3137);
FENNICK_CFG_AT(ChapPassword, 3169);
FENNICK_CFG_AT(ServerURL, 3201);
FENNICK_CFG_AT(HTTPBasicAuthEnable, 3457);
FENNICK_CFG_AT(AuthorizationKey, 3458);
FENNICK_CFG_AT(ChargeBoxID, 3498);
#undef FENNICK_CFG_AT

// bootIdentity, field by field (first byte / width).
#define FENNICK_BOOT_AT(field, at, width)                                                 \
    static_assert(offsetof(FennickApp, bootIdentity) + offsetof(BootIdentity, field) == (at) && \
                  sizeof(BootIdentity::field) == (width))
FENNICK_BOOT_AT(chargeBoxSerialNumber, 3628, 25);
FENNICK_BOOT_AT(chargePointModel, 3653, 20);
FENNICK_BOOT_AT(chargePointSerialNumber, 3673, 25);
FENNICK_BOOT_AT(chargePointVendor, 3698, 20);
FENNICK_BOOT_AT(firmwareVersion, 3718, 50);
FENNICK_BOOT_AT(iccid, 3768, 20);
FENNICK_BOOT_AT(imsi, 3788, 20);
FENNICK_BOOT_AT(meterSerialNumber, 3808, 25);
FENNICK_BOOT_AT(meterType, 3833, 25);
#undef FENNICK_BOOT_AT

// Connector c (1-based) of the per-connector arrays.
inline ConnectorRecord& ConnectorRec(FennickApp& app, int c) { return app.connectorRecords[c - 1]; }
inline ConnectorMeterBlock& MeterBlock(FennickApp& app, int c) { return app.meterBlocks[c - 1]; }
inline ConnectorRating& Rating(FennickApp& app, int c) { return app.connectorRatings[c - 1]; }

// The status ring is shared without a lock: the writer completes a slot, then
// publishes the advanced index with release; a reader loads the index with
// acquire and then takes slots up to it. Only Bastide writes the ring.
inline std::uint8_t LoadRingWriteIndex(FennickApp& app) {
    return std::atomic_ref<std::uint8_t>(app.statusRingWriteIndex).load(std::memory_order_acquire);
}
inline void PublishRingWriteIndex(FennickApp& app, std::uint8_t next) {
    std::atomic_ref<std::uint8_t>(app.statusRingWriteIndex).store(next, std::memory_order_release);
}

// Attaches the segment: Fennick (and the station side) create it, every other
// program opens it without create. Returns nullptr with the reason in `error`.
FennickApp* AttachFennickApp(bool create, std::string* error = nullptr);

// The configuration file Bastide keeps and the station side reads back at
// boot: FennickApp bytes 388-3627 at 0, zeros, the byte sum of 0-4091 as an
// int32 little-endian at 4092.
inline constexpr const char* kFennickConfigFile = "/Storage/FennickConfig3";
inline constexpr std::size_t kFennickConfigSize = 4096;
inline constexpr std::size_t kFennickConfigSumOffset = 4092;
void BuildFennickConfigImage(const FennickApp& app, std::uint8_t (&image)[kFennickConfigSize]);
// True when the image's stored sum holds.
bool FennickConfigImageValid(const std::uint8_t* image, std::size_t size);
// Copies the configuration values of a valid image into the segment; false
// (nothing copied) when the image is not one.
bool LoadFennickConfigImage(FennickApp& app, const std::uint8_t* image, std::size_t size);

}  // namespace fennick
