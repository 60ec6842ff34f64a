#include "appHand_dataTypes.h"

protocolNamespaceType* init_protocolNamespaceType(protocolNamespaceType* type) {
  type->charactersLen = 0;
  return type;
}

AppProtocolType* init_AppProtocolType(AppProtocolType* type) {
  init_protocolNamespaceType(&type->ProtocolNamespace);
  return type;
}

AnonType_supportedAppProtocolReq* init_AnonType_supportedAppProtocolReq(
    AnonType_supportedAppProtocolReq* type) {
  for (AppProtocolType& entry : type->AppProtocol) {
    init_AppProtocolType(&entry);
  }
  type->arrayLen = 0;
  return type;
}

AnonType_supportedAppProtocolRes* init_AnonType_supportedAppProtocolRes(
    AnonType_supportedAppProtocolRes* type) {
  type->isUsed = static_cast<uint8_t>(type->isUsed & ~kSchemaIdUsed);
  return type;
}

EXIDocumentType_appHand* init_EXIDocumentType_appHand(EXIDocumentType_appHand* type) {
  type->isUsed = static_cast<uint8_t>(type->isUsed & ~(kAppHandReqPresent | kAppHandResPresent));
  return type;
}
