// cansend: puts frames on a bus of the station's CAN hub from outside, in
// the text form candump writes and can-utils' cansend takes ("1B401000#",
// "109#0102030405060708"): a test's stand-in for a device that lies.
//
// Usage: cansend IF FRAME...
#include <cstdio>
#include <string>

#include "can.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: cansend IF FRAME...\n");
        return 2;
    }
    auto bus = platform::OpenCan(argv[1], nullptr);
    if (!bus) {
        std::fprintf(stderr, "cansend: %s cannot be opened\n", argv[1]);
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        platform::CanFrame f{};
        if (!platform::ParseCanFrameText(argv[i], f)) {
            std::fprintf(stderr, "cansend: not a frame: %s\n", argv[i]);
            return 2;
        }
        if (!bus->Write(f)) {
            std::fprintf(stderr, "cansend: %s not sent\n", argv[i]);
            return 1;
        }
    }
    return 0;
}
