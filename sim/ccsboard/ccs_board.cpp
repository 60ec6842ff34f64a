#include "ccs_board.h"

#include <algorithm>

#include "regmap_fields.h"
#include "regmap_power.h"

namespace ccsboard {

namespace {

// DIN steps of the status word that matter to the station side.
constexpr std::uint8_t kPhaseV2g = 0x06;
constexpr std::uint8_t kStepContractAuthentication = 0x04;
constexpr std::uint8_t kStepCableCheck = 0x07;
constexpr std::uint8_t kStepPreCharge = 0x08;
constexpr std::uint8_t kStepPowerDelivery = 0x09;
constexpr std::uint8_t kStepCurrentDemand = 0x0A;

std::int32_t Toward(std::int32_t now, std::int32_t target, std::int32_t up, std::int32_t down) {
    return now < target ? std::min(now + up, target) : std::max(now - down, target);
}

std::uint16_t Tenths(std::int32_t v) { return static_cast<std::uint16_t>(std::clamp(v * 10, 0, 0xFFFF)); }

}  // namespace

Output StepOutput(Output now, Output target, const Options& o) {
    return {Toward(now.volts, target.volts, o.slewVolts, o.fallVolts),
            Toward(now.amps, target.amps, o.slewAmps, o.fallAmps)};
}

void StandIn::Start() {
    using namespace regmap;
    if (o_.mainBoard) return;
    if (o_.pilot != 0) map_.set(SHRMEM_CCS_PILOT_STATE, static_cast<std::uint8_t>(o_.pilot));
    map_.set(SHRMEM_CCS_RESPONSE_CODE, static_cast<std::uint8_t>(o_.responseCode));
    map_.set(SHRMEM_CCS_EVSE_STATUS_CODE, 1);  // EVSE_Ready
    map_.set(SHRMEM_CCS_CPD_PROCESSING, 0);    // the parameters are known at once
    map_.set(SHRMEM_CCS_EVSE_ISOLATION, 0);    // not tested yet
}

std::string StandIn::Tick(std::int64_t nowMs) { return o_.mainBoard ? TickMain(nowMs) : TickCcs(nowMs); }

void StandIn::WriteSetPoint(Output target) {
    if (target.volts == lastSetPoint_.volts && target.amps == lastSetPoint_.amps) return;
    lastSetPoint_ = target;
    map_.set(regmap::SHRMEM_SET_I1, Tenths(target.amps));
    map_.set(regmap::SHRMEM_SET_V1, Tenths(target.volts));
    map_.set(regmap::SHRMEM_SET_PENDING, 255);
}

std::string StandIn::TickCcs(std::int64_t nowMs) {
    using namespace regmap;
    std::string line;
    std::uint32_t word = map_.get(SHRMEM_CCS_PLC_STATUS);
    bool inSession = (word >> 24) == kPhaseV2g;
    std::uint8_t step = inSession ? static_cast<std::uint8_t>(word >> 16) : 0;
    if (step < kStepContractAuthentication) {  // a new session starts over
        authSince_ = isolationSince_ = -1;
    }

    // Authorisation: the vehicle waits in ContractAuthentication.
    if (step == kStepContractAuthentication && map_.get(SHRMEM_CCS_EVSE_PROCESSING) != 0) {
        if (authSince_ < 0) {
            authSince_ = nowMs;
        } else if (nowMs - authSince_ >= o_.authMs) {
            map_.set(SHRMEM_CCS_EVSE_PROCESSING, 0);
            line = "ccsboard: vehicle authorised";
        }
    }
    // Isolation test: CableCheck is answered Ongoing until it is done.
    if (step == kStepCableCheck && map_.get(SHRMEM_CCS_EVSE_PROCESSING) != 0) {
        if (isolationSince_ < 0) {
            isolationSince_ = nowMs;
            map_.set(SHRMEM_CCS_EVSE_ISOLATION, 0);
        } else if (nowMs - isolationSince_ >= o_.isolationMs) {
            map_.set(SHRMEM_CCS_EVSE_ISOLATION, static_cast<std::uint8_t>(o_.isolationResult));
            map_.set(SHRMEM_CCS_EVSE_PROCESSING, 0);
            line = o_.isolationResult == 1 ? "ccsboard: isolation tested: valid" : "ccsboard: isolation tested: fault";
        }
    }

    // The output follows the vehicle's targets from PreCharge until it stops.
    bool ready = map_.get(SHRMEM_CCS_EV_READY_TO_CHARGE) == 1 && map_.get(SHRMEM_CCS_EV_CHARGING_COMPLETE) == 0;
    bool live = step == kStepPreCharge || ((step == kStepPowerDelivery || step == kStepCurrentDemand) && ready);
    Output target;
    if (live) {
        std::int32_t volts = map_.get(SHRMEM_CCS_EV_TARGET_VOLTAGE);
        std::int32_t amps = std::min<std::int32_t>(map_.get(SHRMEM_CCS_EV_TARGET_CURRENT),
                                                   map_.get(SHRMEM_CCS_EVSE_MAX_CURRENT));
        std::int32_t powerCap = map_.get(SHRMEM_CCS_EVSE_MAX_POWER) * 1000 / std::max(volts, 1);
        target = {volts, std::min(amps, powerCap)};
    }
    if (live != delivering_) {
        delivering_ = live;
        if (line.empty()) {
            line = live ? "ccsboard: output on, " + std::to_string(target.volts) + " V" : "ccsboard: output off";
        }
    }
    WriteSetPoint(target);
    if (!o_.presentFromLink) {
        out_ = StepOutput(out_, target, o_);
        map_.set(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, static_cast<std::uint16_t>(out_.volts));
        map_.set(SHRMEM_CCS_EVSE_PRESENT_CURRENT, static_cast<std::uint8_t>(std::min(out_.amps, 255)));
    }
    return line;
}

std::string StandIn::TickGfd(std::int64_t nowMs) {
    using namespace regmap;
    if (map_.get(SHRMEM_GFD_SELFTEST) != 0x80) {
        gfdSince_ = -1;
        return "";
    }
    if (gfdSince_ < 0) gfdSince_ = nowMs;
    if (nowMs - gfdSince_ < o_.gfdTestMs) return "";
    gfdSince_ = -1;
    map_.set(SHRMEM_GFD_SELFTEST, o_.gfdFails ? 1 : 0);
    return o_.gfdFails ? "ccsboard: GFD self-test failed" : "ccsboard: GFD self-test passed";
}

std::string StandIn::TickMain(std::int64_t nowMs) {
    using namespace regmap;
    std::string line = TickGfd(nowMs);
    if (map_.get(SHRMEM_SET_PENDING) == 255) {
        Output sp{map_.get(SHRMEM_SET_V1) / 10, map_.get(SHRMEM_SET_I1) / 10};
        map_.set(SHRMEM_SET_PENDING, 0);  // taken, as the module manager does
        if (sp.volts != lastSetPoint_.volts || sp.amps != lastSetPoint_.amps) {
            if (!line.empty()) line += "\n";
            line += "ccsboard: set-point " + std::to_string(sp.volts) + " V " + std::to_string(sp.amps) + " A";
        }
        lastSetPoint_ = sp;
    }
    Output target = lastSetPoint_.volts < 0 ? Output{} : lastSetPoint_;
    if (target.volts == 0) target.amps = 0;  // a set-point of 0 V switches the output off
    out_ = StepOutput(out_, target, o_);
    map_.set(SHRMEM_CCS_EVSE_PRESENT_VOLTAGE, static_cast<std::uint16_t>(out_.volts));
    map_.set(SHRMEM_CCS_EVSE_PRESENT_CURRENT, static_cast<std::uint8_t>(std::min(out_.amps, 255)));
    map_.set(SHRMEM_GET_V1, Tenths(out_.volts));
    map_.set(SHRMEM_GET_I1, Tenths(out_.amps));
    // Every module is there: the whole rated power and current are
    // available to the charge (the board link derives the CCS maximum power
    // and current from them).
    map_.set(SHRMEM_AVAILABLE_POWER, static_cast<std::uint16_t>(std::min(map_.get(SHRMEM_MAX_OUTPUT_POWER) * 1000, 0xFFFF)));
    map_.set(SHRMEM_SMR_AVAIL_CURRENT, static_cast<std::int16_t>(map_.get(mainb::SHRMEM_MAX_OUTPUT_CURRENT)));
    return line;
}

}  // namespace ccsboard
