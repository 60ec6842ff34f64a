#include "appHandQNames.h"

#include <array>

namespace {

// URI 0: unqualified element names; 1: XML; 2: XML Schema instance;
// 3: XML Schema built-in types; 4: the supportedAppProtocol namespace.
constexpr std::array<uint16_t, kAppHandUris> kLocalNames = {7, 4, 2, 46, 8};

// qname ID = local-name counts of the lower URIs + local-name number.
constexpr std::array<EQName, kAppHandPrepopulatedQNames> buildQNames() {
  std::array<EQName, kAppHandPrepopulatedQNames> q{};
  uint16_t id = 0;
  for (uint16_t uri = 0; uri < kAppHandUris; ++uri) {
    for (uint16_t local = 0; local < kLocalNames[uri]; ++local) {
      q[id++] = EQName{uri, local};
    }
  }
  return q;
}

}  // namespace

const uint16_t appHandLocalNames[kAppHandUris] = {kLocalNames[0], kLocalNames[1], kLocalNames[2],
                                                  kLocalNames[3], kLocalNames[4]};
const std::array<EQName, kAppHandPrepopulatedQNames> appHandQNames = buildQNames();
const PrepopulatedNameTable exiappHandNameTablePrepopulated = {kAppHandUris, appHandLocalNames};
