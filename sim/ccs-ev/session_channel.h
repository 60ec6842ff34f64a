// The station's V2G session of this process as the vehicle's channel: each
// request is put into the V2G connection's slot and taken by one pass of
// V2G_Service, the answer it queues is what the vehicle receives. When the
// session ends (SessionStop answered, time-out, no common protocol) the
// channel closes after the last answer, as the link layer does.
#pragma once

#include <functional>
#include <vector>

#include "ccs_vehicle.h"

namespace evsim {

class SessionChannel final : public V2gChannel {
public:
    // Puts the session and its connection slot into their state at the
    // start of a V2G session, with `map` as the register map.
    explicit SessionChannel(std::uint8_t* map);
    bool Send(const Bytes& message, std::size_t splitAt) override;
    Rx Receive(Bytes* message, std::int64_t timeoutMs) override;
    bool Drop(bool reset) override;

    // Runs before each request is taken: the station's software at work.
    std::function<void()> beforeRequest;
    int requests() const { return requests_; }

private:
    Bytes pending_;
    bool answered_ = false;
    bool ending_ = false;
    bool closed_ = false;
    int requests_ = 0;
};

// The CCS board's software around the session in its simplest form, for a
// session in this process: a register map with the station's limits;
// authorisation and the isolation test take two requests each, the output
// follows the vehicle's targets at once and falls when it stops.
struct SimpleStation {
    SimpleStation();
    void Work();  // before each request
    std::vector<std::uint8_t> bytes;
    int waits = 0;
};

}  // namespace evsim
