#include "appHand_DataDeserialization.h"

#include "NameTable.h"
#include "StringTable.h"
#include "appHandEXIDecoder.h"
#include "appHandQNames.h"

namespace {

constexpr int kRefused = -1;

int refuse(appHandService* service, uint8_t error) {
  service->errorCode = error;
  return kRefused;
}

// The entry being filled: the one at index = entries completed so far.
AppProtocolType* currentEntry(appHandService* service) {
  AnonType_supportedAppProtocolReq* req = service->exiDocument.supportedAppProtocolReq;
  if (req == nullptr || req->arrayLen >= kAppProtocolEntries) {
    return nullptr;
  }
  return &req->AppProtocol[req->arrayLen];
}

// Unsigned integer value of any decoded kind as a 32-bit field.
bool toUInt32(const ExiInteger& integer, uint32_t* out) {
  switch (integer.kind) {
    case EXI_UINT8: *out = integer.val.uint8; return true;
    case EXI_UINT16: *out = integer.val.uint16; return true;
    case EXI_UINT32:
      *out = integer.val.uint32;
      return (integer.val.uint32 & 0x80000000u) == 0;
    case EXI_INT8: *out = static_cast<uint32_t>(static_cast<int32_t>(integer.val.int8)); return true;
    case EXI_INT16: *out = static_cast<uint32_t>(static_cast<int32_t>(integer.val.int16)); return true;
    case EXI_INT32: *out = static_cast<uint32_t>(integer.val.int32); return true;
    default: return false;
  }
}

int storeValue(appHandService* service) {
  const ExiValue& v = service->val;
  uint32_t depth = service->elementStack.depth;
  if (depth == 0) {
    return 0;
  }
  uint32_t element = service->elementStack.qnameID[depth - 1];
  uint32_t root = service->elementStack.qnameID[0];
  AnonType_supportedAppProtocolRes* res = service->exiDocument.supportedAppProtocolRes;
  AppProtocolType* entry = currentEntry(service);

  uint32_t required = 0;
  switch (element) {
    case APPHAND_QNAME_Priority:
    case APPHAND_QNAME_SchemaID: required = EXI_VALUE_NBIT_INTEGER; break;
    case APPHAND_QNAME_ProtocolNamespace: required = EXI_VALUE_STRING; break;
    case APPHAND_QNAME_ResponseCode: required = EXI_VALUE_ENUMERATION; break;
    case APPHAND_QNAME_VersionNumberMajor:
    case APPHAND_QNAME_VersionNumberMinor: required = EXI_VALUE_UNSIGNED_INTEGER; break;
    default: return 0;
  }
  if (v.type != required) {
    return refuse(service, kAppHandErrorValueType);
  }
  bool toResponse = element == APPHAND_QNAME_ResponseCode ||
                    (element == APPHAND_QNAME_SchemaID && root == APPHAND_QNAME_supportedAppProtocolRes);
  if (toResponse ? res == nullptr : entry == nullptr) {
    return kRefused;
  }
  uint32_t number = 0;
  switch (element) {
    case APPHAND_QNAME_Priority:
      entry->Priority = static_cast<uint8_t>(v.integer.val.int32);
      break;
    case APPHAND_QNAME_ProtocolNamespace:
      if (v.string.chars.length > kProtocolNamespaceChars) {
        return refuse(service, kAppHandErrorValueRange);
      }
      for (uint16_t i = 0; i < v.string.chars.length; ++i) {
        entry->ProtocolNamespace.characters[i] = v.string.chars.codePoints[i];
      }
      entry->ProtocolNamespace.charactersLen = v.string.chars.length;
      break;
    case APPHAND_QNAME_ResponseCode:
      res->ResponseCode = v.enumeration;
      break;
    case APPHAND_QNAME_SchemaID:
      if (toResponse) {
        res->SchemaID = static_cast<uint8_t>(v.integer.val.int32);
        res->isUsed = static_cast<uint8_t>(res->isUsed | kSchemaIdUsed);
      } else {
        entry->SchemaID = static_cast<uint8_t>(v.integer.val.int32);
      }
      break;
    default:  // the two version numbers
      if (!toUInt32(v.integer, &number)) {
        return refuse(service, kAppHandErrorValueRange);
      }
      if (element == APPHAND_QNAME_VersionNumberMajor) {
        entry->VersionNumberMajor = number;
      } else {
        entry->VersionNumberMinor = number;
      }
      break;
  }
  return 0;
}

int startElement(appHandService* service, uint16_t qnameId) {
  const EXIDocumentType_appHand& doc = service->exiDocument;
  if ((qnameId == APPHAND_QNAME_supportedAppProtocolReq && doc.supportedAppProtocolReq == nullptr) ||
      (qnameId == APPHAND_QNAME_supportedAppProtocolRes && doc.supportedAppProtocolRes == nullptr) ||
      service->elementStack.depth >= kAppHandElementStack) {
    return kRefused;
  }
  service->elementStack.qnameID[service->elementStack.depth++] = qnameId;
  return 0;
}

int endElement(appHandService* service, uint16_t qnameId) {
  if (service->elementStack.depth == 0) {
    return kRefused;
  }
  --service->elementStack.depth;
  EXIDocumentType_appHand& doc = service->exiDocument;
  if (qnameId == APPHAND_QNAME_supportedAppProtocolReq) {
    doc.isUsed = static_cast<uint8_t>(doc.isUsed | kAppHandReqPresent);
  } else if (qnameId == APPHAND_QNAME_supportedAppProtocolRes) {
    doc.isUsed = static_cast<uint8_t>(doc.isUsed | kAppHandResPresent);
  } else if (qnameId == APPHAND_QNAME_AppProtocol) {
    if (currentEntry(service) == nullptr) {
      return kRefused;
    }
    ++doc.supportedAppProtocolReq->arrayLen;
  }
  return 0;
}

}  // namespace

