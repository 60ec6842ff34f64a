// The vehicle's end of the powerline as a program sees it: a packet socket
// for HomePlug AV management messages on a network interface.
#pragma once

#include <cstdint>
#include <string>

#include "ev_slac.h"

namespace evsim {

// "aa:bb:cc:dd:ee:ff"; false for anything else.
bool ParseMac(const std::string& text, Mac* mac);

// A packet socket on `ifname` for management messages only, its MAC in
// `mac`; -1 with the reason in `error`.
int OpenHpavSocket(const std::string& ifname, Mac* mac, std::string* error);

// Steps `ev` on the socket until it is matched or has failed or timeoutMs
// have passed, printing each state it enters as "<prefix>: <state>".
void StepUntilDone(int fd, EvSlac* ev, std::int64_t timeoutMs, const char* prefix);

}  // namespace evsim
