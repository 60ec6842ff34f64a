#include "appHand_dataSerialization.h"

#include "NameTable.h"
#include "StringTable.h"
#include "appHandEXIEncoder.h"
#include "appHandQNames.h"

namespace {

constexpr int kFailed = -1;

struct Writer {
  BitStream* out;
  ExiCoderState* state;
  ExiValue* val;

  bool start(uint16_t qnameId) { return exiappHandEncodeStartElement(out, state, qnameId) == 0; }
  bool end() { return exiappHandEncodeEndElement(out, state) == 0; }

  bool characters() { return exiappHandEncodeCharacters(out, state, val) == 0; }

  // One simple element: start, value, end.
  bool simple(uint16_t qnameId) { return start(qnameId) && characters() && end(); }

  bool nbit(uint16_t qnameId, uint8_t value) {
    val->type = EXI_VALUE_NBIT_INTEGER;
    val->integer.kind = EXI_UINT8;
    val->integer.val.uint8 = value;
    return simple(qnameId);
  }

  bool unsigned32(uint16_t qnameId, uint32_t value) {
    val->type = EXI_VALUE_UNSIGNED_INTEGER;
    val->integer.kind = EXI_UINT32;
    val->integer.val.uint32 = value;
    return simple(qnameId);
  }

  bool entry(AppProtocolType* e) {
    if (e->ProtocolNamespace.charactersLen > kProtocolNamespaceChars) {
      return false;
    }
    // The string is written straight from the record.
    ExiStringValue saved = val->string;
    val->type = EXI_VALUE_STRING;
    val->string.kind = EXI_STRING_LITERAL;
    val->string.chars = ExiCharBuffer{static_cast<uint16_t>(kProtocolNamespaceChars),
                                      e->ProtocolNamespace.characters,
                                      static_cast<uint16_t>(e->ProtocolNamespace.charactersLen)};
    bool ok = start(APPHAND_QNAME_AppProtocol) && simple(APPHAND_QNAME_ProtocolNamespace);
    val->string = saved;
    return ok && unsigned32(APPHAND_QNAME_VersionNumberMajor, e->VersionNumberMajor) &&
           unsigned32(APPHAND_QNAME_VersionNumberMinor, e->VersionNumberMinor) &&
           nbit(APPHAND_QNAME_SchemaID, e->SchemaID) && nbit(APPHAND_QNAME_Priority, e->Priority) &&
           end();
  }

  bool request(AnonType_supportedAppProtocolReq* req) {
    if (req == nullptr || req->arrayLen > kAppProtocolEntries ||
        !start(APPHAND_QNAME_supportedAppProtocolReq)) {
      return false;
    }
    for (uint32_t i = 0; i < req->arrayLen; ++i) {
      if (!entry(&req->AppProtocol[i])) {
        return false;
      }
    }
    return end();
  }

  bool response(AnonType_supportedAppProtocolRes* res) {
    if (res == nullptr || !start(APPHAND_QNAME_supportedAppProtocolRes)) {
      return false;
    }
    val->type = EXI_VALUE_ENUMERATION;
    val->enumeration = res->ResponseCode;
    if (!simple(APPHAND_QNAME_ResponseCode)) {
      return false;
    }
    if ((res->isUsed & kSchemaIdUsed) != 0 && !nbit(APPHAND_QNAME_SchemaID, res->SchemaID)) {
      return false;
    }
    return end();
  }
};

}  // namespace

int init_appHandSerializer(appHandService* service, uint16_t binarySize, uint8_t* binaryBuffer,
                           uint16_t binaryLength, uint16_t charSize, uint32_t* charBuffer,
                           uint16_t charLength, uint32_t outputSize, uint16_t headerOffset) {
  service->val.binary = ExiByteBuffer{binarySize, binaryBuffer, binaryLength};
  service->val.string.chars = ExiCharBuffer{charSize, charBuffer, charLength};
  service->outStream.size = outputSize;
  service->transportHeaderOffset = headerOffset;
  return 0;
}

namespace {

int writeDocument(appHandService* service) {
  RuntimeNameTable runtime;
  exiInitNameTableRuntime(&runtime);
  StringValueTable strings{0, kAppHandQNameSlots, numberOfLocalStringsEncode};
  Writer w{&service->outStream, &service->stateEncode, &service->val};
  if (exiappHandInitEncoder(w.out, w.state, runtime, strings) != 0 ||
      exiappHandEncodeStartDocument(w.out, w.state) != 0) {
    return kFailed;
  }
  const EXIDocumentType_appHand& doc = service->exiDocument;
  if ((doc.isUsed & kAppHandReqPresent) != 0 && !w.request(doc.supportedAppProtocolReq)) {
    return kFailed;
  }
  if ((doc.isUsed & kAppHandResPresent) != 0 && !w.response(doc.supportedAppProtocolRes)) {
    return kFailed;
  }
  return exiappHandEncodeEndDocument(w.out, w.state) == 0 ? 0 : kFailed;
}

}  // namespace

int serialize_appHand(appHandService* service, uint8_t* buffer, uint32_t* outLength,
                      EXIDocumentType_appHand* document) {
  uint32_t pos = service->transportHeaderOffset;
  service->outStream = BitStream{service->outStream.size, buffer, &pos, 0, 8};
  service->exiDocument = *document;
  int rc = writeDocument(service);
  service->outStream.pos = nullptr;  // the counter lived on this call's stack
  if (rc == 0) {
    *outLength = pos - service->transportHeaderOffset;
  }
  return rc;
}
