// supportedAppProtocol handshake: grammar, event codec and record binding.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "BitOutputStream.h"
#include "EXICoder.h"
#include "NameTable.h"
#include "StringTable.h"
#include "appHandEXICoder.h"
#include "appHandEXIDecoder.h"
#include "appHandEXIEncoder.h"
#include "appHandQNames.h"
#include "appHand_DataDeserialization.h"
#include "appHand_dataSerialization.h"
#include "exi_test_util.h"

namespace {

constexpr uint16_t kOffset = 8;
constexpr uint32_t kOutputSize = 100;
const char* const kDin = "urn:din:70121:2012:MsgDef";
const char* const kIso = "urn:iso:15118:2:2010:MsgDef";

struct Offer {
  std::string ns;
  uint32_t major;
  uint32_t minor;
  uint8_t schemaId;
  uint8_t priority;
};

// One handshake service set up as the V2G session sets it up.
class AppHandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&service, 0, sizeof service);
    init_appHandDeserializer(&service, 64, bytes, 0, 64, chars, 0, kOffset);
    init_appHandSerializer(&service, 64, bytes, 0, 64, chars, 0, kOutputSize, kOffset);
    init_AnonType_supportedAppProtocolReq(&req);
    doc = EXIDocumentType_appHand{&req, &res, 0};
    init_EXIDocumentType_appHand(&doc);
  }

  static void fill(AppProtocolType* e, const Offer& o) {
    init_AppProtocolType(e);
    for (char c : o.ns) {
      e->ProtocolNamespace.characters[e->ProtocolNamespace.charactersLen++] =
          static_cast<unsigned char>(c);
    }
    e->VersionNumberMajor = o.major;
    e->VersionNumberMinor = o.minor;
    e->SchemaID = o.schemaId;
    e->Priority = o.priority;
  }

  // Encodes a request with the binding; the stream is the returned bytes
  // after the 8-byte transport header.
  std::vector<uint8_t> encodeRequest(const std::vector<Offer>& offers, int* rc = nullptr) {
    AnonType_supportedAppProtocolReq out;
    init_AnonType_supportedAppProtocolReq(&out);
    for (const Offer& o : offers) {
      if (out.arrayLen < kAppProtocolEntries) fill(&out.AppProtocol[out.arrayLen], o);
      ++out.arrayLen;  // a count above the array is the serializer's to refuse
    }
    EXIDocumentType_appHand d{&out, nullptr, 0};
    d.isUsed = kAppHandReqPresent;
    uint8_t buffer[1024] = {};
    uint32_t length = 0;
    init_appHandSerializer(&service, 64, bytes, 0, 64, chars, 0, sizeof buffer, kOffset);
    int result = serialize_appHand(&service, buffer, &length, &d);
    if (rc != nullptr) {
      *rc = result;
    } else {
      EXPECT_EQ(result, 0);
    }
    init_appHandSerializer(&service, 64, bytes, 0, 64, chars, 0, kOutputSize, kOffset);
    return std::vector<uint8_t>(buffer + kOffset, buffer + kOffset + (result == 0 ? length : 0));
  }

  int decode(const std::vector<uint8_t>& exi) {
    std::vector<uint8_t> message(kOffset, 0xEE);
    message.insert(message.end(), exi.begin(), exi.end());
    return deserialize_appHand(&service, message.data(), static_cast<uint16_t>(exi.size()), &doc);
  }

  std::vector<uint8_t> encodeResponse(uint32_t code, bool withSchemaId, uint8_t schemaId,
                                      int* rc) {
    res.ResponseCode = code;
    res.SchemaID = schemaId;
    res.isUsed = withSchemaId ? kSchemaIdUsed : 0;
    EXIDocumentType_appHand d{nullptr, &res, kAppHandResPresent};
    uint8_t buffer[kOutputSize];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint32_t length = 12345;
    *rc = serialize_appHand(&service, buffer, &length, &d);
    if (*rc != 0) {
      EXPECT_EQ(length, 12345u);
      return {};
    }
    return std::vector<uint8_t>(buffer + kOffset, buffer + kOffset + length);
  }

  static std::string text(const protocolNamespaceType& ns) {
    std::string s;
    for (uint32_t i = 0; i < ns.charactersLen; ++i) s += static_cast<char>(ns.characters[i]);
    return s;
  }

  appHandService service;
  uint8_t bytes[64];
  uint32_t chars[64];
  AnonType_supportedAppProtocolReq req;
  AnonType_supportedAppProtocolRes res{};
  EXIDocumentType_appHand doc;
};

