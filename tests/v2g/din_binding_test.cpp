// DIN message records and their EXI binding: responses written as events,
// requests read into records, integer conversions and capacities.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../exi/din_events.h"
#include "din_binding.h"
#include "dinEXIGrammar.h"

namespace {

constexpr uint32_t kOffset = 8;

// ------------------------------------------------------ recording encoder

struct Recorded {
  char kind;  // 'D' start document, 'S' start, 'C' characters, 'A' attribute, 'E' end, 'F' end document
  uint16_t qname;
  bool operator==(const Recorded& o) const { return kind == o.kind && qname == o.qname; }
};

std::vector<Recorded> g_trace;
int g_failAt = -1;  // index of the event that fails, -1 for none

int32_t record(char kind, uint16_t q) {
  int index = static_cast<int>(g_trace.size());
  g_trace.push_back({kind, q});
  return index == g_failAt ? -11 : 0;
}

const DinEncoderOps kRecording = {
    [](BitStream*, ExiCoderState*) { return record('D', 0); },
    [](BitStream*, ExiCoderState*) { return record('F', 0); },
    [](BitStream*, ExiCoderState*, uint16_t q) { return record('S', q); },
    [](BitStream*, ExiCoderState*) { return record('E', 0); },
    [](BitStream*, ExiCoderState*, const ExiValue*) { return record('C', 0); },
    [](BitStream*, ExiCoderState*, uint16_t q, const ExiValue*) { return record('A', q); },
};

// Encoder that passes every event to the codec but fails the chosen one.
const DinEncoderOps kFailing = {
    [](BitStream* b, ExiCoderState* s) {
      return record('D', 0) != 0 ? -11 : exiEncodeStartDocument(b, s);
    },
    [](BitStream* b, ExiCoderState* s) {
      return record('F', 0) != 0 ? -11 : exiEncodeEndDocument(b, s);
    },
    [](BitStream* b, ExiCoderState* s, uint16_t q) {
      return record('S', q) != 0 ? -11 : exiEncodeStartElement(b, s, q);
    },
    [](BitStream* b, ExiCoderState* s) {
      return record('E', 0) != 0 ? -11 : exiEncodeEndElement(b, s);
    },
    [](BitStream* b, ExiCoderState* s, const ExiValue* v) {
      return record('C', 0) != 0 ? -11 : exiEncodeCharacters(b, s, v);
    },
    [](BitStream* b, ExiCoderState* s, uint16_t q, const ExiValue* v) {
      return record('A', q) != 0 ? -11 : exiEncodeAttribute(b, s, q, v);
    },
};

// A document with its store, value-initialised.
struct Doc {
  std::unique_ptr<DinMessageStore> store = std::make_unique<DinMessageStore>();
  EXIDocumentType doc{};
  std::unique_ptr<DinService> service = std::make_unique<DinService>();
  Doc() {
    dinInitDocument(&doc, store.get());
    dinInitService(service.get(), &doc);
    const uint8_t id[] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(store->header.SessionID.bytes, id, 8);
    store->header.SessionID.bytesLen = 8;
  }
  void use(int bit) { doc.V2G_Message.Body.isUsed = uint64_t{1} << bit; }

