// Records of the supportedAppProtocol exchange and the handshake service
// record that carries one request/response pair through the codec.
#pragma once

#include <cstdint>

#include "EXITypes.h"

constexpr uint32_t kProtocolNamespaceChars = 100;
constexpr uint32_t kAppProtocolEntries = 20;
constexpr uint32_t kAppHandElementStack = 10;

struct protocolNamespaceType {
  uint32_t characters[kProtocolNamespaceChars];
  uint32_t charactersLen;
};

struct AppProtocolType {
  protocolNamespaceType ProtocolNamespace;
  uint32_t VersionNumberMajor;
  uint32_t VersionNumberMinor;
  uint8_t SchemaID;
  uint8_t Priority;
};

struct AnonType_supportedAppProtocolReq {
  AppProtocolType AppProtocol[kAppProtocolEntries];
  uint32_t arrayLen;  // entries in use
};

enum responseCodeType : uint32_t {
  responseCodeType_OK_SuccessfulNegotiation = 0,
  responseCodeType_OK_SuccessfulNegotiationWithMinorDeviation = 1,
  responseCodeType_Failed_NoNegotiation = 2,
};

constexpr uint8_t kSchemaIdUsed = 0x01;

struct AnonType_supportedAppProtocolRes {
  uint32_t ResponseCode;  // responseCodeType
  uint8_t SchemaID;
  uint8_t isUsed;         // kSchemaIdUsed
};

constexpr uint8_t kAppHandReqPresent = 0x01;
constexpr uint8_t kAppHandResPresent = 0x02;

struct EXIDocumentType_appHand {
  AnonType_supportedAppProtocolReq* supportedAppProtocolReq;
  AnonType_supportedAppProtocolRes* supportedAppProtocolRes;
  uint8_t isUsed;  // kAppHandReqPresent, kAppHandResPresent
};

// Binding error byte.
constexpr uint8_t kAppHandErrorValueType = 4;
constexpr uint8_t kAppHandErrorValueRange = 5;

struct appHandService {
  BitStream inStream;
  BitStream outStream;
  ExiCoderState stateDecode;
  ExiCoderState stateEncode;
  uint32_t event;
  ExiValue val;
  uint16_t qnameID;
  EXIDocumentType_appHand exiDocument;
  struct {
    uint32_t qnameID[kAppHandElementStack];
    uint32_t depth;
  } elementStack;
  uint16_t transportHeaderOffset;
  uint8_t errorCode;
};

protocolNamespaceType* init_protocolNamespaceType(protocolNamespaceType* type);
AppProtocolType* init_AppProtocolType(AppProtocolType* type);
AnonType_supportedAppProtocolReq* init_AnonType_supportedAppProtocolReq(
    AnonType_supportedAppProtocolReq* type);
AnonType_supportedAppProtocolRes* init_AnonType_supportedAppProtocolRes(
    AnonType_supportedAppProtocolRes* type);
EXIDocumentType_appHand* init_EXIDocumentType_appHand(EXIDocumentType_appHand* type);
