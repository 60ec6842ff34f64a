#include "din_binding.h"

#include <cstring>
#include <type_traits>

#include "EXIDecoder.h"
#include "EXIEncoder.h"
#include "EncoderChannel.h"
#include "NameTable.h"
#include "StringTable.h"
#include "dinEXICoder.h"

const DinEncoderOps kDinExiEncoder = {
    exiEncodeStartDocument, exiEncodeEndDocument, exiEncodeStartElement,
    exiEncodeEndElement,    exiEncodeCharacters,  exiEncodeAttribute,
};

namespace {

constexpr uint32_t kBufferChars = 64;
constexpr uint32_t kBufferBytes = 64;

template <typename T>
T& at(void* base, uint32_t offset) {
  return *reinterpret_cast<T*>(static_cast<uint8_t*>(base) + offset);
}
template <typename T>
const T& at(const void* base, uint32_t offset) {
  return *reinterpret_cast<const T*>(static_cast<const uint8_t*>(base) + offset);
}

bool isUsed(const DinRecordDesc* desc, const void* record, int bit) {
  return bit < 0 || desc->isUsedOffset == kDinNoIsUsed ||
         ((at<uint64_t>(record, desc->isUsedOffset) >> bit) & 1u) != 0;
}

void setUsed(const DinRecordDesc* desc, void* record, int bit) {
  if (bit >= 0 && desc->isUsedOffset != kDinNoIsUsed) {
    at<uint64_t>(record, desc->isUsedOffset) |= uint64_t{1} << bit;
  }
}

// Strings and binary values: the count, then the data (DinString, DinBytes).
int32_t stringValue(DinService* s, const DinMember& m, const void* member, bool inPlace) {
  uint32_t count = at<uint32_t>(member, 0);
  const uint32_t* chars = &at<uint32_t>(member, sizeof(uint32_t));
  if (count > m.capacity || count > UINT16_MAX) {
    return -1;
  }
  s->value.type = EXI_VALUE_STRING;
  s->value.string.kind = EXI_STRING_LITERAL;
  if (inPlace) {
    // Attribute values go out from the record's own characters.
    s->value.string.chars =
        ExiCharBuffer{static_cast<uint16_t>(count), const_cast<uint32_t*>(chars),
                      static_cast<uint16_t>(count)};
    return 0;
  }
  if (count > kBufferChars) {
    return -1;
  }
  std::memcpy(s->chars, chars, count * sizeof(uint32_t));
  s->value.string.chars = ExiCharBuffer{kBufferChars, s->chars, static_cast<uint16_t>(count)};
  return 0;
}

int32_t binaryValue(DinService* s, const DinMember& m, const void* member, uint32_t type) {
  uint32_t count = at<uint32_t>(member, 0);
  if (count > m.capacity || count > kBufferBytes) {
    return -1;
  }
  std::memcpy(s->bytes, &at<uint8_t>(member, sizeof(uint32_t)), count);
  s->value.type = type;
  s->value.binary = ExiByteBuffer{kBufferBytes, s->bytes, static_cast<uint16_t>(count)};
  return 0;
}

void integerValue(DinService* s, uint32_t type, uint32_t kind, int64_t v) {
  s->value.type = type;
  s->value.integer.kind = kind;
  s->value.integer.val.int64 = 0;
  switch (kind) {
    case EXI_UINT8: s->value.integer.val.uint8 = static_cast<uint8_t>(v); break;
    case EXI_UINT16: s->value.integer.val.uint16 = static_cast<uint16_t>(v); break;
    case EXI_UINT32: s->value.integer.val.uint32 = static_cast<uint32_t>(v); break;
    case EXI_INT8: s->value.integer.val.int8 = static_cast<int8_t>(v); break;
    case EXI_INT16: s->value.integer.val.int16 = static_cast<int16_t>(v); break;
    case EXI_INT32: s->value.integer.val.int32 = static_cast<int32_t>(v); break;
    default: s->value.integer.val.int64 = v; break;
  }
}

// Puts the member's value into the service's value record.
int32_t fillValue(DinService* s, const DinMember& m, const void* member) {
  switch (m.kind) {
    case DIN_ENUM:
      s->value.type = EXI_VALUE_ENUMERATION;
      s->value.enumeration = static_cast<uint32_t>(at<int32_t>(member, 0));
      return 0;
    case DIN_BOOL:
      s->value.type = EXI_VALUE_BOOLEAN;
      s->value.boolean = at<int32_t>(member, 0) != 0 ? 1 : 0;
      return 0;
    case DIN_BYTE:
      integerValue(s, EXI_VALUE_NBIT_INTEGER, EXI_INT8, at<int8_t>(member, 0));
      return 0;
    case DIN_UBYTE:
      integerValue(s, EXI_VALUE_NBIT_INTEGER, EXI_UINT8, at<uint8_t>(member, 0));
      return 0;
    case DIN_SHORT:
      integerValue(s, EXI_VALUE_INTEGER, EXI_INT16, at<int16_t>(member, 0));
      return 0;
    case DIN_USHORT:
      integerValue(s, EXI_VALUE_UNSIGNED_INTEGER, EXI_UINT16, at<uint16_t>(member, 0));
      return 0;
    case DIN_UINT:
      integerValue(s, EXI_VALUE_UNSIGNED_INTEGER, EXI_UINT32, at<uint32_t>(member, 0));
      return 0;
    case DIN_INT:
      integerValue(s, EXI_VALUE_INTEGER, EXI_INT32, at<int32_t>(member, 0));
      return 0;
    case DIN_LONG:
      integerValue(s, EXI_VALUE_INTEGER, EXI_INT64, at<int64_t>(member, 0));
      return 0;
    case DIN_HEX:
      return binaryValue(s, m, member, EXI_VALUE_BINARY_HEX);
    case DIN_BASE64:
      return binaryValue(s, m, member, EXI_VALUE_BINARY_BASE64);
    case DIN_STRING:
      return stringValue(s, m, member, false);
    default:
      return -1;
  }
}

int serializeEntry(DinService* s, const DinMember& m, const void* member) {
  const DinEncoderOps* ops = s->ops;
  BitStream* out = &s->outStream;
  ExiCoderState* enc = &s->encoder;
  if (m.attribute) {
    if (stringValue(s, m, member, true) != 0) return -1;
    return ops->attribute(out, enc, m.qname, &s->value) == 0 ? 0 : -1;
  }
  if (ops->startElement(out, enc, m.qname) != 0) return -1;
  if (m.kind == DIN_RECORD || m.kind == DIN_REF) {
    const void* nested = m.kind == DIN_REF ? at<const void*>(member, 0) : member;
    if (nested == nullptr || dinSerializeRecord(s, m.record, nested) != 0) return -1;
  } else {
    if (fillValue(s, m, member) != 0) return -1;
    if (ops->characters(out, enc, &s->value) != 0) return -1;
  }
  // A failing end element fails the message too: a stream that lost an
  // event must never be sent.
  return ops->endElement(out, enc) == 0 ? 0 : -1;
}

// ------------------------------------------------------------------ reading

struct Frame {
  const DinMember* member;     // member this element fills (nullptr: root or skipped)
  const DinRecordDesc* desc;   // record content: its description
  void* record;                // record content: the record; leaf: the member
  void* parent;                // the record holding the member
  const DinRecordDesc* parentDesc;
  bool skip;
};

constexpr int kMaxFrames = 24;

struct Reader {
  DinService* s;
  Frame frames[kMaxFrames];
  int depth = 0;