TEST_F(AppHandTest, ResponsesEncodeByteExact) {
  struct Case {
    uint32_t code;
    bool withSchemaId;
    uint8_t schemaId;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      {responseCodeType_OK_SuccessfulNegotiation, true, 1, {0x80, 0x40, 0x00, 0x40}},
      {responseCodeType_Failed_NoNegotiation, false, 0, {0x80, 0x48, 0x80}},
  };
  for (const Case& c : cases) {
    int rc = -99;
    EXPECT_EQ(encodeResponse(c.code, c.withSchemaId, c.schemaId, &rc), c.expected);
    EXPECT_EQ(rc, 0);
  }
}

TEST_F(AppHandTest, ResponseRefusesOutOfRangeCodeAndSmallBuffer) {
  int rc = 0;
  encodeResponse(3, false, 0, &rc);  // only three response codes exist
  EXPECT_EQ(rc, -1);
  // Room for the header byte only (offset 8, size 9).
  init_appHandSerializer(&service, 64, bytes, 0, 64, chars, 0, kOffset + 1, kOffset);
  encodeResponse(responseCodeType_OK_SuccessfulNegotiation, true, 1, &rc);
  EXPECT_EQ(rc, -1);
}

TEST_F(AppHandTest, SerializeRefusesAbsentRecords) {
  uint8_t buffer[kOutputSize];
  uint32_t length = 7;
  EXIDocumentType_appHand d{nullptr, nullptr, kAppHandResPresent};
  EXPECT_EQ(serialize_appHand(&service, buffer, &length, &d), -1);
  d.isUsed = kAppHandReqPresent;
  EXPECT_EQ(serialize_appHand(&service, buffer, &length, &d), -1);
  EXPECT_EQ(length, 7u);
}

TEST_F(AppHandTest, RequestRoundTripsIntoRecords) {
  std::vector<Offer> offers = {{kIso, 2, 0, 10, 1}, {kDin, 2, 0, 20, 2}};
  ASSERT_EQ(decode(encodeRequest(offers)), 0);
  EXPECT_EQ(service.exiDocument.isUsed, kAppHandReqPresent);
  ASSERT_EQ(req.arrayLen, 2u);
  for (uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(text(req.AppProtocol[i].ProtocolNamespace), offers[i].ns);
    EXPECT_EQ(req.AppProtocol[i].VersionNumberMajor, offers[i].major);
    EXPECT_EQ(req.AppProtocol[i].VersionNumberMinor, offers[i].minor);
    EXPECT_EQ(req.AppProtocol[i].SchemaID, offers[i].schemaId);
    EXPECT_EQ(req.AppProtocol[i].Priority, offers[i].priority);
  }
}

TEST_F(AppHandTest, HandBuiltRequestDecodes) {
  // One entry "ab", version 2.0, SchemaID 5, Priority 1, coded by hand:
  // SE Req 00, SE AppProtocol 0, SE ProtocolNamespace 0, CH 0, literal
  // length 4 then 'a' 'b', EE 0, SE Major 0, CH 0, 2, EE 0, SE Minor 0, CH 0,
  // 0, EE 0, SE SchemaID 0, CH 0, 8 bits 5, EE 0, SE Priority 0, CH 0, 5 bits
  // 0, EE 0, EE AppProtocol 0, EE Req 01, ED.
  ASSERT_EQ(decode(packBits({{8, 0x80}, {2, 0}, {1, 0}, {1, 0}, {1, 0}, {8, 4}, {8, 'a'}, {8, 'b'},
                             {1, 0},    {1, 0}, {1, 0}, {8, 2}, {1, 0}, {1, 0}, {1, 0},   {8, 0},
                             {1, 0},    {1, 0}, {1, 0}, {8, 5}, {1, 0}, {1, 0}, {1, 0},   {5, 0},
                             {1, 0},    {1, 0}, {2, 1}})),
            0);
  ASSERT_EQ(req.arrayLen, 1u);
  EXPECT_EQ(text(req.AppProtocol[0].ProtocolNamespace), "ab");
  EXPECT_EQ(req.AppProtocol[0].VersionNumberMajor, 2u);
  EXPECT_EQ(req.AppProtocol[0].SchemaID, 5);
  EXPECT_EQ(req.AppProtocol[0].Priority, 1);
}

