// The OCPP exchange segment (System V key 2222, 53,744 bytes): the one
// meeting point of Fennick (the websocket transport) and Tarnet (the
// charge-point logic). Every OCPP message has one fixed slot and one flag bit.
//
// Flag bytes are shared by both programs (byte 3 carries bits of each), so a
// bit is only ever set or cleared with an atomic or/and; a slot is filled
// before its bit is published and read after the bit is seen.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fennick_app.h"

namespace ocppj {

inline constexpr int kExchangeKey = 2222;
inline constexpr std::size_t kExchangeSize = 53744;

// Flag bits: byte index and mask.
struct FlagBit {
    std::uint8_t byte;
    std::uint8_t mask;
};
inline constexpr FlagBit kBitAuthorize{0, 0x01};
inline constexpr FlagBit kBitStartTransaction{0, 0x02};
inline constexpr FlagBit kBitStopTransaction{0, 0x04};
inline constexpr FlagBit kBitStatusNotification{0, 0x08};
inline constexpr FlagBit kBitMeterValues{0, 0x10};
inline constexpr FlagBit kBitDataTransfer{0, 0x20};
inline constexpr FlagBit kBitDiagnosticsStatus{0, 0x40};
inline constexpr FlagBit kBitFirmwareStatus{0, 0x80};
inline constexpr FlagBit kBitBootNotification{3, 0x08};
inline constexpr FlagBit kBitHeartbeat{3, 0x10};

// Central-system commands in flag order: byte 1 bit 0 first, 19 in all.
inline constexpr int kCommandCount = 19;
inline constexpr const char* kCommandNames[kCommandCount] = {
    "CancelReservation", "ChangeAvailability", "ChangeConfiguration", "ClearCache",
    "ClearChargingProfile", "DataTransfer", "GetCompositeSchedule", "GetConfiguration",
    "GetDiagnostics", "GetLocalListVersion", "RemoteStartTransaction", "RemoteStopTransaction",
    "ReserveNow", "Reset", "SendLocalList", "SetChargingProfile",
    "TriggerMessage", "UnlockConnector", "UpdateFirmware",
};
inline constexpr FlagBit CommandBit(int index) {
    return FlagBit{static_cast<std::uint8_t>(1 + index / 8), static_cast<std::uint8_t>(1u << (index % 8))};
}
// Index of a command action name, -1 when it is none of the nineteen.
int CommandIndex(const std::string& action);
inline constexpr int kCmdChangeConfiguration = 2;
inline constexpr int kCmdGetConfiguration = 7;
inline constexpr int kCmdTriggerMessage = 16;
inline constexpr int kCmdUnlockConnector = 17;
inline constexpr int kCmdUpdateFirmware = 18;

struct SampledValue {
    char value[128];
    char context[20];
    char format[12];
    char measurand[32];
    char phase[8];
    char location[8];
    char unit[12];
};
static_assert(sizeof(SampledValue) == 220);

struct MeterValue {
    char timestamp[28];  // empty = record unused
    SampledValue sampledValue[7];
};
static_assert(sizeof(MeterValue) == 1568);

struct ConfigKeyEntry {
    char key[51];
    char readonly[8];  // "true" or "false"
    char value[501];   // empty = no value key
};
static_assert(sizeof(ConfigKeyEntry) == 560);

inline constexpr int kConfigListMax = 50;

struct Exchange {
    std::uint8_t reqFlags;
    std::uint8_t cmdFlags[3];
    std::uint8_t wsConnected;
    std::uint8_t backendReachable;
    std::uint8_t lastCallResult;
    std::uint8_t bootAccepted;

