// A child process standing in for one of the session's children: it does
// nothing until it is ended, so a test sees whether the session ended it.
#pragma once

#include <unistd.h>

#include "children.h"

inline pid_t StartIdleChild() {
    return platform::StartChild([] {
        for (;;) pause();
        return 0;
    });
}