  int fail(uint8_t code) {
    s->errorCode = code;
    return -1;
  }

  const DinMember* find(const DinRecordDesc* desc, uint16_t qname, bool attribute) const {
    for (uint32_t i = 0; desc != nullptr && i < desc->count; ++i) {
      if (desc->members[i].qname == qname && desc->members[i].attribute == attribute) {
        return &desc->members[i];
      }
    }
    return nullptr;
  }

  // Where the next value of member m of the record goes: the member itself
  // or the next free entry of its list.
  void* slot(const DinMember& m, void* record) {
    if (!m.list) {
      return static_cast<uint8_t*>(record) + m.offset;
    }
    uint32_t count = at<uint32_t>(record, m.offset);
    if (count >= m.listCapacity) {
      return nullptr;
    }
    return static_cast<uint8_t*>(record) + m.offset + m.entries + count * m.stride;
  }

  int startElement(uint16_t qname) {
    if (depth >= kMaxFrames) return fail(DIN_ERROR_DECODING);
    Frame& top = frames[depth - 1];
    const DinMember* m = top.skip || top.desc == nullptr ? nullptr : find(top.desc, qname, false);
    if (m == nullptr) {
      // Content that no record keeps (the header's signature): read past it.
      ++s->skippedElements;
      frames[depth++] = Frame{nullptr, nullptr, nullptr, nullptr, nullptr, true};
      return 0;
    }
    void* place = slot(*m, top.record);
    if (place == nullptr) return fail(DIN_ERROR_VALUE_REFUSED);  // list full
    Frame f{m, nullptr, place, top.record, top.desc, false};
    if (m->kind == DIN_RECORD) {
      f.desc = m->record;
    } else if (m->kind == DIN_REF) {
      f.desc = m->record;
      f.record = at<void*>(place, 0);
      if (f.record == nullptr) return fail(DIN_ERROR_DECODING);
      // A referenced record is shared by every message of its kind: it
      // starts empty, whatever an earlier message left in it.
      dinClearRecord(m->record, f.record);
    }
    frames[depth++] = f;
    return 0;
  }