TEST_F(AppHandTest, TwentyEntriesDecodeAndATwentyFirstFails) {
  std::vector<Offer> offers;
  for (uint8_t i = 0; i < 20; ++i) offers.push_back({kDin, 2, i, i, static_cast<uint8_t>(i + 1)});
  std::vector<uint8_t> exi = encodeRequest(offers);
  ASSERT_EQ(decode(exi), 0);
  EXPECT_EQ(req.arrayLen, 20u);
  EXPECT_EQ(req.AppProtocol[19].Priority, 20);

  offers.push_back(offers.back());
  int rc = 0;
  encodeRequest(offers, &rc);
  EXPECT_EQ(rc, -1);  // more entries than the record holds

  // A 21st AppProtocol can only come as an undeclared element: after the
  // 20th entry the escape (1) and SE(*) (0) of the second level.
  uint8_t buffer[1024] = {};
  uint32_t pos = 0;
  BitStream s{sizeof buffer, buffer, &pos, 0, 8};
  ExiCoderState st;
  RuntimeNameTable rt;
  exiInitNameTableRuntime(&rt);
  ASSERT_EQ(exiappHandInitEncoder(&s, &st, rt, {0, kAppHandQNameSlots, numberOfLocalStringsEncode}), 0);
  // Re-encode the 20 entries event by event from the decoded records.
  ASSERT_EQ(exiappHandEncodeStartDocument(&s, &st), 0);
  ASSERT_EQ(exiappHandEncodeStartElement(&s, &st, APPHAND_QNAME_supportedAppProtocolReq), 0);
  ExiValue v{};
  for (uint32_t i = 0; i < 20; ++i) {
    const AppProtocolType& e = req.AppProtocol[i];
    ASSERT_EQ(exiappHandEncodeStartElement(&s, &st, APPHAND_QNAME_AppProtocol), 0);
    v.type = EXI_VALUE_STRING;
    v.string.kind = EXI_STRING_LITERAL;
    v.string.chars = ExiCharBuffer{100, const_cast<uint32_t*>(e.ProtocolNamespace.characters),
                                   static_cast<uint16_t>(e.ProtocolNamespace.charactersLen)};
    ASSERT_EQ(exiappHandEncodeStartElement(&s, &st, APPHAND_QNAME_ProtocolNamespace), 0);
    ASSERT_EQ(exiappHandEncodeCharacters(&s, &st, &v), 0);
    ASSERT_EQ(exiappHandEncodeEndElement(&s, &st), 0);
    const std::pair<uint16_t, ExiValue> fields[] = {
        {APPHAND_QNAME_VersionNumberMajor, [&] { ExiValue x{}; x.type = EXI_VALUE_UNSIGNED_INTEGER; x.integer.kind = EXI_UINT32; x.integer.val.uint32 = e.VersionNumberMajor; return x; }()},
        {APPHAND_QNAME_VersionNumberMinor, [&] { ExiValue x{}; x.type = EXI_VALUE_UNSIGNED_INTEGER; x.integer.kind = EXI_UINT32; x.integer.val.uint32 = e.VersionNumberMinor; return x; }()},
        {APPHAND_QNAME_SchemaID, [&] { ExiValue x{}; x.type = EXI_VALUE_NBIT_INTEGER; x.integer.kind = EXI_UINT8; x.integer.val.uint8 = e.SchemaID; return x; }()},
        {APPHAND_QNAME_Priority, [&] { ExiValue x{}; x.type = EXI_VALUE_NBIT_INTEGER; x.integer.kind = EXI_UINT8; x.integer.val.uint8 = e.Priority; return x; }()},
    };
    for (const auto& [q, x] : fields) {
      ASSERT_EQ(exiappHandEncodeStartElement(&s, &st, q), 0);
      ASSERT_EQ(exiappHandEncodeCharacters(&s, &st, &x), 0);
      ASSERT_EQ(exiappHandEncodeEndElement(&s, &st), 0);
    }
    ASSERT_EQ(exiappHandEncodeEndElement(&s, &st), 0);
  }
  EXPECT_EQ(st.grammarStack[st.stackIndex], APPHAND_STATE_REQ_FULL);
  // State 39 offers no start element at all.
  EXPECT_EQ(exiappHandEncodeStartElement(&s, &st, APPHAND_QNAME_AppProtocol),
            EXI_ERROR_UNSUPPORTED_EVENT);
  ASSERT_EQ(writeBits(&s, 2, 0b10), 0);
  ASSERT_EQ(writeBits(&s, 16, 0), 0);
  ASSERT_EQ(flush(&s), 0);
  std::vector<uint8_t> extended(buffer, buffer + pos);
  init_AnonType_supportedAppProtocolReq(&req);
  EXPECT_EQ(decode(extended), -1);
  EXPECT_EQ(service.event, EXI_EVENT_START_ELEMENT_GENERIC_UNDECLARED);
}

