// Fuzz target: the DIN message decoder as the V2G session drives it (64-byte
// and 64-character value buffers, 8-byte transport header before the body).
// A message made only of declared events must encode again and decode to
// the same events.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "../exi/din_events.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) {
    return 0;
  }
  din_events::Decoded d = din_events::decode(std::vector<uint8_t>(data, data + size));
  if (d.rc != EXI_OK || d.undeclared) {
    return 0;
  }
  din_events::Encoded e = din_events::encode(d.events, 8 + 4 * 4096);
  if (e.rc == EXI_ERROR_OUTPUT_FULL) {
    // A value read as a string-table hit of a few bits is written back as a
    // literal of up to 64 characters: give the copy room for that.
    e = din_events::encode(d.events, static_cast<uint32_t>(8 + 128 * size + 4096));
  }
  if (e.rc != EXI_OK) {
    std::abort();
  }
  din_events::Decoded again = din_events::decode(e.bytes);
  if (again.rc != EXI_OK || !(again.events == d.events)) {
    std::abort();
  }
  return 0;
}