  int endElement() {
    if (depth <= 1) return fail(DIN_ERROR_DECODING);
    Frame& f = frames[--depth];
    if (f.member != nullptr) {
      if (f.member->list) ++at<uint32_t>(f.parent, f.member->offset);
      setUsed(f.parentDesc, f.parent, f.member->bit);
    }
    return 0;
  }

  int storeString(const DinMember& m, void* member) {
    if (s->value.type != EXI_VALUE_STRING) return fail(DIN_ERROR_WRONG_TYPE);
    uint32_t n = s->value.string.chars.length;
    if (n > m.capacity) return fail(DIN_ERROR_VALUE_REFUSED);
    std::memcpy(&at<uint32_t>(member, sizeof(uint32_t)), s->value.string.chars.codePoints,
                n * sizeof(uint32_t));
    at<uint32_t>(member, 0) = n;
    return 0;
  }

  int store(const DinMember& m, void* member) {
    const ExiValue& v = s->value;
    auto want = [&](uint32_t type) { return v.type == type; };
    int rc = 0;
    switch (m.kind) {
      case DIN_ENUM:
        if (!want(EXI_VALUE_ENUMERATION)) return fail(DIN_ERROR_WRONG_TYPE);
        at<int32_t>(member, 0) = static_cast<int32_t>(v.enumeration);
        return 0;
      case DIN_BOOL:
        if (!want(EXI_VALUE_BOOLEAN)) return fail(DIN_ERROR_WRONG_TYPE);
        at<int32_t>(member, 0) = v.boolean != 0 ? 1 : 0;
        return 0;
      case DIN_BYTE:
      case DIN_UBYTE: {
        if (!want(EXI_VALUE_NBIT_INTEGER)) return fail(DIN_ERROR_WRONG_TYPE);
        int64_t x = 0;
        exiIntegerToInt64(&v.integer, &x);
        if (m.kind == DIN_BYTE ? (x < INT8_MIN || x > INT8_MAX) : (x < 0 || x > UINT8_MAX)) {
          return fail(DIN_ERROR_VALUE_REFUSED);
        }
        if (m.kind == DIN_BYTE) {
          at<int8_t>(member, 0) = static_cast<int8_t>(x);
        } else {
          at<uint8_t>(member, 0) = static_cast<uint8_t>(x);
        }
        return 0;
      }
      case DIN_SHORT:
        if (!want(EXI_VALUE_INTEGER)) return fail(DIN_ERROR_WRONG_TYPE);
        rc = _setInt16Value(&v.integer, &at<int16_t>(member, 0));
        break;
      case DIN_USHORT:
        if (!want(EXI_VALUE_UNSIGNED_INTEGER)) return fail(DIN_ERROR_WRONG_TYPE);
        rc = _setUnsignedInt16Value(&v.integer, &at<uint16_t>(member, 0));
        break;
      case DIN_UINT:
        if (!want(EXI_VALUE_UNSIGNED_INTEGER)) return fail(DIN_ERROR_WRONG_TYPE);
        rc = _setUnsignedInt32Value(&v.integer, &at<uint32_t>(member, 0));
        break;
      case DIN_INT:
        if (!want(EXI_VALUE_INTEGER)) return fail(DIN_ERROR_WRONG_TYPE);
        rc = _setInt32Value(&v.integer, &at<int32_t>(member, 0));
        break;
      case DIN_LONG:
        if (!want(EXI_VALUE_INTEGER)) return fail(DIN_ERROR_WRONG_TYPE);
        rc = _setInt64Value(&v.integer, &at<int64_t>(member, 0));
        break;
      case DIN_HEX:
      case DIN_BASE64: {
        if (!want(m.kind == DIN_HEX ? EXI_VALUE_BINARY_HEX : EXI_VALUE_BINARY_BASE64)) {
          return fail(DIN_ERROR_WRONG_TYPE);
        }
        uint32_t n = v.binary.length;
        if (n > m.capacity) return fail(DIN_ERROR_VALUE_REFUSED);
        std::memcpy(&at<uint8_t>(member, sizeof(uint32_t)), v.binary.data, n);
        at<uint32_t>(member, 0) = n;
        return 0;
      }
      case DIN_STRING:
        return storeString(m, member);
      default:
        return fail(DIN_ERROR_WRONG_TYPE);
    }
    return rc == 0 ? 0 : fail(DIN_ERROR_VALUE_REFUSED);
  }