TEST_F(AppHandTest, EmptyRequestFails) {
  int rc = 0;
  encodeRequest({}, &rc);
  EXPECT_EQ(rc, -1);
  // SE Req (00), then the escape (1) and an undeclared end element (000).
  EXPECT_EQ(decode({0x80, 0x20}), -1);
  EXPECT_EQ(service.event, EXI_EVENT_END_ELEMENT_UNDECLARED);
}

TEST_F(AppHandTest, EveryTruncatedPrefixFailsWithInputExhausted) {
  std::vector<uint8_t> exi = encodeRequest({{kIso, 2, 0, 1, 1}, {kDin, 2, 0, 2, 2}});
  for (size_t n = 0; n < exi.size(); ++n) {
    init_AnonType_supportedAppProtocolReq(&req);
    EXPECT_EQ(decode(std::vector<uint8_t>(exi.begin(), exi.begin() + n)), EXI_ERROR_INPUT_EXHAUSTED)
        << "prefix of " << n << " bytes";
  }
}

TEST_F(AppHandTest, NamespaceLengthIsBoundedByTheCharacterBuffer) {
  EXPECT_EQ(decode(encodeRequest({{std::string(64, 'x'), 2, 0, 1, 1}})), 0);
  EXPECT_EQ(req.AppProtocol[0].ProtocolNamespace.charactersLen, 64u);
  init_AnonType_supportedAppProtocolReq(&req);
  EXPECT_EQ(decode(encodeRequest({{std::string(65, 'x'), 2, 0, 1, 1}})), EXI_ERROR_STRING_TOO_LONG);
}

TEST_F(AppHandTest, VersionNumbersAboveSigned32BitRangeFail) {
  EXPECT_EQ(decode(encodeRequest({{kDin, 2147483647u, 0, 1, 1}})), 0);
  EXPECT_EQ(req.AppProtocol[0].VersionNumberMajor, 2147483647u);
  init_AnonType_supportedAppProtocolReq(&req);
  EXPECT_EQ(decode(encodeRequest({{kDin, 4294967295u, 0, 1, 1}})), -1);
  EXPECT_EQ(service.errorCode, kAppHandErrorValueRange);
}

