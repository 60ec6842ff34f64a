#include "ev_slac.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "clock.h"

namespace evsim {
namespace {

constexpr std::size_t kPayload = 19;
constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::int64_t NowMs() { return platform::GetClock().MonotonicMs(); }

std::uint16_t MmType(const std::uint8_t* f) { return static_cast<std::uint16_t>(f[15] | f[16] << 8); }

}  // namespace

bool ParseFault(const std::string& text, Fault* fault) {
    if (text == "none") *fault = Fault::None;
    else if (text == "silent") *fault = Fault::Silent;
    else if (text == "wrong-run-id") *fault = Fault::WrongRunId;
    else if (text == "foreign-match") *fault = Fault::ForeignMatch;
    else return false;
    return true;
}

EvSlac::EvSlac(EvConfig config, greenphy::Line* line) : config_(config), line_(line) {
    std::random_device rd;
    for (auto& b : runId_) b = static_cast<std::uint8_t>(rd());
    nextAt_ = NowMs();
}

const char* EvSlac::StateName() const {
    switch (state_) {
    case State::Parm: return "parameter exchange";
    case State::Sounding: return "sounding";
    case State::WaitAttenChar: return "waiting for the attenuation profile";
    case State::WaitMatch: return "waiting for the match";
    case State::Matched: return "matched";
    case State::Failed: return "failed";
    }
    return "?";
}

std::vector<std::uint8_t> EvSlac::RunIdOut() const {
    std::vector<std::uint8_t> id(runId_.begin(), runId_.end());
    if (config_.fault == Fault::WrongRunId) id[7] ^= 0x5A;
    return id;
}

void EvSlac::Send(const Mac& to, std::uint16_t mmtype, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> f(to.begin(), to.end());
    f.insert(f.end(), config_.mac.begin(), config_.mac.end());
    f.insert(f.end(), {0x88, 0xE1, 0x01, static_cast<std::uint8_t>(mmtype), static_cast<std::uint8_t>(mmtype >> 8), 0, 0});
    f.insert(f.end(), payload.begin(), payload.end());
    f.resize(std::max<std::size_t>(f.size(), 60), 0);
    line_->Send(f.data(), f.size());
}

void EvSlac::SendParmReq() {
    std::vector<std::uint8_t> p = {0, 0};  // application type, security type
    p.insert(p.end(), runId_.begin(), runId_.end());
    Send(kBroadcast, 0x6064, p);
    ++parmRequests_;
}

void EvSlac::SendStart() {
    std::vector<std::uint8_t> p = {0, 0, 10, 6, 1};  // sounds, time-out x100 ms, response type
    p.insert(p.end(), config_.mac.begin(), config_.mac.end());  // forwarding station
    auto id = RunIdOut();
    p.insert(p.end(), id.begin(), id.end());
    Send(kBroadcast, 0x606A, p);
}

void EvSlac::SendSound() {
    std::vector<std::uint8_t> p(2 + 17, 0);  // application, security, sender ID
    p.push_back(static_cast<std::uint8_t>(soundsLeft_ - 1));
    auto id = RunIdOut();
    p.insert(p.end(), id.begin(), id.end());
    p.insert(p.end(), 8, 0);  // reserved
    std::random_device rd;
    for (int i = 0; i < 16; ++i) p.push_back(static_cast<std::uint8_t>(rd()));
    Send(kBroadcast, 0x6076, p);
}

void EvSlac::SendMatchReq() {
    std::vector<std::uint8_t> p = {0, 0, 0x3E, 0x00};  // MVF length 62
    p.insert(p.end(), 17, 0);                            // PEV ID
    p.insert(p.end(), config_.mac.begin(), config_.mac.end());
    p.insert(p.end(), 17, 0);  // EVSE ID
    const Mac& named = config_.fault == Fault::ForeignMatch ? config_.foreignStation : station_;
    p.insert(p.end(), named.begin(), named.end());
    auto id = RunIdOut();
    p.insert(p.end(), id.begin(), id.end());
    p.insert(p.end(), 8, 0);
    Send(station_, 0x607C, p);
    ++matchRequests_;
}

void EvSlac::Receive(const std::uint8_t* f, std::size_t n) {
    if (n < kPayload || f[12] != 0x88 || f[13] != 0xE1) return;
    if (std::memcmp(f, config_.mac.data(), 6) != 0 && std::memcmp(f, kBroadcast.data(), 6) != 0) return;
    const std::uint8_t* p = f + kPayload;
    auto runIs = [&](std::size_t at) { return n >= kPayload + at + 8 && std::memcmp(p + at, runId_.data(), 8) == 0; };
    switch (MmType(f)) {
    case 0x6065:  // CM_SLAC_PARM.CNF
        if (state_ != State::Parm || !runIs(17)) return;
        std::memcpy(station_.data(), f + 6, 6);
        for (int i = 0; i < 3; ++i) SendStart();
        soundsLeft_ = 10;
        state_ = State::Sounding;
        nextAt_ = NowMs() + config_.soundGapMs;
        return;
    case 0x606E: {  // CM_ATTEN_CHAR.IND
        if ((state_ != State::Sounding && state_ != State::WaitAttenChar && state_ != State::WaitMatch) || !runIs(8) ||
            n < kPayload + 52)
            return;
        soundsReported_ = p[50];
        std::size_t groups = std::min<std::size_t>(p[51], n - kPayload - 52);
        averages_.assign(p + 52, p + 52 + groups);
        std::vector<std::uint8_t> rsp = {0, 0};
        rsp.insert(rsp.end(), config_.mac.begin(), config_.mac.end());
        auto id = RunIdOut();
        rsp.insert(rsp.end(), id.begin(), id.end());
        rsp.insert(rsp.end(), 17 + 17, 0);  // source ID, response ID
        rsp.push_back(0);                   // result: good
        Send(station_, 0x606F, rsp);
        if (state_ != State::WaitMatch) {
            SendMatchReq();
            state_ = State::WaitMatch;
            deadline_ = NowMs() + config_.waitMs;
        }
        return;
    }
    case 0x607D:  // CM_SLAC_MATCH.CNF
        if (state_ != State::WaitMatch || !runIs(50) || n < kPayload + 90) return;
        nid_.assign(p + 66, p + 73);
        nmk_.assign(p + 74, p + 90);
        state_ = State::Matched;
        return;
    default: return;
    }
}

void EvSlac::Step() {
    std::uint8_t buf[2048];
    for (ssize_t n; (n = line_->Receive(buf, sizeof(buf))) > 0;) Receive(buf, static_cast<std::size_t>(n));
    std::int64_t now = NowMs();
    switch (state_) {
    case State::Parm:
        if (config_.fault == Fault::Silent || now < nextAt_) return;
        if (parmRequests_ >= config_.parmAttempts) {
            state_ = State::Failed;
            return;
        }
        SendParmReq();
        nextAt_ = now + config_.parmRetryMs;
        return;
    case State::Sounding:
        if (soundsLeft_ == 0 || now < nextAt_) return;
        SendSound();
        nextAt_ = now + config_.soundGapMs;
        if (--soundsLeft_ == 0) {
            state_ = State::WaitAttenChar;
            deadline_ = now + config_.waitMs;
        }
        return;
    case State::WaitAttenChar:
    case State::WaitMatch:
        if (now > deadline_) state_ = State::Failed;
        return;
    default: return;
    }
}

}  // namespace evsim