  int characters() {
    Frame& f = frames[depth - 1];
    if (f.skip) return 0;
    if (f.member == nullptr || f.member->kind == DIN_RECORD || f.member->kind == DIN_REF) {
      return fail(DIN_ERROR_WRONG_TYPE);
    }
    return store(*f.member, f.record);
  }

  int attribute(uint16_t qname) {
    Frame& f = frames[depth - 1];
    if (f.skip || f.desc == nullptr) return 0;
    const DinMember* m = find(f.desc, qname, true);
    if (m == nullptr) return 0;
    void* member = static_cast<uint8_t*>(f.record) + m->offset;
    if (storeString(*m, member) != 0) return -1;
    setUsed(f.desc, f.record, m->bit);
    return 0;
  }
};

}  // namespace

// ------------------------------------------------------------ conversions

int _setInt64Value(const ExiInteger* v, int64_t* out) {
  switch (v->kind) {
    case EXI_UINT8: *out = v->val.uint8; return 0;
    case EXI_UINT16: *out = v->val.uint16; return 0;
    case EXI_UINT32: *out = v->val.uint32; return 0;
    case EXI_UINT64:
      if (v->val.uint64 > static_cast<uint64_t>(INT64_MAX)) return -1;
      *out = static_cast<int64_t>(v->val.uint64);
      return 0;
    case EXI_INT8: *out = v->val.int8; return 0;
    case EXI_INT16: *out = v->val.int16; return 0;
    case EXI_INT32: *out = v->val.int32; return 0;
    case EXI_INT64: *out = v->val.int64; return 0;
    default: return -1;
  }
}

// Each narrower target takes the value when it lies in its range, whatever
// width the codec delivered it in, and refuses it otherwise.
namespace {
template <typename T>
int setRange(const ExiInteger* v, T* out, int64_t lo, int64_t hi) {
  int64_t x = 0;
  if (_setInt64Value(v, &x) != 0 || x < lo || x > hi) return -1;
  *out = static_cast<T>(x);
  return 0;
}
}  // namespace

int _setUnsignedInt32Value(const ExiInteger* v, uint32_t* out) {
  return setRange(v, out, 0, UINT32_MAX);
}
int _setUnsignedInt16Value(const ExiInteger* v, uint16_t* out) {
  return setRange(v, out, 0, UINT16_MAX);
}
int _setInt16Value(const ExiInteger* v, int16_t* out) {
  return setRange(v, out, INT16_MIN, INT16_MAX);
}
int _setInt32Value(const ExiInteger* v, int32_t* out) {
  return setRange(v, out, INT32_MIN, INT32_MAX);
}

