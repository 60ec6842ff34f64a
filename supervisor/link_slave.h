// The supervisor's end of the board link.
#pragma once

#include "regmap.h"

namespace supervisor {

// Serves one board-link exchange on the line `fd` (a negative fd: no line).
void ServeBoardLink(regmap::RegisterMap& map, int fd);

}  // namespace supervisor
