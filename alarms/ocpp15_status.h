// The OCPP 1.5 side of Bastide's bridge: the connector and charge-point
// status, derived from the register map, handed to the OCPP 1.5 agent through
// its status record whenever it changes.
#pragma once

#include <cstdint>

#include "bastide.h"
#include "fennick_config.h"
#include "fennick_bridge.h"
#include "regmap.h"

namespace alarms {

class StationBridge : public OcppBridge {
public:
    // `b` carries the FennickApp for the OCPP 1.6J managers; without it they
    // bridge nothing.
    explicit StationBridge(regmap::RegisterMap map, Bastide* b = nullptr) : map_(map), config_(b), fennick_(b) {}

    void sync_OCPP16Conf_with_SysConf() override { config_.sync_OCPP16Conf_with_SysConf(); }
    void Local_update_OCPP16Conf() override { config_.Local_update_OCPP16Conf(); }
    void FennickCmdMgmt() override { config_.FennickCmdMgmt(); }
    std::uint8_t FennickStsMgmt() override { return fennick_.FennickStsMgmt(); }
    void FennickMeterValMgmt() override { fennick_.FennickMeterValMgmt(); }
    void FennickUpdateLimit() override { fennick_.FennickUpdateLimit(); }

    // The charge-point status of this pass: 0 Available, 2 Faulted, 3 Unavailable.
    std::uint8_t OCPP15SStsMgmt() override;
    // 1 once the agent has taken the record (445.0x08 clear), 0 when it is
    // still there after 4 s.
    std::uint8_t IsOCPP15SStsCmdDone();
    // The hard reset the agent accepted: more than 29 s after it was first
    // seen the CCS board is told (474 = 129), 3 s later the board reboots
    // through the command runner. Both waits are timers of the alarm loop.
    void OCPP15SCmdMgmt() override;

    static constexpr std::int64_t kHardResetDelayMs = 29000;
    static constexpr std::int64_t kRebootNoticeMs = 3000;

private:
    void Send(std::int32_t connectorId, std::uint8_t status);

    regmap::RegisterMap map_;
    std::uint8_t u8OldCnntrSts = 255;  // 255: to be sent
    std::uint8_t u8OldCPSts = 255;
    std::int64_t tTmStart = 0;       // monotonic; while no hard reset pends
    std::int64_t noticeAtMs_ = -1;   // when 474 was set, -1 before
    bool rebootRun_ = false;
    common::RepeatLog takeLog_;      // the agent is slow to take a record
    FennickConfig config_;
    FennickBridge fennick_;
};

}  // namespace alarms