TEST_F(AppHandTest, PriorityIsCodedAsValueMinusOneAndRangeChecked) {
  int rc = 0;
  for (uint8_t bad : {uint8_t{0}, uint8_t{21}}) {
    encodeRequest({{kDin, 2, 0, 1, bad}}, &rc);
    EXPECT_EQ(rc, -1) << int{bad};
  }
  // Priority 20 as 19 in 5 bits: the last bits before EE/EE/EE are 10011.
  std::vector<uint8_t> p20 = encodeRequest({{"", 0, 0, 0, 20}});
  std::vector<uint8_t> p1 = encodeRequest({{"", 0, 0, 0, 1}});
  ASSERT_EQ(p20.size(), p1.size());
  ASSERT_EQ(decode(p20), 0);
  EXPECT_EQ(req.AppProtocol[0].Priority, 20);
  // Header, SE Req 00, SE AP 0, SE PN 0, CH 0, literal 2 (8 bits), EE 0,
  // SE 0 CH 0 0x00 EE 0 twice, SE 0 CH 0 SchemaID 8 bits EE 0, SE 0 CH 0 then
  // the 5 priority bits: bit offset 8 + 5 + 8 + 1 + 2 * 11 + 11 + 2 = 57.
  auto priorityBits = [](const std::vector<uint8_t>& b) {
    uint64_t all = 0;
    for (size_t i = 0; i < 8 && i < b.size(); ++i) all = (all << 8) | b[i];
    all <<= 8 * (8 - std::min<size_t>(8, b.size()));
    return static_cast<uint32_t>((all >> (64 - 57 - 5)) & 0x1F);
  };
  EXPECT_EQ(priorityBits(p20), 19u);
  EXPECT_EQ(priorityBits(p1), 0u);
}

TEST_F(AppHandTest, SchemaIdGoesToTheRecordOfItsParent) {
  // A response sent to the station: decoded only when the caller supplies a
  // response record; SchemaID then goes to the response and sets its flag.
  int rc = 0;
  std::vector<uint8_t> exi = encodeResponse(responseCodeType_OK_SuccessfulNegotiation, true, 7, &rc);
  ASSERT_EQ(rc, 0);
  res = AnonType_supportedAppProtocolRes{};
  ASSERT_EQ(decode(exi), 0);
  EXPECT_EQ(res.SchemaID, 7);
  EXPECT_EQ(res.isUsed & kSchemaIdUsed, kSchemaIdUsed);
  EXPECT_EQ(service.exiDocument.isUsed, kAppHandResPresent);

  doc.supportedAppProtocolRes = nullptr;  // no response record: refused
  EXPECT_EQ(decode(exi), -1);

  ASSERT_EQ(decode(encodeRequest({{kDin, 2, 0, 9, 1}})), 0);
  EXPECT_EQ(req.AppProtocol[0].SchemaID, 9);
}

TEST_F(AppHandTest, RequestWithoutRequestRecordIsRefused) {
  std::vector<uint8_t> exi = encodeRequest({{kDin, 2, 0, 1, 1}});
  doc.supportedAppProtocolReq = nullptr;
  EXPECT_EQ(decode(exi), -1);
}

TEST_F(AppHandTest, RejectedHeaderEndsDecodingAtOnce) {
  std::vector<uint8_t> exi = encodeRequest({{kDin, 2, 0, 1, 1}});
  exi[0] = 0xA0;  // options present
  EXPECT_EQ(decode(exi), EXI_ERROR_HEADER_OPTIONS);
  exi[0] = '$';
  EXPECT_EQ(decode(exi), EXI_ERROR_COOKIE);
  EXPECT_EQ(req.arrayLen, 0u);
}

TEST_F(AppHandTest, AttributesAndUndeclaredContentAreRefused) {
  // SE Req 00, SE AppProtocol 0, then in ProtocolNamespace's start state the
  // escape 1 and the second-level codes xsi:type (1), xsi:nil (2), AT(*) (3),
  // untyped attribute (4), SE(*) (5), untyped characters (6).
  const std::pair<uint8_t, uint32_t> cases[] = {
      {1, EXI_EVENT_ATTRIBUTE_XSI_TYPE},   {2, EXI_EVENT_ATTRIBUTE_XSI_NIL},
      {3, EXI_EVENT_ATTRIBUTE_GENERIC_UNDECLARED}, {4, EXI_EVENT_ATTRIBUTE_INVALID_VALUE},
      {5, EXI_EVENT_START_ELEMENT_GENERIC_UNDECLARED},
      {6, EXI_EVENT_CHARACTERS_GENERIC_UNDECLARED}};
  for (auto [code, event] : cases) {
    EXPECT_EQ(decode(packBits({{8, 0x80}, {2, 0}, {1, 0}, {1, 0}, {1, 1}, {3, code}, {32, 0}})), -1)
        << int{code};
    EXPECT_EQ(service.event, event);
  }
}