    struct {
        char idTag[21];
        char expiryDate[28];
        char parentIdTag[21];
        char status[16];
        std::uint8_t pad[2];
    } authorize;  // 8
    struct {
        char chargePointVendor[21];
        char chargePointModel[21];
        char chargePointSerialNumber[26];
        char chargeBoxSerialNumber[26];
        char firmwareVersion[51];
        char iccid[21];
        char imsi[21];
        char meterType[26];
        char meterSerialNumber[26];
        char status[16];
        char currentTime[28];
        std::uint8_t pad;
        std::int32_t interval;
    } boot;  // 96
    struct {
        char vendorId[256];
        char messageId[52];
        char data[256];
        char status[18];
        char answerData[256];
    } dataTransfer;  // 384
    struct {
        char status[16];
    } diagnosticsStatus;  // 1222
    struct {
        char status[20];
    } firmwareStatus;  // 1238
    struct {
        char currentTime[28];
        std::uint8_t pad[2];
    } heartbeat;  // 1258
    struct {
        std::int32_t connectorId;
        std::int32_t transactionId;
        MeterValue meterValue[2];
    } meterValues;  // 1288
    struct {
        std::int32_t connectorId;
        char idTag[21];
        std::uint8_t pad1[3];
        std::int32_t meterStart;
        std::int32_t reservationId;
        char timestamp[28];
        char expiryDate[28];
        char parentIdTag[21];
        char status[16];
        std::uint8_t pad2[3];
        std::int32_t transactionId;
    } startTransaction;  // 4432
    fennick::CpStatus statusNotification;  // 4568
    struct {
        char idTag[21];
        std::uint8_t pad1[3];
        std::int32_t meterStop;
        char timestamp[28];
        std::int32_t transactionId;
        std::uint8_t reason;
        // The room for transactionData is never filled nor sent; its first
        // bytes carry each request's own answer (see CallAnswer), which
        // lastCallResult cannot: the next CALL overwrites that byte.
        std::uint8_t callAnswer[16];
        std::uint8_t transactionData[3136 - 16];
        char expiryDate[28];
        char parentIdTag[21];
        char status[16];
        std::uint8_t pad2[2];
    } stopTransaction;  // 4960

