// The CCS board's software around Marlet, as the simulation plays it: the
// station side of a DIN session in the CCS status block. It authorises the
// vehicle, tests the isolation, turns the vehicle's targets into the output
// set-point and models the output itself: voltage and current move toward
// their targets by a fixed step per tick, within the station's limits, and
// fall quickly once the vehicle stops.
//
// On the main board (`mainBoard`) the same model stands in for the power
// modules: it follows the set-point mailbox and writes the present values the
// board link carries back to the CCS board.
#pragma once

#include <cstdint>
#include <string>

#include "regmap.h"

namespace ccsboard {

struct Options {
    std::int64_t authMs = 300;        // from ContractAuthentication to authorised
    std::int64_t isolationMs = 500;   // from the first CableCheck to the result
    int isolationResult = 1;          // isolationLevelType: 1 Valid, 3 Fault
    int responseCode = 0;             // what the DC answers carry when the checks pass
    int pilot = 0;                    // pilot state written at start; 0 leaves it
    std::int32_t slewVolts = 50;      // per tick, rising
    std::int32_t slewAmps = 20;       // per tick, rising
    std::int32_t fallVolts = 100;     // per tick, once the vehicle stopped
    std::int32_t fallAmps = 50;
    bool presentFromLink = false;     // CCS board: present values come from the main board
    bool mainBoard = false;           // main board: follow the set-point mailbox
    // Main board: the ground-fault detector's self-test, started by 0x80 at
    // byte 108, answers after gfdTestMs: 0 passed, 1 failed (gfdFails).
    bool gfdFails = false;
    std::int64_t gfdTestMs = 200;
};

// One output: present voltage (V) and current (A).
struct Output {
    std::int32_t volts = 0;
    std::int32_t amps = 0;
};

// Moves `now` one tick toward the target, rising by the slews and falling by
// the fall steps.
Output StepOutput(Output now, Output target, const Options& o);

class StandIn {
public:
    StandIn(regmap::RegisterMap map, Options options) : map_(map), o_(options) {}
    // The values the station holds before a vehicle arrives.
    void Start();
    // One tick at monotonic time `nowMs`; returns a line for the log when
    // something changed the course of the session ("" otherwise).
    std::string Tick(std::int64_t nowMs);
    Output present() const { return out_; }

private:
    std::string TickCcs(std::int64_t nowMs);
    std::string TickMain(std::int64_t nowMs);
    std::string TickGfd(std::int64_t nowMs);
    void WriteSetPoint(Output target);

    regmap::RegisterMap map_;
    Options o_;
    Output out_;
    Output lastSetPoint_{-1, -1};
    std::int64_t authSince_ = -1;
    std::int64_t isolationSince_ = -1;
    bool delivering_ = false;
    std::int64_t gfdSince_ = -1;
};

}  // namespace ccsboard