TEST_F(AppHandTest, RepeatedNamespaceSentAsValueHitIsResolved) {
  // A conforming encoder may send the second "ab" as a local value hit.
  uint8_t buffer[64] = {};
  uint32_t pos = 0;
  BitStream s{sizeof buffer, buffer, &pos, 0, 8};
  auto entry = [&](bool hit) {
    writeBits(&s, 2, 0);  // SE ProtocolNamespace, CH
    if (hit) {
      writeBits(&s, 8, 0);  // local hit; one value known: 0-bit identifier
    } else {
      writeBits(&s, 8, 4);
      writeBits(&s, 8, 'a');
      writeBits(&s, 8, 'b');
    }
    const std::pair<uint32_t, uint32_t> tail[] = {{1, 0}, {1, 0}, {1, 0}, {8, 2}, {1, 0},
                                                  {1, 0}, {1, 0}, {8, 0}, {1, 0}, {1, 0},
                                                  {1, 0}, {8, 5}, {1, 0}, {1, 0}, {1, 0},
                                                  {5, 0}, {1, 0}, {1, 0}};
    for (auto [n, v] : tail) writeBits(&s, n, v);
  };
  writeBits(&s, 8, 0x80);
  writeBits(&s, 3, 0);  // SE Req, SE AppProtocol
  entry(false);
  writeBits(&s, 2, 0);  // next AppProtocol
  entry(true);
  writeBits(&s, 2, 1);  // EE Req
  flush(&s);
  ASSERT_EQ(decode(std::vector<uint8_t>(buffer, buffer + pos)), 0);
  ASSERT_EQ(req.arrayLen, 2u);
  EXPECT_EQ(text(req.AppProtocol[1].ProtocolNamespace), "ab");

  // A hit on a value that was never sent fails instead of repeating text.
  pos = 0;
  s = BitStream{sizeof buffer, buffer, &pos, 0, 8};
  writeBits(&s, 8, 0x80);
  writeBits(&s, 3, 0);
  entry(true);
  writeBits(&s, 2, 1);
  flush(&s);
  init_AnonType_supportedAppProtocolReq(&req);
  EXPECT_EQ(decode(std::vector<uint8_t>(buffer, buffer + pos)), EXI_ERROR_OUT_OF_BOUNDS);
}

// An event encoder of the handshake grammar after its header byte.
class AppHandGrammar : public ::testing::Test {
 protected:
  void SetUp() override {
    exiInitNameTableRuntime(&rt);
    ASSERT_EQ(exiappHandInitEncoder(&s, &st, rt, {0, 0, nullptr}), 0);
  }
  uint8_t buffer[64] = {};
  uint32_t pos = 0;
  BitStream s{sizeof buffer, buffer, &pos, 0, 8};
  ExiCoderState st;
  RuntimeNameTable rt;
};

