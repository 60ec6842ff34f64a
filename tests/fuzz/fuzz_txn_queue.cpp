// Offline queue lines: any bytes as one line. Reading must never crash; a
// line that reads is written back as a line that reads to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "txn_queue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto r = ocppj::ParseQueueLine(line, &error);
    if (!r) {
        if (error.empty()) std::abort();
        return 0;
    }
    const std::string again = ocppj::FormatQueueLine(*r);
    if (again.empty() || again.find('\n') != std::string::npos) std::abort();
    const auto back = ocppj::ParseQueueLine(again, &error);
    if (!back || ocppj::FormatQueueLine(*back) != again) std::abort();
    if (back->kind != r->kind || back->idTag != r->idTag || back->values != r->values) std::abort();
    return 0;
}