// ----------------------------------------------------------------- writing

int dinSerializeRecord(DinService* s, const DinRecordDesc* desc, const void* record) {
  for (uint32_t i = 0; i < desc->count; ++i) {
    const DinMember& m = desc->members[i];
    if (!isUsed(desc, record, m.bit)) continue;
    const uint8_t* member = static_cast<const uint8_t*>(record) + m.offset;
    if (!m.list) {
      if (serializeEntry(s, m, member) != 0) return -1;
      continue;
    }
    uint32_t count = at<uint32_t>(member, 0);
    if (count > m.listCapacity) return -1;
    for (uint32_t e = 0; e < count; ++e) {
      if (serializeEntry(s, m, member + m.entries + e * m.stride) != 0) return -1;
    }
  }
  return 0;
}

namespace {

struct Link {
  void** place;
  void* target;
  const DinRecordDesc* desc;
};

// The body references every message: the most links one record holds.
constexpr uint32_t kMaxLinks = 40;

bool collectLinks(const DinRecordDesc* desc, uint8_t* record, Link* links, uint32_t* n) {
  for (uint32_t i = 0; i < desc->count; ++i) {
    const DinMember& m = desc->members[i];
    if (m.kind == DIN_REF && !m.list) {
      if (*n == kMaxLinks) return false;
      void** place = &at<void*>(record, m.offset);
      links[(*n)++] = Link{place, *place, m.record};
    } else if (m.kind == DIN_RECORD && m.record->links) {
      uint32_t entries = m.list ? m.listCapacity : 1;
      for (uint32_t e = 0; e < entries; ++e) {
        uint8_t* nested = record + m.offset + (m.list ? m.entries + e * m.stride : 0);
        if (!collectLinks(m.record, nested, links, n)) return false;
      }
    }
  }
  return true;
}

}  // namespace

void dinClearRecord(const DinRecordDesc* desc, void* record) {
  static_assert(std::is_trivially_copyable_v<DinMessageStore>);
  if (!desc->links) {
    std::memset(record, 0, desc->size);
    return;
  }
  Link links[kMaxLinks];
  uint32_t n = 0;
  // The descriptions are fixed: a record with more links than kMaxLinks
  // is a fault of the tables, which the tests clear whole.
  if (!collectLinks(desc, static_cast<uint8_t*>(record), links, &n)) __builtin_trap();
  std::memset(record, 0, desc->size);
  for (uint32_t i = 0; i < n; ++i) {
    *links[i].place = links[i].target;
    if (links[i].target != nullptr) dinClearRecord(links[i].desc, links[i].target);
  }
}

void dinClearBodyMessage(EXIDocumentType* document, uint32_t bit) {
  const DinRecordDesc& body = kDinDesc_BodyType;
  for (uint32_t i = 0; i < body.count; ++i) {
    const DinMember& m = body.members[i];
    if (m.bit != static_cast<int>(bit)) continue;
    void* record = at<void*>(&document->V2G_Message.Body, m.offset);
    if (record != nullptr) dinClearRecord(m.record, record);
    return;
  }
}

