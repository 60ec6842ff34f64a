#include "priority.h"

#include <sys/resource.h>

namespace platform {

bool SetOwnNiceness(int niceness) { return setpriority(PRIO_PROCESS, 0, niceness) == 0; }

}  // namespace platform
