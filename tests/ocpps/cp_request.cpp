// The station controller's side of one OCPP 1.5 charge-point request (test
// stand-in): the request bit of byte 445 is set in one atomic step, beside
// Bastide's and Quillon's changes of the same byte, then awaited until
// Quillon has cleared it. Exit 0 when served, 1 when not within the wait.
//   cp_request MASK [SECONDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "regmap.h"
#include "shared_bytes.h"
#include "shm.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: cp_request MASK [SECONDS]\n");
        return 2;
    }
    const auto mask = static_cast<std::uint8_t>(std::strtoul(argv[1], nullptr, 0));
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
    std::string error;
    std::uint8_t* base = platform::AttachSegment(regmap::kMapKey, regmap::kMapSize, false, 0777, &error);
    if (base == nullptr || mask == 0) {
        std::fprintf(stderr, "cp_request: %s\n", error.c_str());
        return 2;
    }
    const regmap::RegisterMap map(base, regmap::kMapSize);
    common::SetBits(map, 445, mask);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while ((common::ReadShared(map, 445) & mask) != 0) {
        if (std::chrono::steady_clock::now() > until) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}