void dinInitDocument(EXIDocumentType* document, DinMessageStore* store) {
  // Cleared in place: the store is too large for a temporary on the stack.
  static_assert(std::is_trivially_copyable_v<DinMessageStore>);
  std::memset(static_cast<void*>(store), 0, sizeof *store);
  *document = EXIDocumentType{};
  AnonType_V2G_Message& msg = document->V2G_Message;
  msg.Header = &store->header;
  BodyType& b = msg.Body;
  b.SessionSetupReq = &store->sessionSetupReq;
  b.SessionSetupRes = &store->sessionSetupRes;
  b.ServiceDiscoveryReq = &store->serviceDiscoveryReq;
  b.ServiceDiscoveryRes = &store->serviceDiscoveryRes;
  b.ServiceDetailReq = &store->serviceDetailReq;
  b.ServiceDetailRes = &store->serviceDetailRes;
  b.ServicePaymentSelectionReq = &store->servicePaymentSelectionReq;
  b.ServicePaymentSelectionRes = &store->servicePaymentSelectionRes;
  b.PaymentDetailsReq = &store->paymentDetailsReq;
  b.PaymentDetailsRes = &store->paymentDetailsRes;
  b.ContractAuthenticationReq = &store->contractAuthenticationReq;
  b.ContractAuthenticationRes = &store->contractAuthenticationRes;
  b.ChargeParameterDiscoveryReq = &store->chargeParameterDiscoveryReq;
  b.ChargeParameterDiscoveryRes = &store->chargeParameterDiscoveryRes;
  b.PowerDeliveryReq = &store->powerDeliveryReq;
  b.PowerDeliveryRes = &store->powerDeliveryRes;
  b.ChargingStatusReq = &store->chargingStatusReq;
  b.ChargingStatusRes = &store->chargingStatusRes;
  b.MeteringReceiptReq = &store->meteringReceiptReq;
  b.MeteringReceiptRes = &store->meteringReceiptRes;
  b.SessionStopReq = &store->sessionStopReq;
  b.SessionStopRes = &store->sessionStopRes;
  b.CertificateUpdateReq = &store->certificateUpdateReq;
  b.CertificateUpdateRes = &store->certificateUpdateRes;
  b.CertificateInstallationReq = &store->certificateInstallationReq;
  b.CertificateInstallationRes = &store->certificateInstallationRes;
  b.CableCheckReq = &store->cableCheckReq;
  b.CableCheckRes = &store->cableCheckRes;
  b.PreChargeReq = &store->preChargeReq;
  b.PreChargeRes = &store->preChargeRes;
  b.CurrentDemandReq = &store->currentDemandReq;
  b.CurrentDemandRes = &store->currentDemandRes;
  b.WeldingDetectionReq = &store->weldingDetectionReq;
  b.WeldingDetectionRes = &store->weldingDetectionRes;
  store->chargeParameterDiscoveryReq.AC_EVChargeParameter = &store->acEVChargeParameter;
  store->chargeParameterDiscoveryReq.DC_EVChargeParameter = &store->dcEVChargeParameter;
  store->powerDeliveryReq.DC_EVPowerDeliveryParameter = &store->dcEVPowerDeliveryParameter;
  store->chargeParameterDiscoveryRes.AC_EVSEChargeParameter = &store->acEVSEChargeParameter;
  store->chargeParameterDiscoveryRes.DC_EVSEChargeParameter = &store->dcEVSEChargeParameter;
  store->powerDeliveryRes.AC_EVSEStatus = &store->acEVSEStatus;
  store->powerDeliveryRes.DC_EVSEStatus = &store->dcEVSEStatus;
  for (int i = 0; i < 3; ++i) {
    store->chargeParameterDiscoveryRes.SAScheduleList.SAScheduleTuple.array[i].SalesTariff =
        &store->salesTariff[i];
  }
}

void dinInitService(DinService* service, EXIDocumentType* document) {
  std::memset(static_cast<void*>(service), 0, sizeof *service);
  service->document = document;
  service->ops = &kDinExiEncoder;
}

int dinSerializeMessage(DinService* s, uint8_t* out, uint32_t size, uint32_t offset,
                        uint32_t* length) {
  s->outPos = offset;
  s->outStream = BitStream{size, out, &s->outPos, 0, 8};
  RuntimeNameTable runtime;
  exiInitNameTableRuntime(&runtime);
  const DinEncoderOps* ops = s->ops;
  BitStream* o = &s->outStream;
  ExiCoderState* e = &s->encoder;
  s->value = ExiValue{};
  int rc = exiDinInitEncoder(o, e, runtime,
                             StringValueTable{0, kExiLocalStringCounters, numberOfLocalStringsEncode});
  if (rc == 0) rc = ops->startDocument(o, e);
  if (rc == 0) rc = ops->startElement(o, e, DIN_QNAME_def_V2G_Message);
  if (rc == 0) rc = dinSerializeRecord(s, &kDinDesc_AnonType_V2G_Message, &s->document->V2G_Message);
  if (rc == 0) rc = ops->endElement(o, e);
  if (rc == 0) rc = ops->endDocument(o, e);
  if (rc != 0) {
    s->errorCode = DIN_ERROR_ENCODING;
    return -1;
  }
  *length = s->outPos - offset;
  return 0;
}

