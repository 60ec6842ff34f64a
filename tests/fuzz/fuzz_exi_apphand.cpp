// Fuzz target: the supportedAppProtocol request decoder as the V2G session
// calls it (64-byte and 64-character value buffers, 8-byte transport header).
// A request that decodes must encode again and decode to the same records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "appHand_DataDeserialization.h"
#include "appHand_dataSerialization.h"

namespace {

constexpr uint16_t kOffset = 8;

int decodeInto(appHandService* service, std::vector<uint8_t>& message, uint16_t length,
               AnonType_supportedAppProtocolReq* req, AnonType_supportedAppProtocolRes* res) {
  init_AnonType_supportedAppProtocolReq(req);
  EXIDocumentType_appHand doc{req, res, 0};
  init_EXIDocumentType_appHand(&doc);
  return deserialize_appHand(service, message.data(), length, &doc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) {
    return 0;
  }
  static appHandService service;
  static uint8_t bytes[64];
  static uint32_t chars[64];
  static AnonType_supportedAppProtocolReq req, again;
  static AnonType_supportedAppProtocolRes res, resAgain;
  init_appHandDeserializer(&service, sizeof bytes, bytes, 0, 64, chars, 0, kOffset);

  // Exactly the input after the header, so that any read past it is caught.
  std::vector<uint8_t> message(kOffset + size);
  std::memcpy(message.data() + kOffset, data, size);
  if (decodeInto(&service, message, static_cast<uint16_t>(size), &req, &res) != 0 ||
      (service.exiDocument.isUsed & kAppHandReqPresent) == 0) {
    return 0;
  }

  std::vector<uint8_t> out(kOffset + 4096);
  uint32_t length = 0;
  init_appHandSerializer(&service, sizeof bytes, bytes, 0, 64, chars, 0,
                         static_cast<uint32_t>(out.size()), kOffset);
  EXIDocumentType_appHand doc{&req, nullptr, kAppHandReqPresent};
  if (serialize_appHand(&service, out.data(), &length, &doc) != 0) {
    std::abort();  // every decoded request must encode again
  }
  init_appHandDeserializer(&service, sizeof bytes, bytes, 0, 64, chars, 0, kOffset);
  if (decodeInto(&service, out, static_cast<uint16_t>(length), &again, &resAgain) != 0 ||
      again.arrayLen != req.arrayLen) {
    std::abort();
  }
  for (uint32_t i = 0; i < req.arrayLen; ++i) {
    const AppProtocolType& a = req.AppProtocol[i];
    const AppProtocolType& b = again.AppProtocol[i];
    if (a.VersionNumberMajor != b.VersionNumberMajor || a.VersionNumberMinor != b.VersionNumberMinor ||
        a.SchemaID != b.SchemaID || a.Priority != b.Priority ||
        a.ProtocolNamespace.charactersLen != b.ProtocolNamespace.charactersLen ||
        std::memcmp(a.ProtocolNamespace.characters, b.ProtocolNamespace.characters,
                    a.ProtocolNamespace.charactersLen * sizeof(uint32_t)) != 0) {
      std::abort();
    }
  }
  return 0;
}