TEST_F(AppHandGrammar, EventCodesOfTheDocumentStates) {
  EXPECT_EQ(exiappHandEncodeEndDocument(&s, &st), EXI_ERROR_END_DOCUMENT);
  ASSERT_EQ(exiappHandEncodeStartDocument(&s, &st), 0);
  EXPECT_EQ(exiappHandEncodeStartDocument(&s, &st), EXI_ERROR_START_DOCUMENT);
  EXPECT_EQ(exiappHandEncodeEndElement(&s, &st), EXI_ERROR_UNSUPPORTED_EVENT);
  EXPECT_EQ(exiappHandEncodeStartElement(&s, &st, APPHAND_QNAME_AppProtocol), EXI_ERROR_START_ELEMENT);
  ASSERT_EQ(exiappHandEncodeStartElement(&s, &st, APPHAND_QNAME_supportedAppProtocolRes), 0);
  EXPECT_EQ(exiappHandEncodeEndDocument(&s, &st), EXI_ERROR_END_DOCUMENT);
  ExiValue v{};
  v.type = EXI_VALUE_STRING;
  EXPECT_EQ(exiappHandEncodeCharacters(&s, &st, &v), EXI_ERROR_CHARACTERS);
  EXPECT_EQ(exiappHandEncodeEndElement(&s, &st), EXI_ERROR_UNSUPPORTED_EVENT);  // ResponseCode required
  ASSERT_EQ(exiappHandEncodeStartElement(&s, &st, APPHAND_QNAME_ResponseCode), 0);
  EXPECT_EQ(exiappHandEncodeCharacters(&s, &st, &v), EXI_ERROR_UNSUPPORTED_EVENT);  // wrong type
  // In the 3-bit document content state of the decoder, code 3 is invalid.
  uint8_t bad[] = {0x80, 0xC0};
  uint32_t rpos = 0;
  BitStream in{sizeof bad, bad, &rpos, 0, 0};
  ExiCoderState dst;
  ASSERT_EQ(exiappHandInitDecoder(&in, &dst, rt, {0, 0, nullptr}), 0);
  uint32_t event = 0;
  ASSERT_EQ(exiappHandDecodeNextEvent(&in, &dst, &event), 0);
  EXPECT_EQ(event, EXI_EVENT_START_DOCUMENT);
  EXPECT_EQ(exiappHandDecodeEndDocument(&in, &dst), EXI_ERROR_END_DOCUMENT);
  ASSERT_EQ(exiappHandDecodeStartDocument(&in, &dst), 0);
  EXPECT_EQ(exiappHandDecodeNextEvent(&in, &dst, &event), EXI_ERROR_EVENT_CODE_LEVEL1);
  EXPECT_EQ(event, EXI_EVENT_NO_EVENT);
}

TEST_F(AppHandGrammar, EntriesKeepSchemaOrder) {
  // In every state of a request only the next child of the schema may
  // start; any other element is refused and writes nothing.
  ASSERT_EQ(exiappHandEncodeStartDocument(&s, &st), 0);
  ASSERT_EQ(exiappHandEncodeStartElement(&s, &st, APPHAND_QNAME_supportedAppProtocolReq), 0);
  const uint16_t fields[] = {APPHAND_QNAME_ProtocolNamespace, APPHAND_QNAME_VersionNumberMajor,
                             APPHAND_QNAME_VersionNumberMinor, APPHAND_QNAME_SchemaID,
                             APPHAND_QNAME_Priority};
  auto refusesAllBut = [&](uint16_t allowed) {
    for (uint16_t q : {APPHAND_QNAME_AppProtocol, APPHAND_QNAME_ProtocolNamespace,
                       APPHAND_QNAME_VersionNumberMajor, APPHAND_QNAME_VersionNumberMinor,
                       APPHAND_QNAME_SchemaID, APPHAND_QNAME_Priority, APPHAND_QNAME_ResponseCode}) {
      if (q == allowed) continue;
      uint32_t before = pos;
      EXPECT_EQ(exiappHandEncodeStartElement(&s, &st, q), EXI_ERROR_START_ELEMENT)
          << "element " << q << " where " << allowed << " must come";
      EXPECT_EQ(pos, before);
    }
  };
  refusesAllBut(APPHAND_QNAME_AppProtocol);
  ASSERT_EQ(exiappHandEncodeStartElement(&s, &st, APPHAND_QNAME_AppProtocol), 0);
  for (uint16_t field : fields) {
    refusesAllBut(field);
    ASSERT_EQ(exiappHandEncodeStartElement(&s, &st, field), 0);
    ExiValue v{};
    v.type = field == APPHAND_QNAME_ProtocolNamespace   ? EXI_VALUE_STRING
             : field == APPHAND_QNAME_VersionNumberMajor ||
                       field == APPHAND_QNAME_VersionNumberMinor
                 ? EXI_VALUE_UNSIGNED_INTEGER
                 : EXI_VALUE_NBIT_INTEGER;
    v.integer.kind = EXI_UINT8;
    v.integer.val.uint8 = 1;
    ASSERT_EQ(exiappHandEncodeCharacters(&s, &st, &v), 0) << field;
    ASSERT_EQ(exiappHandEncodeEndElement(&s, &st), 0);
  }
  ASSERT_EQ(exiappHandEncodeEndElement(&s, &st), 0);  // AppProtocol
}

