// Quillon's main process executes the central system's commands that its
// SOAP server process handed over through bytes 447 and 448.
#pragma once

#include "quillon.h"

namespace ocpps {

// Executes every raised command, 447 bits 0x01 to 0x80 then 448 bits 0x01 to
// 0x40, each answered before its bit clears.
void ServeCommands(Quillon& q);

// Drives the connector lock (GPIO 80; 0 releases, 1 locks) and returns 1
// when the feedback (GPIO 85) reads '0' (locked).
int ConnectorLock(int mode);

}  // namespace ocpps
