// Fuzz target: a received request read into the DIN message records as the
// V2G session reads it (8-byte transport header before the EXI body). A
// request that is read must write again and read back to the same stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "din_binding.h"

namespace {

struct Exchange {
  std::unique_ptr<DinMessageStore> store = std::make_unique<DinMessageStore>();
  EXIDocumentType doc{};
  std::unique_ptr<DinService> service = std::make_unique<DinService>();
  Exchange() {
    dinInitDocument(&doc, store.get());
    dinInitService(service.get(), &doc);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) {
    return 0;
  }
  std::vector<uint8_t> in(8 + size);
  std::memcpy(in.data() + 8, data, size);
  Exchange x;
  if (dinDeserializeMessage(x.service.get(), in.data(), static_cast<uint32_t>(size), 8) != 0 ||
      x.service->skippedElements != 0) {
    return 0;
  }
  std::vector<uint8_t> out(8 + 8192);
  uint32_t length = 0;
  if (dinSerializeMessage(x.service.get(), out.data(), static_cast<uint32_t>(out.size()), 8,
                          &length) != 0) {
    std::abort();  // every request read must write again
  }
  Exchange y;
  if (dinDeserializeMessage(y.service.get(), out.data(), length, 8) != 0) {
    std::abort();
  }
  std::vector<uint8_t> again(8 + 8192);
  uint32_t length2 = 0;
  if (dinSerializeMessage(y.service.get(), again.data(), static_cast<uint32_t>(again.size()), 8,
                          &length2) != 0 ||
      length2 != length || std::memcmp(again.data() + 8, out.data() + 8, length) != 0) {
    std::abort();
  }
  return 0;
}
