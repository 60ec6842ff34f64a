#include "link_slave.h"

#include <cstdint>

#include "clock.h"
#include "serial.h"

namespace supervisor {

// Until the frames are answered, one pass waits out the read window.
void ServeBoardLink(regmap::RegisterMap&, int fd) {
    if (fd < 0) {
        platform::GetClock().SleepMs(10000);
        return;
    }
    std::uint8_t buf[64];
    platform::ReadWithTimeout(fd, buf, sizeof buf, 10000);
}

}  // namespace supervisor
