// Names of the supportedAppProtocol grammar: prepopulated name table and
// qname table, and the qname IDs the handshake binding uses.
#pragma once

#include <array>

#include "EXITypes.h"

constexpr uint16_t kAppHandUris = 5;
constexpr uint16_t kAppHandPrepopulatedQNames = 67;
constexpr uint16_t kAppHandQNameSlots = 77;

extern const uint16_t appHandLocalNames[kAppHandUris];
extern const std::array<EQName, kAppHandPrepopulatedQNames> appHandQNames;
extern const PrepopulatedNameTable exiappHandNameTablePrepopulated;

enum AppHandQNameId : uint16_t {
  APPHAND_QNAME_AppProtocol = 0,
  APPHAND_QNAME_Priority = 1,
  APPHAND_QNAME_ProtocolNamespace = 2,
  APPHAND_QNAME_ResponseCode = 3,
  APPHAND_QNAME_SchemaID = 4,
  APPHAND_QNAME_VersionNumberMajor = 5,
  APPHAND_QNAME_VersionNumberMinor = 6,
  APPHAND_QNAME_XsiNil = 11,
  APPHAND_QNAME_XsiType = 12,
  APPHAND_QNAME_AppProtocolType = 59,
  APPHAND_QNAME_idType = 60,
  APPHAND_QNAME_priorityType = 61,
  APPHAND_QNAME_protocolNameType = 62,
  APPHAND_QNAME_protocolNamespaceType = 63,
  APPHAND_QNAME_responseCodeType = 64,
  APPHAND_QNAME_supportedAppProtocolReq = 65,
  APPHAND_QNAME_supportedAppProtocolRes = 66,
};