    // Central-system command slots, 8224..53743. Only the two configuration
    // commands are laid out field by field here; the others are served by
    // later handlers.
    std::uint8_t cmdSlots1[8280 - 8224];
    struct {
        char key[51];
        char value[501];
        char status[16];
    } changeConfiguration;  // 8280
    std::uint8_t cmdSlots2[10092 - 8848];
    struct {
        char key[kConfigListMax][51];
        ConfigKeyEntry configurationKey[kConfigListMax];
        char unknownKey[kConfigListMax][51];
    } getConfiguration;  // 10092
    std::uint8_t cmdSlots3[kExchangeSize - 43192];
};

static_assert(sizeof(Exchange) == kExchangeSize);
static_assert(offsetof(Exchange, authorize) == 8);
static_assert(offsetof(Exchange, boot) == 96);
static_assert(offsetof(Exchange, boot.status) == 335);
static_assert(offsetof(Exchange, boot.currentTime) == 351);
static_assert(offsetof(Exchange, boot.interval) == 380);
static_assert(offsetof(Exchange, dataTransfer) == 384);
static_assert(offsetof(Exchange, dataTransfer.status) == 948);
static_assert(offsetof(Exchange, diagnosticsStatus) == 1222);
static_assert(offsetof(Exchange, firmwareStatus) == 1238);
static_assert(offsetof(Exchange, heartbeat) == 1258);
static_assert(offsetof(Exchange, meterValues) == 1288);
static_assert(offsetof(Exchange, startTransaction) == 4432);
static_assert(offsetof(Exchange, startTransaction.meterStart) == 4460);
static_assert(offsetof(Exchange, startTransaction.expiryDate) == 4496);
static_assert(offsetof(Exchange, startTransaction.transactionId) == 4564);
static_assert(offsetof(Exchange, statusNotification) == 4568);
static_assert(offsetof(Exchange, stopTransaction) == 4960);
static_assert(offsetof(Exchange, stopTransaction.reason) == 5020);
static_assert(offsetof(Exchange, stopTransaction.callAnswer) == 5021);
static_assert(offsetof(Exchange, stopTransaction.expiryDate) == 8157);
static_assert(offsetof(Exchange, changeConfiguration) == 8280);
static_assert(offsetof(Exchange, changeConfiguration.status) == 8832);
static_assert(offsetof(Exchange, getConfiguration) == 10092);
static_assert(offsetof(Exchange, getConfiguration.configurationKey) == 12642);
static_assert(offsetof(Exchange, getConfiguration.unknownKey) == 40642);
static_assert(offsetof(Exchange, cmdSlots3) == 43192);

// Command slot first byte and size, in flag order.
struct SlotRange {
    std::uint32_t offset;
    std::uint32_t size;
};
inline constexpr SlotRange kCommandSlots[kCommandCount] = {
    {8224, 20},  {8244, 36},  {8280, 568},  {8848, 16},  {8864, 52},   {8916, 840}, {9756, 336},
    {10092, 33100}, {43192, 576}, {43768, 4}, {43772, 432}, {44204, 16}, {44220, 92}, {44312, 20},
    {44332, 8636}, {52968, 412}, {53380, 52}, {53432, 20}, {53452, 292},
};

// Flag bits change only through these: byte 3 is shared by both programs.
inline std::atomic_ref<std::uint8_t> FlagByte(Exchange& x, std::uint8_t byte) {
    std::uint8_t* base = &x.reqFlags;
    return std::atomic_ref<std::uint8_t>(base[byte]);
}
inline bool TestBit(Exchange& x, FlagBit b) {
    return (FlagByte(x, b.byte).load(std::memory_order_acquire) & b.mask) != 0;
}
inline void SetBit(Exchange& x, FlagBit b) { FlagByte(x, b.byte).fetch_or(b.mask, std::memory_order_acq_rel); }
inline void ClearBit(Exchange& x, FlagBit b) {
    FlagByte(x, b.byte).fetch_and(static_cast<std::uint8_t>(~b.mask), std::memory_order_acq_rel);
}
inline std::atomic_ref<std::uint8_t> LinkByte(std::uint8_t& field) { return std::atomic_ref<std::uint8_t>(field); }
inline std::uint8_t Load(std::uint8_t& field) { return LinkByte(field).load(std::memory_order_acquire); }
inline void Store(std::uint8_t& field, std::uint8_t v) { LinkByte(field).store(v, std::memory_order_release); }

// Clears every flag of both directions at once (after a link loss).
inline void ClearAllFlags(Exchange& x) {
    for (std::uint8_t b = 0; b < 4; ++b) FlagByte(x, b).store(0, std::memory_order_release);
}

// Attaches the segment with create (both programs may be first).
Exchange* AttachExchange(std::string* error = nullptr);

// The code tables of the request slots.
inline constexpr int kErrorCodeCount = 16;
extern const char* const StatusNotification_ErrorCode[kErrorCodeCount];
inline constexpr int kStatusCount = 9;
extern const char* const StatusNotification_Status[kStatusCount];
inline constexpr int kStopReasonCount = 11;
extern const char* const StopTransaction_StopReason[kStopReasonCount];

// lastCallResult: 0 answered, 1..10 the CALLERROR codes below, 11 unparsable.
inline constexpr int kCallErrorCodeCount = 10;
extern const char* const kCallErrorCodes[kCallErrorCodeCount];
inline constexpr std::uint8_t kResultUnparsable = 11;
// A request's own answer byte: 0 while no answer came (outstanding, timed
// out, link lost), else kAnswered with the lastCallResult code of that answer
// in the low bits. Fennick writes it before the request's bit falls and only
// clears it when that request is sent again, so it stays the answer to that
// request whatever other CALLs go meanwhile.
inline constexpr std::uint8_t kAnswered = 0x80;
inline constexpr int kRequestCount = 10;
inline std::atomic_ref<std::uint8_t> CallAnswer(Exchange& x, int request) {
    return std::atomic_ref<std::uint8_t>(x.stopTransaction.callAnswer[request]);
}

// lastCallResult of a CALLERROR code (1..10), 11 for any other text. The
// spelling "OccurrenceConstraintViolation" of the errata counts as 8.
std::uint8_t CallErrorResult(const std::string& code);

}  // namespace ocppj
