// The command slots of the exchange segment that carry the central system's
// reservations, availability, remote start and stop, triggers, unlocks,
// charging profiles, composite schedules and the local list. Fennick fills
// the request fields, Tarnet the answer; the offsets are part of the
// interface between the two programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "exchange.h"

namespace ocppj {

inline constexpr int kCmdCancelReservation = 0;
inline constexpr int kCmdChangeAvailability = 1;
inline constexpr int kCmdClearCache = 3;
inline constexpr int kCmdClearChargingProfile = 4;
inline constexpr int kCmdDataTransfer = 5;
inline constexpr int kCmdGetCompositeSchedule = 6;
inline constexpr int kCmdGetLocalListVersion = 9;
inline constexpr int kCmdRemoteStartTransaction = 10;
inline constexpr int kCmdRemoteStopTransaction = 11;
inline constexpr int kCmdReserveNow = 12;
inline constexpr int kCmdSendLocalList = 14;
inline constexpr int kCmdSetChargingProfile = 15;

inline constexpr int kSchedulePeriods = 20;
inline constexpr int kLocalListSlotEntries = 100;

// startPeriod -1 (all bytes 0xFF) marks an unused period and the list's end.
struct SchedulePeriod {
    std::int32_t startPeriod;
    float limit;
    std::int32_t numberPhases;
};
static_assert(sizeof(SchedulePeriod) == 12);

// A charging profile as held in the table, its file and (from
// chargingProfileId on) the profile command slots.
struct ChgProfile {
    std::int32_t connectorId;
    std::int32_t chargingProfileId;
    std::int32_t transactionId;
    std::int32_t stackLevel;
    char chargingProfilePurpose[24];  // empty = free slot
    char chargingProfileKind[12];
    char recurrencyKind[8];
    char validFrom[28];
    char validTo[28];
    std::int32_t duration;
    char startSchedule[28];
    char chargingRateUnit[4];
    SchedulePeriod chargingSchedulePeriod[kSchedulePeriods];
    float minChargingRate;
    std::uint8_t zero[16];
};
static_assert(sizeof(ChgProfile) == 412);
static_assert(offsetof(ChgProfile, chargingProfilePurpose) == 16);
static_assert(offsetof(ChgProfile, validFrom) == 60);
static_assert(offsetof(ChgProfile, duration) == 116);
static_assert(offsetof(ChgProfile, chargingRateUnit) == 148);
static_assert(offsetof(ChgProfile, chargingSchedulePeriod) == 152);
static_assert(offsetof(ChgProfile, minChargingRate) == 392);
// The part of a profile a command carries: chargingProfileId to minChargingRate.
inline constexpr std::size_t kProfileBodyOffset = offsetof(ChgProfile, chargingProfileId);
inline constexpr std::size_t kProfileBodySize = 392;
// The purpose text of a profile body as a command carries it.
inline std::string ProfileBodyPurpose(const std::uint8_t* body) {
    const char* p = reinterpret_cast<const char*>(body) + offsetof(ChgProfile, chargingProfilePurpose) - kProfileBodyOffset;
    std::size_t n = 0;
    while (n < sizeof(ChgProfile::chargingProfilePurpose) && p[n] != '\0') ++n;
    return std::string(p, n);
}

struct LocalListEntry {
    char idTag[21];
    char expiryDate[28];
    char parentIdTag[21];
    char status[16];  // empty = no idTagInfo: the entry only removes
};
static_assert(sizeof(LocalListEntry) == 86);

struct CancelReservationSlot {  // 8224
    std::int32_t reservationId;
    char status[16];
};
struct ChangeAvailabilitySlot {  // 8244
    std::int32_t connectorId;
    char type[16];
    char status[16];
};
struct ClearCacheSlot {  // 8848
    char status[16];
};
struct ClearChargingProfileSlot {  // 8864
    std::int32_t id;           // -1 = absent
    std::int32_t connectorId;  // -1 = absent
    char chargingProfilePurpose[24];
    std::int32_t stackLevel;   // -1 = absent
    char status[16];
};
static_assert(offsetof(ClearChargingProfileSlot, status) == 8900 - 8864);
struct DataTransferCmdSlot {  // 8916
    char vendorId[256];
    char messageId[52];
    char data[256];
    char status[16];
};
static_assert(offsetof(DataTransferCmdSlot, status) == 9480 - 8916);
struct GetCompositeScheduleSlot {  // 9756
    std::int32_t connectorId;
    std::int32_t duration;
    char chargingRateUnit[4];
    char status[12];
    std::int32_t answerConnectorId;
    char scheduleStart[28];
    std::int32_t scheduleDuration;
    char startSchedule[28];
    char scheduleUnit[4];
    SchedulePeriod chargingSchedulePeriod[kSchedulePeriods];
    float minChargingRate;
};
static_assert(offsetof(GetCompositeScheduleSlot, answerConnectorId) == 9780 - 9756);
static_assert(offsetof(GetCompositeScheduleSlot, scheduleUnit) == 9844 - 9756);
static_assert(offsetof(GetCompositeScheduleSlot, minChargingRate) == 10088 - 9756);
static_assert(sizeof(GetCompositeScheduleSlot) == 336);
struct GetLocalListVersionSlot {  // 43768
    std::int32_t listVersion;
};
struct RemoteStartSlot {  // 43772
    std::int32_t connectorId;  // -1 = absent
    char idTag[21];
    std::uint8_t pad[3];
    std::uint8_t profile[kProfileBodySize];  // chargingProfileId..minChargingRate
    char status[12];
};
static_assert(offsetof(RemoteStartSlot, profile) == 43800 - 43772);
static_assert(offsetof(RemoteStartSlot, status) == 44192 - 43772);
struct RemoteStopSlot {  // 44204
    std::int32_t transactionId;
    char status[12];
};
// The ReserveNow slot; a connector keeps the request of its reservation in
// force in the same form (all zero = none).
struct Reservation {  // 44220
    std::int32_t connectorId;
    char expiryDate[28];
    char idTag[21];
    char parentIdTag[21];
    std::uint8_t pad[2];
    std::int32_t reservationId;
    char status[12];
};
static_assert(sizeof(Reservation) == 92);
static_assert(offsetof(Reservation, status) == 44300 - 44220);
struct SendLocalListSlot {  // 44332
    std::int32_t listVersion;
    char updateType[16];
    LocalListEntry entries[kLocalListSlotEntries];
    char status[16];
};
static_assert(offsetof(SendLocalListSlot, entries) == 44352 - 44332);
static_assert(offsetof(SendLocalListSlot, status) == 52952 - 44332);
struct SetChargingProfileSlot {  // 52968
    std::uint8_t profile[396];  // a ChgProfile up to minChargingRate, connectorId first
    char status[16];
};
static_assert(sizeof(SetChargingProfileSlot) == 412);
struct TriggerMessageSlot {  // 53380
    char requestedMessage[32];
    std::int32_t connectorId;  // -1 = absent
    char status[16];
};
struct UnlockConnectorSlot {  // 53432
    std::int32_t connectorId;
    char status[16];
};

// The slot of command `T` in the segment.
template <typename T>
T& SlotAt(Exchange& x, std::size_t offset) {
    return *reinterpret_cast<T*>(reinterpret_cast<std::uint8_t*>(&x) + offset);
}
template <typename T>
const T& SlotAt(const Exchange& x, std::size_t offset) {
    return *reinterpret_cast<const T*>(reinterpret_cast<const std::uint8_t*>(&x) + offset);
}
#define OCPPJ_SLOT(Type, Name, offset)                                             \
    inline Type& Name(Exchange& x) { return SlotAt<Type>(x, offset); }             \
    inline const Type& Name(const Exchange& x) { return SlotAt<Type>(x, offset); }
OCPPJ_SLOT(CancelReservationSlot, CancelReservationOf, 8224)
OCPPJ_SLOT(ChangeAvailabilitySlot, ChangeAvailabilityOf, 8244)
OCPPJ_SLOT(ClearCacheSlot, ClearCacheOf, 8848)
OCPPJ_SLOT(ClearChargingProfileSlot, ClearChargingProfileOf, 8864)
OCPPJ_SLOT(DataTransferCmdSlot, DataTransferCmdOf, 8916)
OCPPJ_SLOT(GetCompositeScheduleSlot, GetCompositeScheduleOf, 9756)
OCPPJ_SLOT(GetLocalListVersionSlot, GetLocalListVersionOf, 43768)
OCPPJ_SLOT(RemoteStartSlot, RemoteStartOf, 43772)
OCPPJ_SLOT(RemoteStopSlot, RemoteStopOf, 44204)
OCPPJ_SLOT(Reservation, ReserveNowOf, 44220)
OCPPJ_SLOT(SendLocalListSlot, SendLocalListOf, 44332)
OCPPJ_SLOT(SetChargingProfileSlot, SetChargingProfileOf, 52968)
OCPPJ_SLOT(TriggerMessageSlot, TriggerMessageOf, 53380)
OCPPJ_SLOT(UnlockConnectorSlot, UnlockConnectorOf, 53432)
#undef OCPPJ_SLOT

}  // namespace ocppj
