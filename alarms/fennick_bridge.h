// The OCPP 1.6J side of Bastide's bridge: connector and charge-point status
// derived from the register map and Tarnet's connector records, queued in the
// status ring; the present output values copied into the meter blocks; the
// charging limit Tarnet computed copied back into the register map.
#pragma once

#include <cstdint>

#include "bastide.h"

namespace alarms {

// Idle status of one connector given the other's: Unavailable when taken out
// of service, Reserved when held, Unavailable while the other charges or is
// reserved, else Available. Writes the info text (51 bytes).
std::uint8_t FennickStsStdbyCheck(std::uint8_t otherStatus, std::uint8_t reserved, std::uint8_t unavailable,
                                  char* info);

class FennickBridge {
public:
    // `b` gives the register map and the FennickApp in use; with nullptr
    // nothing is bridged.
    explicit FennickBridge(Bastide* b) : b_(b) {}

    // One status derivation; queues a record per changed connector (1 before
    // 2) and for the charge point. Returns the charge-point status (0
    // Available, 7 Unavailable, 8 Faulted).
    std::uint8_t FennickStsMgmt();
    void FennickMeterValMgmt();
    void FennickUpdateLimit();

    // Once a transaction runs, Charging is reported this long after, so the
    // StartTransaction goes out before the status that follows it.
    static constexpr std::int64_t kChargingDelayMs = 1000;

private:
    void DeriveCharging(std::uint8_t active, std::uint8_t s[2], char info[2][51]);
    void DeriveFinishing(std::uint8_t active, std::uint8_t s[2], char info[2][51]);

    Bastide* b_;
    std::uint8_t u8CnnStsM[2] = {255, 255};
    std::uint8_t u8OldCpSts = 255;
    char info_[2][51] = {};
    std::uint8_t chgStateMach = 0;
    std::uint8_t finStateMach = 0;
    bool txnSeen_ = false;
    std::int64_t txnSeenMs_ = 0;
    std::int32_t s32OldData = 0;
};

}  // namespace alarms