namespace {

// Every value is decoded into an empty record: nothing of the value before
// it can be taken for its own. Element events carry no value.
void freshValue(DinService* s) {
  s->value = ExiValue{};
  s->value.binary = ExiByteBuffer{kBufferBytes, s->bytes, 0};
  s->value.string.chars = ExiCharBuffer{kBufferChars, s->chars, 0};
}

}  // namespace

int dinDeserializeMessage(DinService* s, uint8_t* in, uint32_t length, uint32_t offset) {
  s->inPos = offset;
  s->inStream = BitStream{offset + length, in, &s->inPos, 0, 0};
  s->errorCode = DIN_ERROR_NONE;
  s->skippedElements = 0;
  s->document->V2G_Message.Body.isUsed = 0;
  RuntimeNameTable runtime;
  exiInitNameTableRuntime(&runtime);
  BitStream* i = &s->inStream;
  ExiCoderState* d = &s->decoder;
  Reader r{s, {}, 0};
  r.frames[0] = Frame{nullptr, nullptr, nullptr, nullptr, nullptr, false};
  r.depth = 1;
  if (exiDinInitDecoder(i, d, runtime,
                        StringValueTable{0, kExiLocalStringCounters, numberOfLocalStringsDecode}) !=
      0) {
    return r.fail(DIN_ERROR_DECODING);
  }
  bool rootSeen = false;
  for (;;) {
    uint32_t event = EXI_EVENT_NO_EVENT;
    if (exiDecodeNextEvent(i, d, &event) != 0) return r.fail(DIN_ERROR_DECODING);
    s->currentEvent = static_cast<int32_t>(event);
    uint16_t q = 0;
    int rc = 0;
    switch (event) {
      case EXI_EVENT_START_DOCUMENT:
        rc = exiDecodeStartDocument(i, d);
        break;
      case EXI_EVENT_END_DOCUMENT:
        if (exiDecodeEndDocument(i, d) != 0 || !rootSeen) return r.fail(DIN_ERROR_DECODING);
        return 0;
      case EXI_EVENT_START_ELEMENT:
      case EXI_EVENT_START_ELEMENT_GENERIC:
        rc = exiDecodeStartElement(i, d, &q);
        if (rc != 0) return r.fail(DIN_ERROR_DECODING);
        s->currentQName = q;
        if (r.depth == 1) {
          // The root: its content is the message record.
          if (q != DIN_QNAME_def_V2G_Message || rootSeen) return r.fail(DIN_ERROR_DECODING);
          rootSeen = true;
          r.frames[r.depth++] = Frame{nullptr, &kDinDesc_AnonType_V2G_Message,
                                      &s->document->V2G_Message, nullptr, nullptr, false};
          break;
        }
        if (r.startElement(q) != 0) return -1;
        break;
      case EXI_EVENT_END_ELEMENT:
        rc = exiDecodeEndElement(i, d, &q);
        if (rc != 0) return r.fail(DIN_ERROR_DECODING);
        if (r.depth == 2) {
          --r.depth;  // end of the root
          break;
        }
        if (r.endElement() != 0) return -1;
        break;
      case EXI_EVENT_CHARACTERS:
      case EXI_EVENT_CHARACTERS_GENERIC:
        freshValue(s);
        if (exiDecodeCharacters(i, d, &s->value) != 0) return r.fail(DIN_ERROR_DECODING);
        s->currentQName = d->elementStack[d->stackIndex];
        if (r.characters() != 0) return -1;
        break;
      case EXI_EVENT_ATTRIBUTE:
      case EXI_EVENT_ATTRIBUTE_INVALID_VALUE:
        freshValue(s);
        if (exiDecodeAttribute(i, d, &q, &s->value) != 0) return r.fail(DIN_ERROR_DECODING);
        s->currentQName = q;
        if (r.attribute(q) != 0) return -1;
        break;
      default:
        // Undeclared content, xsi:type and xsi:nil are not taken.
        return r.fail(DIN_ERROR_DECODING);
    }
    if (rc != 0) return r.fail(DIN_ERROR_DECODING);
  }
}
