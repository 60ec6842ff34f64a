// The vehicle's side of SLAC, as a PEV's communication controller runs it
// over its powerline modem: CM_SLAC_PARM.REQ, CM_START_ATTEN_CHAR.IND and ten
// CM_MNBC_SOUND.IND, the answer to CM_ATTEN_CHAR.IND, and CM_SLAC_MATCH.REQ
// to the station it found. It can misbehave on demand.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "line.h"

namespace evsim {

using Mac = std::array<std::uint8_t, 6>;

enum class Fault {
    None,
    Silent,        // never asks for SLAC
    WrongRunId,    // after CM_SLAC_PARM.CNF the run ID of its messages is another one
    ForeignMatch,  // CM_SLAC_MATCH.REQ names another station
};

// "none", "silent", "wrong-run-id", "foreign-match"; false for anything else.
bool ParseFault(const std::string& text, Fault* fault);

struct EvConfig {
    Mac mac = {0x02, 0x00, 0x00, 0xEE, 0x00, 0x01};
    Fault fault = Fault::None;
    Mac foreignStation = {0x02, 0x00, 0x00, 0x5A, 0x5A, 0x5A};
    int parmAttempts = 40;          // CM_SLAC_PARM.REQ sent at most this often,
    std::int64_t parmRetryMs = 250; // this far apart
    std::int64_t soundGapMs = 20;   // between two sounds
    std::int64_t waitMs = 3000;     // for CM_ATTEN_CHAR.IND and CM_SLAC_MATCH.CNF
};

class EvSlac {
public:
    enum class State { Parm, Sounding, WaitAttenChar, WaitMatch, Matched, Failed };

    EvSlac(EvConfig config, greenphy::Line* line);
    // Takes what the line brings and sends what is due (on the platform clock).
    void Step();

    State state() const { return state_; }
    const char* StateName() const;
    const Mac& station() const { return station_; }
    const std::vector<std::uint8_t>& nid() const { return nid_; }
    const std::vector<std::uint8_t>& nmk() const { return nmk_; }
    const std::vector<std::uint8_t>& averages() const { return averages_; }
    std::uint8_t soundsReported() const { return soundsReported_; }
    int matchRequests() const { return matchRequests_; }
    int parmRequests() const { return parmRequests_; }

private:
    void Receive(const std::uint8_t* f, std::size_t n);
    void Send(const Mac& to, std::uint16_t mmtype, const std::vector<std::uint8_t>& payload);
    void SendParmReq();
    void SendStart();
    void SendSound();
    void SendMatchReq();
    std::vector<std::uint8_t> RunIdOut() const;

    EvConfig config_;
    greenphy::Line* line_;
    State state_ = State::Parm;
    std::array<std::uint8_t, 8> runId_{};
    Mac station_{};
    std::int64_t nextAt_ = 0;
    std::int64_t deadline_ = 0;
    int parmRequests_ = 0;
    int soundsLeft_ = 0;
    int matchRequests_ = 0;
    std::uint8_t soundsReported_ = 0;
    std::vector<std::uint8_t> nid_, nmk_, averages_;
};

}  // namespace evsim