  // 0 and the body, or the serializer's result.
  int encode(std::vector<uint8_t>* body, uint32_t size = 4096) {
    std::vector<uint8_t> buffer(size);
    uint32_t length = 0;
    int rc = dinSerializeMessage(service.get(), buffer.data(), size, kOffset, &length);
    if (rc == 0) body->assign(buffer.begin() + kOffset, buffer.begin() + kOffset + length);
    return rc;
  }
  int decode(const std::vector<uint8_t>& body) {
    std::vector<uint8_t> buffer(kOffset + body.size());
    std::memcpy(buffer.data() + kOffset, body.data(), body.size());
    return dinDeserializeMessage(service.get(), buffer.data(), static_cast<uint32_t>(body.size()),
                                 kOffset);
  }
};

void physical(PhysicalValueType* v, int8_t multiplier, int unit, int16_t value) {
  v->Multiplier = multiplier;
  v->Value = value;
  v->isUsed = unit >= 0 ? 1 : 0;
  v->Unit = unit >= 0 ? unit : 0;
}

void fillCurrentDemandRes(CurrentDemandResType* r, bool optional) {
  r->ResponseCode = 0;
  r->DC_EVSEStatus.EVSEIsolationStatus = 1;
  r->DC_EVSEStatus.EVSEStatusCode = 1;
  r->DC_EVSEStatus.NotificationMaxDelay = 0;
  r->DC_EVSEStatus.EVSENotification = 0;
  r->DC_EVSEStatus.isUsed = optional ? 1 : 0;
  physical(&r->EVSEPresentVoltage, 0, optional ? 5 : -1, 400);
  physical(&r->EVSEPresentCurrent, -1, optional ? 3 : -1, 1250);
  r->EVSECurrentLimitAchieved = 0;
  r->EVSEVoltageLimitAchieved = 1;
  r->EVSEPowerLimitAchieved = 0;
  physical(&r->EVSEMaximumVoltageLimit, 0, 5, 500);
  physical(&r->EVSEMaximumCurrentLimit, 0, 3, 200);
  physical(&r->EVSEMaximumPowerLimit, 3, 7, 50);
  r->isUsed = optional ? 7 : 0;
}

// The element numbers of the CurrentDemandRes content, as the V2G session
// relies on them.
std::vector<Recorded> leafTrace(uint16_t q) { return {{'S', q}, {'C', 0}, {'E', 0}}; }
std::vector<Recorded> physicalTrace(uint16_t q, bool unit) {
  std::vector<Recorded> t = {{'S', q}};
  for (auto x : leafTrace(336)) t.push_back(x);
  if (unit) {
    for (auto x : leafTrace(396)) t.push_back(x);
  }
  for (auto x : leafTrace(397)) t.push_back(x);
  t.push_back({'E', 0});
  return t;
}
std::vector<Recorded> currentDemandTrace(bool optional) {
  std::vector<Recorded> t = leafTrace(214);
  auto add = [&](const std::vector<Recorded>& more) { t.insert(t.end(), more.begin(), more.end()); };
  t.push_back({'S', 167});
  if (optional) add(leafTrace(304));
  add(leafTrace(318));
  add(leafTrace(337));
  add(leafTrace(313));
  t.push_back({'E', 0});
  add(physicalTrace(184, optional));
  add(physicalTrace(183, optional));
  add(leafTrace(176));
  add(leafTrace(186));
  add(leafTrace(182));
  if (optional) {
    add(physicalTrace(181, true));
    add(physicalTrace(179, true));
    add(physicalTrace(180, true));
  }
  return t;
}

TEST(DinBindingSerializer, CurrentDemandResIsTheSchemaSequenceOfEvents) {
  for (bool optional : {true, false}) {
    Doc d;
    fillCurrentDemandRes(&d.store->currentDemandRes, optional);
    d.service->ops = &kRecording;
    g_trace.clear();
    g_failAt = -1;
    ASSERT_EQ(serialize_CurrentDemandResType(&d.store->currentDemandRes, d.service.get()), 0);
    EXPECT_EQ(g_trace, currentDemandTrace(optional)) << "optional members " << optional;
  }
}

TEST(DinBindingSerializer, FailureAtAnyEventGivesNoAnswer) {
  Doc d;
  fillCurrentDemandRes(&d.store->currentDemandRes, true);
  d.use(31);
  d.service->ops = &kFailing;
  g_trace.clear();
  g_failAt = -1;
  std::vector<uint8_t> body;
  ASSERT_EQ(d.encode(&body), 0);
  const size_t events = g_trace.size();
  ASSERT_GT(events, 80u);
  for (size_t n = 0; n < events; ++n) {
    g_trace.clear();
    g_failAt = static_cast<int>(n);
    std::vector<uint8_t> out;
    EXPECT_EQ(d.encode(&out), -1) << "event " << n;
    EXPECT_TRUE(out.empty());
  }
  g_failAt = -1;
}

// --------------------------------------------------------- conversions

TEST(DinBindingConversions, SubTypeByOperation) {
  auto integer = [](uint32_t kind, int64_t v) {
    ExiInteger i{};
    i.kind = kind;
    switch (kind) {
      case EXI_UINT8: i.val.uint8 = static_cast<uint8_t>(v); break;
      case EXI_UINT16: i.val.uint16 = static_cast<uint16_t>(v); break;
      case EXI_UINT32: i.val.uint32 = static_cast<uint32_t>(v); break;
      case EXI_UINT64: i.val.uint64 = static_cast<uint64_t>(v); break;
      case EXI_INT8: i.val.int8 = static_cast<int8_t>(v); break;
      case EXI_INT16: i.val.int16 = static_cast<int16_t>(v); break;
      case EXI_INT32: i.val.int32 = static_cast<int32_t>(v); break;
      default: i.val.int64 = v; break;
    }
    return i;
  };
  enum Op { I64, U32, U16, I16 };
  struct Row {
    Op op;
    uint32_t kind;
    int64_t in;
    int rc;
    int64_t out;
  };
  const Row rows[] = {
      {I64, EXI_UINT8, 200, 0, 200},           {I64, EXI_UINT16, 65535, 0, 65535},
      {I64, EXI_UINT32, 0x80000000LL, 0, 0x80000000LL},
      {I64, EXI_UINT64, INT64_MAX, 0, INT64_MAX}, {I64, EXI_UINT64, -1, -1, 0},
      {I64, EXI_INT8, -128, 0, -128},          {I64, EXI_INT16, -32768, 0, -32768},
      {I64, EXI_INT32, INT32_MIN, 0, INT32_MIN}, {I64, EXI_INT64, INT64_MIN, 0, INT64_MIN},
      {U32, EXI_UINT8, 255, 0, 255},           {U32, EXI_UINT16, 65535, 0, 65535},
      {U32, EXI_UINT32, 0xFFFFFFFFLL, 0, 0xFFFFFFFFLL},
      {U32, EXI_UINT64, 0x100000000LL, -1, 0}, {U32, EXI_INT8, -1, -1, 0},
      {U32, EXI_INT16, -300, -1, 0},           {U32, EXI_INT32, 7, 0, 7},
      {U32, EXI_INT64, -5, -1, 0},
      {U16, EXI_UINT8, 255, 0, 255},           {U16, EXI_UINT16, 65535, 0, 65535},
      {U16, EXI_UINT32, 65536, -1, 0},         {U16, EXI_INT8, -1, -1, 0},
      {U16, EXI_INT16, -2, -1, 0},             {U16, EXI_INT32, 100, 0, 100},
      {I16, EXI_UINT8, 255, 0, 255},           {I16, EXI_UINT16, 32767, 0, 32767},
      {I16, EXI_UINT16, 40000, -1, 0},         {I16, EXI_INT8, -128, 0, -128},
      {I16, EXI_INT16, -32768, 0, -32768},     {I16, EXI_INT32, 32768, -1, 0},
      {I16, EXI_INT32, -32769, -1, 0},         {I16, EXI_INT64, -1, 0, -1},
  };
  for (const Row& r : rows) {
    ExiInteger in = integer(r.kind, r.in);
    int64_t got = 0;
    int rc = 0;
    switch (r.op) {
      case I64: rc = _setInt64Value(&in, &got); break;
      case U32: { uint32_t v = 0; rc = _setUnsignedInt32Value(&in, &v); got = v; break; }
      case U16: { uint16_t v = 0; rc = _setUnsignedInt16Value(&in, &v); got = v; break; }
      case I16: { int16_t v = 0; rc = _setInt16Value(&in, &v); got = v; break; }
    }
    EXPECT_EQ(rc, r.rc) << "op " << r.op << " kind " << r.kind << " value " << r.in;
    if (r.rc == 0) {
      EXPECT_EQ(got, r.out) << "op " << r.op << " kind " << r.kind;
    }
  }
}

// ------------------------------------------------------- request records

void dcStatus(DC_EVStatusType* s, int soc) {
  s->EVReady = 1;
  s->EVCabinConditioning = 1;
  s->EVRESSConditioning = 0;
  s->EVErrorCode = 11;
  s->EVRESSSOC = static_cast<int8_t>(soc);
  s->isUsed = 3;
}

template <uint32_t N>
void setString(DinString<N>* s, const std::string& text) {
  s->charactersLen = static_cast<uint32_t>(text.size());
  for (size_t i = 0; i < text.size(); ++i) s->characters[i] = static_cast<unsigned char>(text[i]);
}
template <uint32_t N>
void setBytes(DinBytes<N>* b, size_t n, int seed) {
  b->bytesLen = static_cast<uint32_t>(n);
  for (size_t i = 0; i < n; ++i) b->bytes[i] = static_cast<uint8_t>(seed + i);
}

// Each request with all its optional content and distinct values; the body
// bit of the request.
struct RequestCase {
  const char* name;
  int bit;
  void (*fill)(DinMessageStore*);
};

const RequestCase kRequests[] = {
    {"SessionSetupReq", 0, [](DinMessageStore* s) { setBytes(&s->sessionSetupReq.EVCCID, 8, 0xA0); }},
    {"ServiceDiscoveryReq", 2,
     [](DinMessageStore* s) {
       setString(&s->serviceDiscoveryReq.ServiceScope, std::string(32, 's'));
       s->serviceDiscoveryReq.ServiceCategory = 3;
       s->serviceDiscoveryReq.isUsed = 3;
     }},
    {"ServiceDetailReq", 4, [](DinMessageStore* s) { s->serviceDetailReq.ServiceID = 65535; }},
    {"ServicePaymentSelectionReq", 6,
     [](DinMessageStore* s) {
       auto& r = s->servicePaymentSelectionReq;
       r.SelectedPaymentOption = 1;
       r.SelectedServiceList.SelectedService.arrayLen = 2;
       r.SelectedServiceList.SelectedService.array[0] = {1, -5, 1};
       r.SelectedServiceList.SelectedService.array[1] = {2, 0, 0};
     }},
    {"PaymentDetailsReq", 8,
     [](DinMessageStore* s) {
       auto& r = s->paymentDetailsReq;
       setString(&r.ContractID, std::string(24, 'C'));
       setBytes(&r.ContractSignatureCertChain.Certificate, 64, 1);
       r.ContractSignatureCertChain.SubCertificates.arrayLen = 4;
       for (int i = 0; i < 4; ++i) {
         setBytes(&r.ContractSignatureCertChain.SubCertificates.array[i], 10 + i, static_cast<uint8_t>(i));
       }
       r.ContractSignatureCertChain.isUsed = 1;
     }},
    {"ContractAuthenticationReq", 10,
     [](DinMessageStore* s) {
       setString(&s->contractAuthenticationReq.Id, "ID1");
       setString(&s->contractAuthenticationReq.GenChallenge, "challenge");
       s->contractAuthenticationReq.isUsed = 3;
     }},
    {"ChargeParameterDiscoveryReq DC", 12,
     [](DinMessageStore* s) {
       auto& r = s->chargeParameterDiscoveryReq;
       r.EVRequestedEnergyTransferType = 3;
       r.isUsed = 2;
       auto& p = s->dcEVChargeParameter;
       dcStatus(&p.DC_EVStatus, 100);
       physical(&p.EVMaximumCurrentLimit, 0, 3, 201);
       physical(&p.EVMaximumPowerLimit, 3, 7, 202);
       physical(&p.EVMaximumVoltageLimit, 0, 5, 203);
       physical(&p.EVEnergyCapacity, 3, 9, 204);
       physical(&p.EVEnergyRequest, 3, 9, 205);
       p.FullSOC = 90;
       p.BulkSOC = 80;
       p.isUsed = 31;
     }},
    {"ChargeParameterDiscoveryReq AC", 12,
     [](DinMessageStore* s) {
       auto& r = s->chargeParameterDiscoveryReq;
       r.EVRequestedEnergyTransferType = 1;
       r.isUsed = 1;
       auto& p = s->acEVChargeParameter;
       p.DepartureTime = 0x7FFFFFFF;
       physical(&p.EAmount, 3, 9, 301);
       physical(&p.EVMaxVoltage, 0, 5, 302);
       physical(&p.EVMaxCurrent, 0, 3, 303);
       physical(&p.EVMinCurrent, -1, 3, 304);
     }},
    {"PowerDeliveryReq", 14,
     [](DinMessageStore* s) {
       auto& r = s->powerDeliveryReq;
       r.ReadyToChargeState = 1;
       r.ChargingProfile.SAScheduleTupleID = 1;
       r.ChargingProfile.ProfileEntry.arrayLen = 24;
       for (uint32_t i = 0; i < 24; ++i) {
         r.ChargingProfile.ProfileEntry.array[i] = {i * 600, static_cast<int16_t>(100 + i)};
       }
       dcStatus(&s->dcEVPowerDeliveryParameter.DC_EVStatus, 55);
       s->dcEVPowerDeliveryParameter.BulkChargingComplete = 1;
       s->dcEVPowerDeliveryParameter.ChargingComplete = 0;
       s->dcEVPowerDeliveryParameter.isUsed = 1;
       r.isUsed = 3;
     }},
    {"ChargingStatusReq", 16, [](DinMessageStore*) {}},
    {"MeteringReceiptReq", 18,
     [](DinMessageStore* s) {
       auto& r = s->meteringReceiptReq;
       setString(&r.Id, "M1");
       setBytes(&r.SessionID, 8, 0x10);
       r.SAScheduleTupleID = 2;
       setString(&r.MeterInfo.MeterID, std::string(32, 'm'));
       physical(&r.MeterInfo.MeterReading, 0, 9, 401);
       setBytes(&r.MeterInfo.SigMeterReading, 32, 0x20);
       r.MeterInfo.MeterStatus = -7;
       r.MeterInfo.TMeter = 1700000000;
       r.MeterInfo.isUsed = 15;
       r.isUsed = 3;
     }},
    {"SessionStopReq", 20, [](DinMessageStore*) {}},
    {"CertificateUpdateReq", 22,
     [](DinMessageStore* s) {
       auto& r = s->certificateUpdateReq;
       setString(&r.Id, "U1");
       setBytes(&r.ContractSignatureCertChain.Certificate, 40, 3);
       setString(&r.ContractID, "CID");
       r.ListOfRootCertificateIDs.RootCertificateID.arrayLen = 20;
       for (int i = 0; i < 20; ++i) {
         setString(&r.ListOfRootCertificateIDs.RootCertificateID.array[i],
                   std::string(40, static_cast<char>('a' + i)));
       }
       setBytes(&r.DHParams, 64, 9);
       r.isUsed = 1;
     }},
    {"CertificateInstallationReq", 24,
     [](DinMessageStore* s) {
       auto& r = s->certificateInstallationReq;
       setString(&r.Id, "I1");
       setBytes(&r.OEMProvisioningCert, 60, 4);
       r.ListOfRootCertificateIDs.RootCertificateID.arrayLen = 1;
       setString(&r.ListOfRootCertificateIDs.RootCertificateID.array[0], "root");
       setBytes(&r.DHParams, 5, 5);
       r.isUsed = 1;
     }},
    {"CableCheckReq", 26, [](DinMessageStore* s) { dcStatus(&s->cableCheckReq.DC_EVStatus, 1); }},
    {"PreChargeReq", 28,
     [](DinMessageStore* s) {
       dcStatus(&s->preChargeReq.DC_EVStatus, 2);
       physical(&s->preChargeReq.EVTargetVoltage, 0, 5, 501);
       physical(&s->preChargeReq.EVTargetCurrent, -3, 3, 502);
     }},
    {"CurrentDemandReq", 30,
     [](DinMessageStore* s) {
       auto& r = s->currentDemandReq;
       dcStatus(&r.DC_EVStatus, 3);
       physical(&r.EVTargetCurrent, 0, 3, 601);
       physical(&r.EVMaximumVoltageLimit, 0, 5, 602);
       physical(&r.EVMaximumCurrentLimit, 0, 3, 603);
       physical(&r.EVMaximumPowerLimit, 3, 7, 604);
       r.BulkChargingComplete = 1;
       r.ChargingComplete = 1;
       physical(&r.RemainingTimeToFullSoC, 0, 2, 605);
       physical(&r.RemainingTimeToBulkSoC, 0, 2, -32768);
       physical(&r.EVTargetVoltage, 0, 5, 32767);
       r.isUsed = 63;
     }},
    {"WeldingDetectionReq", 32, [](DinMessageStore* s) { dcStatus(&s->weldingDetectionReq.DC_EVStatus, 4); }},
};

TEST(DinBindingReader, EveryRequestRoundTripsUnchanged) {
  for (const RequestCase& c : kRequests) {
    SCOPED_TRACE(c.name);
    Doc out;
    c.fill(out.store.get());
    out.use(c.bit);
    std::vector<uint8_t> first;
    ASSERT_EQ(out.encode(&first), 0);
    Doc in;
    ASSERT_EQ(in.decode(first), 0) << int(in.service->errorCode);
    EXPECT_EQ(in.doc.V2G_Message.Body.isUsed, uint64_t{1} << c.bit);
    // The record read back writes the same stream, member for member.
    std::vector<uint8_t> second;
    ASSERT_EQ(in.encode(&second), 0);
    EXPECT_EQ(first, second);
  }
}

// The record of body message `bit` in a document, with its description.
std::pair<const DinRecordDesc*, const void*> bodyRecord(const EXIDocumentType& doc, int bit) {
  const DinMember& m = kDinDesc_BodyType.members[bit];
  EXPECT_EQ(m.bit, bit);
  const void* record = *reinterpret_cast<void* const*>(
      reinterpret_cast<const uint8_t*>(&doc.V2G_Message.Body) + m.offset);
  return {m.record, record};
}

// Byte for byte the same content, the references aside (two stores differ
// in where their records are); referenced records are compared in turn.
void expectSameContent(const DinRecordDesc* desc, const void* a, const void* b) {
  std::vector<uint8_t> x(static_cast<const uint8_t*>(a), static_cast<const uint8_t*>(a) + desc->size);
  std::vector<uint8_t> y(static_cast<const uint8_t*>(b), static_cast<const uint8_t*>(b) + desc->size);
  for (uint32_t i = 0; i < desc->count; ++i) {
    const DinMember& m = desc->members[i];
    if (m.kind == DIN_RECORD) {
      ASSERT_FALSE(m.record->links) << desc->name;  // no request nests one
    }
    if (m.kind != DIN_REF) continue;
    const void* ra = *reinterpret_cast<void* const*>(x.data() + m.offset);
    const void* rb = *reinterpret_cast<void* const*>(y.data() + m.offset);
    ASSERT_NE(ra, nullptr);
    ASSERT_NE(rb, nullptr);
    expectSameContent(m.record, ra, rb);
    std::memset(x.data() + m.offset, 0, sizeof(void*));
    std::memset(y.data() + m.offset, 0, sizeof(void*));
  }
  EXPECT_EQ(x, y) << desc->name;
}

// The store is shared by every message: a request read after any other,
// with all of that one's optional content and a header notification,
// holds what it holds when read into a fresh store and nothing more.
TEST(DinBindingReader, ARequestHoldsNothingOfTheMessageBeforeIt) {
  auto encode = [](const RequestCase& c, bool full, std::vector<uint8_t>* body) {
    Doc out;
    if (full) {
      c.fill(out.store.get());
      out.store->header.Notification.FaultCode = 2;
      out.store->header.Notification.FaultMsg.charactersLen = 3;
      out.store->header.Notification.FaultMsg.characters[0] = 'x';
      out.store->header.Notification.isUsed = 1;
      out.store->header.isUsed = 1;
    } else {
      // What the schema wants at the least: one selected service, a choice
      // of charge parameters, one root certificate ID.
      out.store->servicePaymentSelectionReq.SelectedServiceList.SelectedService.arrayLen = 1;
      out.store->chargeParameterDiscoveryReq.isUsed = 2;
      out.store->certificateUpdateReq.ListOfRootCertificateIDs.RootCertificateID.arrayLen = 1;
      out.store->certificateInstallationReq.ListOfRootCertificateIDs.RootCertificateID.arrayLen = 1;
    }
    out.use(c.bit);
    ASSERT_EQ(out.encode(body), 0) << c.name;
  };
  for (const RequestCase& bare : kRequests) {
    std::vector<uint8_t> second;
    encode(bare, false, &second);
    Doc fresh;
    ASSERT_EQ(fresh.decode(second), 0) << bare.name;
    for (const RequestCase& before : kRequests) {
      SCOPED_TRACE(std::string(before.name) + " then " + bare.name);
      std::vector<uint8_t> first;
      encode(before, true, &first);
      Doc used;
      ASSERT_EQ(used.decode(first), 0);
      ASSERT_EQ(used.decode(second), 0);
      EXPECT_EQ(used.doc.V2G_Message.Body.isUsed, uint64_t{1} << bare.bit);
      expectSameContent(&kDinDesc_MessageHeaderType, &used.store->header, &fresh.store->header);
      auto [desc, record] = bodyRecord(used.doc, bare.bit);
      expectSameContent(desc, record, bodyRecord(fresh.doc, bare.bit).second);
    }
  }
}

// Clearing keeps every reference of the document: a record flagged as
// holding none holds none, and the whole message clears in place.
TEST(DinBindingReader, ClearingKeepsTheReferences) {
  const DinRecordDesc* all[] = {
#define DIN_DESC_ADDRESS(name) &kDinDesc_##name,
      DIN_RECORD_LIST(DIN_DESC_ADDRESS)
#undef DIN_DESC_ADDRESS
  };
  for (const DinRecordDesc* d : all) {
    bool holds = false;
    for (uint32_t i = 0; i < d->count; ++i) {
      const DinMember& m = d->members[i];
      holds = holds || m.kind == DIN_REF || (m.kind == DIN_RECORD && m.record->links);
    }
    EXPECT_EQ(d->links, holds) << d->name;
  }
  Doc d;
  EXIDocumentType linked = d.doc;
  d.store->chargeParameterDiscoveryRes.SAScheduleList.SAScheduleTuple.array[2].SalesTariff->SalesTariffID = 7;
  d.store->dcEVChargeParameter.FullSOC = 9;
  d.store->currentDemandRes.ResponseCode = 3;
  dinClearRecord(&kDinDesc_AnonType_V2G_Message, &d.doc.V2G_Message);
  EXPECT_EQ(std::memcmp(&linked, &d.doc, sizeof linked), 0);
  EXPECT_EQ(d.store->salesTariff[2].SalesTariffID, 0);
  EXPECT_EQ(d.store->dcEVChargeParameter.FullSOC, 0);
  EXPECT_EQ(d.store->currentDemandRes.ResponseCode, 0);
  EXPECT_EQ(d.store->header.SessionID.bytesLen, 0u);
  EXPECT_EQ(d.store->chargeParameterDiscoveryReq.DC_EVChargeParameter, &d.store->dcEVChargeParameter);
  EXPECT_EQ(d.store->powerDeliveryRes.DC_EVSEStatus, &d.store->dcEVSEStatus);
}

// Every physical value of the requests lands in its own member.
TEST(DinBindingReader, PhysicalValuesByElementPosition) {
  struct Row {
    int request;  // index into kRequests
    const PhysicalValueType* (*member)(const DinMessageStore&);
    int16_t value;
  };
  const Row rows[] = {
      {6, [](const DinMessageStore& s) { return &s.dcEVChargeParameter.EVMaximumCurrentLimit; }, 201},
      {6, [](const DinMessageStore& s) { return &s.dcEVChargeParameter.EVMaximumPowerLimit; }, 202},
      {6, [](const DinMessageStore& s) { return &s.dcEVChargeParameter.EVMaximumVoltageLimit; }, 203},
      {6, [](const DinMessageStore& s) { return &s.dcEVChargeParameter.EVEnergyCapacity; }, 204},
      {6, [](const DinMessageStore& s) { return &s.dcEVChargeParameter.EVEnergyRequest; }, 205},
      {7, [](const DinMessageStore& s) { return &s.acEVChargeParameter.EAmount; }, 301},
      {7, [](const DinMessageStore& s) { return &s.acEVChargeParameter.EVMaxVoltage; }, 302},
      {7, [](const DinMessageStore& s) { return &s.acEVChargeParameter.EVMaxCurrent; }, 303},
      {7, [](const DinMessageStore& s) { return &s.acEVChargeParameter.EVMinCurrent; }, 304},
      {10, [](const DinMessageStore& s) { return &s.meteringReceiptReq.MeterInfo.MeterReading; }, 401},
      {15, [](const DinMessageStore& s) { return &s.preChargeReq.EVTargetVoltage; }, 501},
      {15, [](const DinMessageStore& s) { return &s.preChargeReq.EVTargetCurrent; }, 502},
      {16, [](const DinMessageStore& s) { return &s.currentDemandReq.EVTargetCurrent; }, 601},
      {16, [](const DinMessageStore& s) { return &s.currentDemandReq.EVMaximumVoltageLimit; }, 602},
      {16, [](const DinMessageStore& s) { return &s.currentDemandReq.EVMaximumCurrentLimit; }, 603},
      {16, [](const DinMessageStore& s) { return &s.currentDemandReq.EVMaximumPowerLimit; }, 604},
      {16, [](const DinMessageStore& s) { return &s.currentDemandReq.RemainingTimeToFullSoC; }, 605},
      {16, [](const DinMessageStore& s) { return &s.currentDemandReq.RemainingTimeToBulkSoC; }, -32768},
      {16, [](const DinMessageStore& s) { return &s.currentDemandReq.EVTargetVoltage; }, 32767},
  };
  for (const Row& r : rows) {
    const RequestCase& c = kRequests[r.request];
    Doc out;
    c.fill(out.store.get());
    out.use(c.bit);
    std::vector<uint8_t> body;
    ASSERT_EQ(out.encode(&body), 0);
    Doc in;
    ASSERT_EQ(in.decode(body), 0);
    const PhysicalValueType* got = r.member(*in.store);
    const PhysicalValueType* sent = r.member(*out.store);
    EXPECT_EQ(got->Value, r.value) << c.name;
    EXPECT_EQ(got->Multiplier, sent->Multiplier) << c.name << " " << r.value;
    EXPECT_EQ(got->Unit, sent->Unit) << c.name << " " << r.value;
    EXPECT_EQ(got->isUsed, 1u) << c.name << " " << r.value;
  }
  // Optional members read back with their bits.
  Doc out;
  kRequests[16].fill(out.store.get());
  out.use(30);
  std::vector<uint8_t> body;
  ASSERT_EQ(out.encode(&body), 0);
  Doc in;
  ASSERT_EQ(in.decode(body), 0);
  EXPECT_EQ(in.store->currentDemandReq.isUsed, 63u);
  EXPECT_EQ(in.store->currentDemandReq.DC_EVStatus.isUsed, 3u);
}

// --------------------------------------------------------- capacities

using namespace din_events;

std::vector<Event> frame(uint16_t message, const std::vector<Event>& content) {
  std::vector<Event> e = {se(DIN_QNAME_def_V2G_Message), se(DIN_QNAME_def_Header)};
  for (const Event& x : leaf(DIN_QNAME_hdr_SessionID, bin({1, 2, 3, 4, 5, 6, 7, 8}))) e.push_back(x);
  e.push_back(ee());
  e.push_back(se(DIN_QNAME_def_Body));
  e.push_back(se(message));
  e.insert(e.end(), content.begin(), content.end());
  for (int i = 0; i < 3; ++i) e.push_back(ee());
  return e;
}

TEST(DinBindingReader, MembersAreFilledOnlyWithinTheirCapacity) {
  auto repeat = [](int n, const std::vector<Event>& one) {
    std::vector<Event> e;
    for (int i = 0; i < n; ++i) e.insert(e.end(), one.begin(), one.end());
    return e;
  };
  auto rootIds = [&](int n) {
    std::vector<Event> c = {se(DIN_QNAME_body_ContractSignatureCertChain)};
    for (auto x : leaf(DIN_QNAME_types_Certificate, bin({1}, EXI_VALUE_BINARY_BASE64))) c.push_back(x);
    c.push_back(ee());
    for (auto x : leaf(DIN_QNAME_body_ContractID, str("C"))) c.push_back(x);
    c.push_back(se(DIN_QNAME_body_ListOfRootCertificateIDs));
    for (auto x : repeat(n, leaf(DIN_QNAME_types_RootCertificateID, str("r")))) c.push_back(x);
    c.push_back(ee());
    for (auto x : leaf(DIN_QNAME_body_DHParams, bin({1}, EXI_VALUE_BINARY_BASE64))) c.push_back(x);
    return frame(DIN_QNAME_body_CertificateUpdateReq, c);
  };
  auto profile = [&](int n) {
    std::vector<Event> c = leaf(DIN_QNAME_body_ReadyToChargeState, num(EXI_VALUE_BOOLEAN, 1));
    c.push_back(se(DIN_QNAME_body_ChargingProfile));
    for (auto x : leaf(DIN_QNAME_types_SAScheduleTupleID, num(EXI_VALUE_INTEGER, 1))) c.push_back(x);
    std::vector<Event> entry = {se(DIN_QNAME_types_ProfileEntry)};
    for (auto x : leaf(DIN_QNAME_types_ChargingProfileEntryStart, num(EXI_VALUE_UNSIGNED_INTEGER, 0)))
      entry.push_back(x);
    for (auto x : leaf(DIN_QNAME_types_ChargingProfileEntryMaxPower, num(EXI_VALUE_INTEGER, 5)))
      entry.push_back(x);
    entry.push_back(ee());
    for (auto x : repeat(n, entry)) c.push_back(x);
    c.push_back(ee());
    return frame(DIN_QNAME_body_PowerDeliveryReq, c);
  };
  auto selected = [&](int n) {
    std::vector<Event> c = leaf(DIN_QNAME_body_SelectedPaymentOption, num(EXI_VALUE_ENUMERATION, 1));
    c.push_back(se(DIN_QNAME_body_SelectedServiceList));
    std::vector<Event> entry = {se(DIN_QNAME_types_SelectedService)};
    for (auto x : leaf(DIN_QNAME_types_ServiceID, num(EXI_VALUE_UNSIGNED_INTEGER, 1))) entry.push_back(x);
    entry.push_back(ee());
    for (auto x : repeat(n, entry)) c.push_back(x);
    c.push_back(ee());
    return frame(DIN_QNAME_body_ServicePaymentSelectionReq, c);
  };
  struct Case {
    const char* what;
    std::vector<Event> fits, beyond;
  };
  const std::vector<uint8_t> eight(8, 7), nine(9, 7);
  const Case cases[] = {
      {"EVCCID 8 bytes",
       frame(DIN_QNAME_body_SessionSetupReq, leaf(DIN_QNAME_body_EVCCID, bin(eight))),
       frame(DIN_QNAME_body_SessionSetupReq, leaf(DIN_QNAME_body_EVCCID, bin(nine)))},
      {"SessionID 8 bytes", [&] {
         auto e = frame(DIN_QNAME_body_SessionSetupReq, leaf(DIN_QNAME_body_EVCCID, bin(eight)));
         return e;
       }(),
       [&] {
         auto e = frame(DIN_QNAME_body_SessionSetupReq, leaf(DIN_QNAME_body_EVCCID, bin(eight)));
         e[3].value.bytes = nine;
         return e;
       }()},
      {"ServiceScope 32 characters",
       frame(DIN_QNAME_body_ServiceDiscoveryReq, leaf(DIN_QNAME_body_ServiceScope, str(std::string(32, 's')))),
       frame(DIN_QNAME_body_ServiceDiscoveryReq, leaf(DIN_QNAME_body_ServiceScope, str(std::string(33, 's'))))},
      {"RootCertificateID 20 entries", rootIds(20), rootIds(21)},
      {"ProfileEntry 24 entries", profile(24), profile(25)},
      {"SelectedService 2 entries", selected(2), selected(3)},
  };
  for (const Case& c : cases) {
    Encoded fits = encode(c.fits);
    ASSERT_EQ(fits.rc, EXI_OK) << c.what << " event " << fits.failedAt;
    Doc a;
    EXPECT_EQ(a.decode(fits.bytes), 0) << c.what;
    Encoded beyond = encode(c.beyond);
    ASSERT_EQ(beyond.rc, EXI_OK) << c.what << " event " << beyond.failedAt;
    Doc b;
    EXPECT_EQ(b.decode(beyond.bytes), -1) << c.what;
    EXPECT_EQ(b.service->errorCode, DIN_ERROR_VALUE_REFUSED) << c.what;
  }
}

TEST(DinBindingReader, WrongTypeAndSkippedContentAreCountedPerRequest) {
  // A header signature is read past and counted; the next request starts
  // from zero.
  std::vector<Event> withSignature = {se(DIN_QNAME_def_V2G_Message), se(DIN_QNAME_def_Header)};
  for (auto x : leaf(DIN_QNAME_hdr_SessionID, bin({1}))) withSignature.push_back(x);
  std::vector<Event> sig = {se(DIN_QNAME_ds_Signature), se(DIN_QNAME_ds_SignedInfo),
                            se(DIN_QNAME_ds_CanonicalizationMethod), at(DIN_QNAME_attr_Algorithm, str("c")),
                            ee(), se(DIN_QNAME_ds_SignatureMethod), at(DIN_QNAME_attr_Algorithm, str("s")),
                            ee(), se(DIN_QNAME_ds_Reference), se(DIN_QNAME_ds_DigestMethod),
                            at(DIN_QNAME_attr_Algorithm, str("d")), ee()};
  for (auto x : leaf(DIN_QNAME_ds_DigestValue, bin({9}, EXI_VALUE_BINARY_BASE64))) sig.push_back(x);
  sig.push_back(ee());
  sig.push_back(ee());
  for (auto x : leaf(DIN_QNAME_ds_SignatureValue, bin({8}, EXI_VALUE_BINARY_BASE64))) sig.push_back(x);
  sig.push_back(ee());
  withSignature.insert(withSignature.end(), sig.begin(), sig.end());
  withSignature.push_back(ee());
  withSignature.push_back(se(DIN_QNAME_def_Body));
  withSignature.push_back(se(DIN_QNAME_body_SessionStopReq));
  for (int i = 0; i < 3; ++i) withSignature.push_back(ee());
  Encoded signed_ = encode(withSignature);
  ASSERT_EQ(signed_.rc, EXI_OK) << signed_.failedAt;
  Doc d;
  ASSERT_EQ(d.decode(signed_.bytes), 0);
  EXPECT_EQ(d.service->skippedElements, 8u);
  EXPECT_EQ(d.doc.V2G_Message.Body.isUsed, uint64_t{1} << 20);

  Doc plain;
  kRequests[11].fill(plain.store.get());
  plain.use(20);
  std::vector<uint8_t> body;
  ASSERT_EQ(plain.encode(&body), 0);
  d.doc.V2G_Message.Body.isUsed = 0;
  ASSERT_EQ(d.decode(body), 0);
  EXPECT_EQ(d.service->skippedElements, 0u);

  // A Value that needs 32 bits is refused with error 5.
  std::vector<Event> big = frame(DIN_QNAME_body_CableCheckReq, {});
  Doc src;
  kRequests[15].fill(src.store.get());
  src.use(28);
  src.store->preChargeReq.EVTargetVoltage.Value = 1;
  std::vector<uint8_t> ok;
  ASSERT_EQ(src.encode(&ok), 0);
  std::vector<Event> events = decode(ok).events;
  for (Event& e : events) {
    if (e.kind == CH && e.value.type == EXI_VALUE_INTEGER && e.value.number == 1) e.value.number = 40000;
  }
  Encoded refused = encode(events);
  ASSERT_EQ(refused.rc, EXI_OK);
  Doc r;
  EXPECT_EQ(r.decode(refused.bytes), -1);
  EXPECT_EQ(r.service->errorCode, DIN_ERROR_VALUE_REFUSED);
}

// ---------------------------------------------------------- responses

// The ChargeParameterDiscovery answers the session builds: the DC one with
// its two schedule tuples of two entries and the station's limits at their
// largest, the AC refusal with one tuple and a sales tariff.
void scheduleTuple(SAScheduleTupleType* t, int16_t id, int16_t scheduleId, uint32_t second,
                   int16_t pmax) {
  t->SAScheduleTupleID = id;
  t->PMaxSchedule.PMaxScheduleID = scheduleId;
  t->PMaxSchedule.PMaxScheduleEntry.arrayLen = 2;
  t->PMaxSchedule.PMaxScheduleEntry.array[0] = {{0, 0, 0}, pmax};
  t->PMaxSchedule.PMaxScheduleEntry.array[1] = {{second, 0, 0}, 0};
}

TEST(DinBindingSerializer, LargestResponsesFitTheTransmitBuffer) {
  Doc dc;
  auto& r = dc.store->chargeParameterDiscoveryRes;
  r.SAScheduleList.SAScheduleTuple.arrayLen = 2;
  scheduleTuple(&r.SAScheduleList.SAScheduleTuple.array[0], 10, 20, 1200, 20000);
  scheduleTuple(&r.SAScheduleList.SAScheduleTuple.array[1], 15, 30, 1800, 10000);
  auto& p = dc.store->dcEVSEChargeParameter;
  p.DC_EVSEStatus = {3, 11, 0xFFFFFFFF, 2, 1};
  physical(&p.EVSEMaximumCurrentLimit, 0, 3, 255);
  physical(&p.EVSEMaximumPowerLimit, 3, 7, 255);
  physical(&p.EVSEMaximumVoltageLimit, 0, 5, 32767);
  physical(&p.EVSEMinimumCurrentLimit, 0, 3, 255);
  physical(&p.EVSEMinimumVoltageLimit, 0, 5, 32767);
  physical(&p.EVSEPeakCurrentRipple, -1, 3, 1);
  physical(&p.EVSEEnergyToBeDelivered, 3, 9, 255);
  p.isUsed = 5;
  r.isUsed = 2;
  dc.use(13);

  Doc ac;
  auto& a = ac.store->chargeParameterDiscoveryRes;
  a.ResponseCode = 22;
  a.SAScheduleList.SAScheduleTuple.arrayLen = 1;
  scheduleTuple(&a.SAScheduleList.SAScheduleTuple.array[0], 10, 20, 1200, 20000);
  a.SAScheduleList.SAScheduleTuple.array[0].isUsed = 1;
  SalesTariffType& tariff = ac.store->salesTariff[0];
  setString(&tariff.Id, "d");
  tariff.SalesTariffID = 20;
  tariff.NumEPriceLevels = 2;
  tariff.SalesTariffEntry.arrayLen = 1;
  tariff.SalesTariffEntry.array[0].RelativeTimeInterval = {0, 10, 1};
  tariff.SalesTariffEntry.array[0].EPriceLevel = 2;
  auto& q = ac.store->acEVSEChargeParameter;
  q.AC_EVSEStatus = {1, 1, 123, 0};
  physical(&q.EVSEMaxVoltage, 0, 5, 200);
  physical(&q.EVSEMaxCurrent, 0, 3, 100);
  physical(&q.EVSEMinCurrent, 0, 3, 300);
  a.isUsed = 1;
  ac.use(13);

  for (Doc* d : {&dc, &ac}) {
    std::vector<uint8_t> body;
    ASSERT_EQ(d->encode(&body, kDinTransmitBuffer), 0);
    EXPECT_LE(kOffset + body.size(), kDinTransmitBuffer);
    Doc back;
    ASSERT_EQ(back.decode(body), 0);
    std::vector<uint8_t> again;
    ASSERT_EQ(back.encode(&again), 0);
    EXPECT_EQ(again, body);
  }
}

// Each response with all its optional content and distinct values; the
// body bit of the response.
void evseStatus(DC_EVSEStatusType* s, int code) { *s = {2, code, 0xFFFFFFFF, 2, 1}; }
void certChain(CertificateChainType* c) {
  setBytes(&c->Certificate, 50, 7);
  c->SubCertificates.arrayLen = 4;
  for (int i = 0; i < 4; ++i) setBytes(&c->SubCertificates.array[i], 3 + i, 40 + i);
  c->isUsed = 1;
}

const RequestCase kResponses[] = {
    {"SessionSetupRes", 1,
     [](DinMessageStore* s) {
       s->sessionSetupRes = {1, {}, INT64_MIN, 1};
       setBytes(&s->sessionSetupRes.EVSEID, 32, 0x30);
     }},
    {"ServiceDiscoveryRes", 3,
     [](DinMessageStore* s) {
       auto& r = s->serviceDiscoveryRes;
       r.ResponseCode = 2;
       r.PaymentOptions.PaymentOption.arrayLen = 2;
       r.PaymentOptions.PaymentOption.array[0] = 1;
       r.PaymentOptions.PaymentOption.array[1] = 0;
       r.ChargeService.ServiceTag.ServiceID = 65535;
       setString(&r.ChargeService.ServiceTag.ServiceName, std::string(32, 'n'));
       r.ChargeService.ServiceTag.ServiceCategory = 3;
       setString(&r.ChargeService.ServiceTag.ServiceScope, "scope");
       r.ChargeService.ServiceTag.isUsed = 3;
       r.ChargeService.FreeService = 1;
       r.ChargeService.EnergyTransferType = 9;
       r.ServiceList.Service.arrayLen = 3;
       for (uint16_t i = 0; i < 3; ++i) {
         ServiceType& t = r.ServiceList.Service.array[i];
         t.ServiceTag.ServiceID = i;
         t.ServiceTag.ServiceCategory = i;
         setString(&t.ServiceTag.ServiceName, "svc");
         t.ServiceTag.isUsed = 1;
         t.FreeService = i & 1;
       }
       r.isUsed = 1;
     }},
    {"ServiceDetailRes", 5,
     [](DinMessageStore* s) {
       auto& r = s->serviceDetailRes;
       r.ResponseCode = 3;
       r.ServiceID = 7;
       r.ServiceParameterList.ParameterSet.arrayLen = 2;
       for (int i = 0; i < 2; ++i) {
         ParameterSetType& set = r.ServiceParameterList.ParameterSet.array[i];
         set.ParameterSetID = static_cast<int16_t>(-1 - i);
         set.Parameter.arrayLen = 2;
         setString(&set.Parameter.array[0].Name, "power");
         setString(&set.Parameter.array[0].ValueType, "physicalValue");
         physical(&set.Parameter.array[0].physicalValue, 3, 7, 22);
         set.Parameter.array[0].isUsed = 1 << 4;
         setString(&set.Parameter.array[1].Name, "label");
         setString(&set.Parameter.array[1].ValueType, "string");
         setString(&set.Parameter.array[1].stringValue, "fast");
         set.Parameter.array[1].isUsed = 1 << 5;
       }
       r.isUsed = 1;
     }},
    {"ServicePaymentSelectionRes", 7, [](DinMessageStore* s) { s->servicePaymentSelectionRes = {4}; }},
    {"PaymentDetailsRes", 9,
     [](DinMessageStore* s) {
       s->paymentDetailsRes.ResponseCode = 5;
       setString(&s->paymentDetailsRes.GenChallenge, std::string(16, 'g'));
       s->paymentDetailsRes.DateTimeNow = INT64_MAX;
     }},
    {"ContractAuthenticationRes", 11, [](DinMessageStore* s) { s->contractAuthenticationRes = {6, 1}; }},
    {"ChargeParameterDiscoveryRes DC", 13,
     [](DinMessageStore* s) {
       auto& r = s->chargeParameterDiscoveryRes;
       r.ResponseCode = 7;
       r.EVSEProcessing = 1;
       r.SAScheduleList.SAScheduleTuple.arrayLen = 3;
       for (int i = 0; i < 3; ++i) {
         scheduleTuple(&r.SAScheduleList.SAScheduleTuple.array[i], static_cast<int16_t>(i + 1),
                       static_cast<int16_t>(i + 10), 600, 500);
         r.SAScheduleList.SAScheduleTuple.array[i].isUsed = 1;
         SalesTariffType& t = s->salesTariff[i];
         setString(&t.Id, "t");
         t.SalesTariffID = static_cast<int16_t>(i);
         setString(&t.SalesTariffDescription, "tariff");
         t.NumEPriceLevels = 255;
         t.SalesTariffEntry.arrayLen = 1;
         SalesTariffEntryType& e = t.SalesTariffEntry.array[0];
         e.RelativeTimeInterval = {0, 3600, 1};
         e.EPriceLevel = 1;
         e.ConsumptionCost.arrayLen = 2;
         e.ConsumptionCost.array[1].startValue = 100;
         e.ConsumptionCost.array[1].Cost.arrayLen = 2;
         e.ConsumptionCost.array[1].Cost.array[0] = {2, 4000000000u, -3, 1};
         e.ConsumptionCost.array[1].Cost.array[1] = {0, 1, 3, 1};
         e.ConsumptionCost.array[1].isUsed = 1;
         e.isUsed = 1;
         t.isUsed = 1;
       }
       auto& p = s->dcEVSEChargeParameter;
       evseStatus(&p.DC_EVSEStatus, 11);  // Reserved_C, the last of the type
       physical(&p.EVSEMaximumCurrentLimit, 0, 3, 400);
       physical(&p.EVSEMaximumPowerLimit, 3, 7, 150);
       physical(&p.EVSEMaximumVoltageLimit, 0, 5, 920);
       physical(&p.EVSEMinimumCurrentLimit, 0, 3, 1);
       physical(&p.EVSEMinimumVoltageLimit, 0, 5, 150);
       physical(&p.EVSECurrentRegulationTolerance, 0, 3, 5);
       physical(&p.EVSEPeakCurrentRipple, -1, 3, 2);
       physical(&p.EVSEEnergyToBeDelivered, 3, 9, 80);
       p.isUsed = 7;
       r.isUsed = 2;
     }},
    {"PowerDeliveryRes DC", 15,
     [](DinMessageStore* s) {
       s->powerDeliveryRes.ResponseCode = 8;
       evseStatus(&s->dcEVSEStatus, 3);
       s->powerDeliveryRes.isUsed = 2;
     }},
    {"PowerDeliveryRes AC", 15,
     [](DinMessageStore* s) {
       s->powerDeliveryRes.ResponseCode = 8;
       s->acEVSEStatus = {1, 0, 77, 1};
       s->powerDeliveryRes.isUsed = 1;
     }},
    {"ChargingStatusRes", 17,
     [](DinMessageStore* s) {
       auto& r = s->chargingStatusRes;
       r.ResponseCode = 9;
       setBytes(&r.EVSEID, 7, 1);
       r.SAScheduleTupleID = 255;
       physical(&r.EVSEMaxCurrent, 0, 3, 32);
       setString(&r.MeterInfo.MeterID, "meter");
       physical(&r.MeterInfo.MeterReading, 3, 9, 12345);
       setBytes(&r.MeterInfo.SigMeterReading, 32, 9);
       r.MeterInfo.MeterStatus = 32767;
       r.MeterInfo.TMeter = -1;
       r.MeterInfo.isUsed = 15;
       r.ReceiptRequired = 1;
       r.AC_EVSEStatus = {0, 1, 5, 2};
       r.isUsed = 3;
     }},
    {"MeteringReceiptRes", 19,
     [](DinMessageStore* s) { s->meteringReceiptRes = {10, {1, 1, 0, 1}}; }},
    {"SessionStopRes", 21, [](DinMessageStore* s) { s->sessionStopRes = {11}; }},
    {"CertificateUpdateRes", 23,
     [](DinMessageStore* s) {
       auto& r = s->certificateUpdateRes;
       setString(&r.Id, "U");
       r.ResponseCode = 12;
       certChain(&r.ContractSignatureCertChain);
       setBytes(&r.ContractSignatureEncryptedPrivateKey, 40, 2);
       setBytes(&r.DHParams, 60, 3);
       setString(&r.ContractID, std::string(24, 'c'));
       r.RetryCounter = -32768;
     }},
    {"CertificateInstallationRes", 25,
     [](DinMessageStore* s) {
       auto& r = s->certificateInstallationRes;
       setString(&r.Id, "I");
       r.ResponseCode = 13;
       certChain(&r.ContractSignatureCertChain);
       setBytes(&r.ContractSignatureEncryptedPrivateKey, 1, 2);
       setBytes(&r.DHParams, 64, 3);
       setString(&r.ContractID, "cid");
     }},
    {"CableCheckRes", 27,
     [](DinMessageStore* s) {
       s->cableCheckRes.ResponseCode = 14;
       evseStatus(&s->cableCheckRes.DC_EVSEStatus, 5);
       s->cableCheckRes.EVSEProcessing = 1;
     }},
    {"PreChargeRes", 29,
     [](DinMessageStore* s) {
       s->preChargeRes.ResponseCode = 15;
       evseStatus(&s->preChargeRes.DC_EVSEStatus, 6);
       physical(&s->preChargeRes.EVSEPresentVoltage, -3, 5, -32768);
     }},
    {"CurrentDemandRes", 31, [](DinMessageStore* s) { fillCurrentDemandRes(&s->currentDemandRes, true); }},
    {"WeldingDetectionRes", 33,
     [](DinMessageStore* s) {
       s->weldingDetectionRes.ResponseCode = 22;
       evseStatus(&s->weldingDetectionRes.DC_EVSEStatus, 10);
       physical(&s->weldingDetectionRes.EVSEPresentVoltage, 3, 5, 32767);
     }},
};

TEST(DinBindingSerializer, EveryResponseRoundTripsUnchanged) {
  for (const RequestCase& c : kResponses) {
    SCOPED_TRACE(c.name);
    Doc out;
    c.fill(out.store.get());
    out.use(c.bit);
    std::vector<uint8_t> first;
    ASSERT_EQ(out.encode(&first), 0);
    Doc in;
    ASSERT_EQ(in.decode(first), 0) << int(in.service->errorCode);
    EXPECT_EQ(in.doc.V2G_Message.Body.isUsed, uint64_t{1} << c.bit);
    std::vector<uint8_t> second;
    ASSERT_EQ(in.encode(&second), 0);
    EXPECT_EQ(first, second);
  }
  // The member the schema copy gained reaches the other side.
  Doc out;
  kResponses[6].fill(out.store.get());
  out.use(13);
  std::vector<uint8_t> body;
  ASSERT_EQ(out.encode(&body), 0);
  Doc in;
  ASSERT_EQ(in.decode(body), 0);
  EXPECT_EQ(in.store->chargeParameterDiscoveryRes.EVSEProcessing, 1);
  EXPECT_EQ(in.store->salesTariff[2].SalesTariffEntry.array[0].ConsumptionCost.array[1].Cost.array[0].amount,
            4000000000u);
}

TEST(DinBindingSerializer, ResponsesRoundTripAndBareRequestsAreStartAndEnd) {
  Doc d;
  fillCurrentDemandRes(&d.store->currentDemandRes, true);
  d.use(31);
  std::vector<uint8_t> body;
  ASSERT_EQ(d.encode(&body, kDinTransmitBuffer), 0);
  Doc back;
  ASSERT_EQ(back.decode(body), 0);
  std::vector<uint8_t> again;
  ASSERT_EQ(back.encode(&again), 0);
  EXPECT_EQ(again, body);
  EXPECT_EQ(back.store->currentDemandRes.EVSEMaximumPowerLimit.Multiplier, 3);

  // SessionStopReq: the message element starts and ends straight away.
  Doc stop;
  stop.use(20);
  stop.service->ops = &kRecording;
  g_trace.clear();
  g_failAt = -1;
  ASSERT_EQ(stop.encode(&body), 0);
  const std::vector<Recorded> tail = {{'S', 437}, {'S', 241}, {'E', 0}, {'E', 0}, {'E', 0}, {'F', 0}};
  ASSERT_GE(g_trace.size(), tail.size());
  EXPECT_EQ(std::vector<Recorded>(g_trace.end() - static_cast<long>(tail.size()), g_trace.end()), tail);
}

}  // namespace