TEST_F(AppHandTest, ElementsOutOfSchemaOrderFailToDecode) {
  // Out of order, an element can only come as an undeclared start element:
  // the escape, SE(*) at the second level and the element's name as a URI
  // hit (1 of 6 values: 3 bits) and a local-name hit (0, then 3 bits).
  auto undeclared = [](uint16_t localName) {
    return BitFields{{3, 1}, {8, 0}, {3, localName}};
  };
  struct Case {
    const char* what;
    BitFields fields;
  };
  const Case cases[] = {
      // SE Req, then in its start state escape 1 and SE(*) 5 of 3 bits.
      {"ProtocolNamespace as first child", {{2, 0}, {1, 1}, {3, 5}}},
      // SE Req, SE AppProtocol, then Priority in place of ProtocolNamespace.
      {"Priority first in an entry", {{2, 0}, {1, 0}, {1, 1}, {3, 5}}},
      // ... ProtocolNamespace "" (CH, literal length 0 + 2), EE, then in
      // state 31 the escape and SE(*) (1 of 2 bits) with Priority.
      {"Priority after ProtocolNamespace", {{2, 0}, {1, 0}, {1, 0}, {1, 0}, {8, 2}, {1, 0}, {1, 1}, {2, 1}}},
  };
  const uint16_t names[] = {2, 1, 1};  // local names: ProtocolNamespace 2, Priority 1
  for (size_t i = 0; i < std::size(cases); ++i) {
    BitFields f{{8, 0x80}};
    f.insert(f.end(), cases[i].fields.begin(), cases[i].fields.end());
    BitFields name = undeclared(names[i]);
    f.insert(f.end(), name.begin(), name.end());
    f.push_back({32, 0});
    init_AnonType_supportedAppProtocolReq(&req);
    EXPECT_EQ(decode(packBits(f)), -1) << cases[i].what;
    EXPECT_EQ(service.event, EXI_EVENT_START_ELEMENT_GENERIC_UNDECLARED) << cases[i].what;
  }
}

TEST_F(AppHandGrammar, UndeclaredRootElementsGetGlobalOrBuiltInGrammars) {
  // Document content code 2 (SE(*)): URI hit 5 (URI 4, 3 bits), local-name
  // hit 0 then 3 bits 6 (supportedAppProtocolReq), which pushes state 15; a
  // further SE(*) with a literal local name gets a built-in grammar.
  TestStream t = TestStream::input(packBits(
      {{8, 0x80}, {2, 2}, {3, 5}, {8, 0}, {3, 6}, {1, 1}, {3, 5}, {3, 1}, {8, 2}, {8, 'z'}}));
  BitStream in = *t.in();
  ASSERT_EQ(exiappHandInitDecoder(&in, &st, rt, {0, 0, nullptr}), 0);
  uint32_t event = 0;
  uint16_t qname = 0;
  ASSERT_EQ(exiappHandDecodeNextEvent(&in, &st, &event), 0);
  ASSERT_EQ(exiappHandDecodeStartDocument(&in, &st), 0);
  ASSERT_EQ(exiappHandDecodeNextEvent(&in, &st, &event), 0);
  EXPECT_EQ(event, EXI_EVENT_START_ELEMENT_GENERIC);
  ASSERT_EQ(exiappHandDecodeStartElement(&in, &st, &qname), 0);
  EXPECT_EQ(qname, APPHAND_QNAME_supportedAppProtocolReq);
  EXPECT_EQ(st.grammarStack[st.stackIndex], APPHAND_STATE_REQ);
  EXPECT_EQ(st.grammarStack[0], APPHAND_STATE_DOC_END);
  ASSERT_EQ(exiappHandDecodeNextEvent(&in, &st, &event), 0);
  EXPECT_EQ(event, EXI_EVENT_START_ELEMENT_GENERIC_UNDECLARED);
  ASSERT_EQ(exiappHandDecodeStartElement(&in, &st, &qname), 0);
  EXPECT_EQ(qname, kAppHandPrepopulatedQNames);  // first learnt qname
  EXPECT_EQ(st.grammarStack[st.stackIndex - 1], 94);  // parent moved to element content
  EXPECT_EQ(st.grammarStack[st.stackIndex], -1);
}

}  // namespace