int init_appHandDeserializer(appHandService* service, uint16_t binarySize, uint8_t* binaryBuffer,
                             uint16_t binaryLength, uint16_t charSize, uint32_t* charBuffer,
                             uint16_t charLength, uint16_t headerOffset) {
  service->val.binary = ExiByteBuffer{binarySize, binaryBuffer, binaryLength};
  service->val.string.chars = ExiCharBuffer{charSize, charBuffer, charLength};
  service->elementStack.depth = 0;
  service->transportHeaderOffset = headerOffset;
  return 0;
}

int deserialize_appHand(appHandService* service, uint8_t* buffer, uint16_t length,
                        EXIDocumentType_appHand* document) {
  uint32_t pos = service->transportHeaderOffset;
  service->inStream = BitStream{static_cast<uint32_t>(length) + service->transportHeaderOffset,
                                buffer, &pos, 0, 0};
  service->exiDocument = *document;
  service->elementStack.depth = 0;
  service->errorCode = 0;

  RuntimeNameTable runtime;
  exiInitNameTableRuntime(&runtime);
  StringValueTable strings{0, kAppHandQNameSlots, numberOfLocalStringsDecode};
  BitStream* in = &service->inStream;
  ExiCoderState* state = &service->stateDecode;
  int rc = exiappHandInitDecoder(in, state, runtime, strings);

  bool done = false;
  while (rc == 0 && !done) {
    rc = exiappHandDecodeNextEvent(in, state, &service->event);
    if (rc != 0) {
      break;
    }
    switch (service->event) {
      case EXI_EVENT_START_DOCUMENT:
        rc = exiappHandDecodeStartDocument(in, state);
        break;
      case EXI_EVENT_END_DOCUMENT:
        rc = exiappHandDecodeEndDocument(in, state);
        done = true;
        break;
      case EXI_EVENT_START_ELEMENT:
        rc = exiappHandDecodeStartElement(in, state, &service->qnameID);
        if (rc == 0) rc = startElement(service, service->qnameID);
        break;
      case EXI_EVENT_END_ELEMENT:
        rc = exiappHandDecodeEndElement(in, state, &service->qnameID);
        if (rc == 0) rc = endElement(service, service->qnameID);
        break;
      case EXI_EVENT_CHARACTERS:
        rc = exiappHandDecodeCharacters(in, state, &service->val);
        if (rc == 0) rc = storeValue(service);
        break;
      case EXI_EVENT_ATTRIBUTE:
        rc = exiappHandDecodeAttribute(in, state, &service->qnameID, &service->val);
        if (rc == 0) rc = storeValue(service);
        break;
      default:
        rc = kRefused;
        break;
    }
  }
  service->inStream.pos = nullptr;  // the counter lived on this call's stack
  return rc;
}
