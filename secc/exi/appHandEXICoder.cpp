#include "appHandEXICoder.h"

#include <array>
#include <cstddef>
#include <initializer_list>

#include "appHandQNames.h"

namespace {

constexpr uint16_t kMaxProductions = 100;

// ----------------------------------------------------------- value codings
constexpr ExiValueCoding coding(ExiValueType type, uint8_t bits = 0, int32_t lower = 0,
                                int32_t upper = 0, uint8_t dateTimeKind = 0) {
  return ExiValueCoding{static_cast<uint8_t>(type), bits, lower, upper, dateTimeKind};
}

constexpr ExiValueCoding kString = coding(EXI_VALUE_STRING);
constexpr ExiValueCoding kUnsigned = coding(EXI_VALUE_UNSIGNED_INTEGER);
constexpr ExiValueCoding kSchemaId = coding(EXI_VALUE_NBIT_INTEGER, 8, 0, 255);
constexpr ExiValueCoding kPriority = coding(EXI_VALUE_NBIT_INTEGER, 5, 1, 20);
constexpr ExiValueCoding kResponseCode = coding(EXI_VALUE_ENUMERATION, 2, 0, 2);

// ----------------------------------------------------------- productions
constexpr ExiProduction sd(int16_t next) {
  return ExiProduction{EXI_EVENT_START_DOCUMENT, 0, next, 0, {}};
}
constexpr ExiProduction ed() {
  return ExiProduction{EXI_EVENT_END_DOCUMENT, 0, 0, 0, {}};
}
constexpr ExiProduction se(uint16_t qname, int16_t next, int16_t pushed) {
  return ExiProduction{EXI_EVENT_START_ELEMENT, qname, next, pushed, {}};
}
constexpr ExiProduction seAny(int16_t next) {
  return ExiProduction{EXI_EVENT_START_ELEMENT_GENERIC, 0, next, 0, {}};
}
constexpr ExiProduction ee() {
  return ExiProduction{EXI_EVENT_END_ELEMENT, 0, 0, 0, {}};
}
constexpr ExiProduction ch(ExiValueCoding c) {
  return ExiProduction{EXI_EVENT_CHARACTERS, 0, APPHAND_STATE_SIMPLE_DONE, 0, c};
}

struct Tables {
  std::array<ExiGrammarState, kAppHandStateCount> states{};
  std::array<ExiProduction, kMaxProductions> productions{};
  uint16_t used = 0;

  constexpr void add(int16_t state, ExiSecondLevel second,
                     std::initializer_list<ExiProduction> list) {
    ExiGrammarState& st = states[static_cast<uint16_t>(state)];
    st.firstProduction = used;
    st.count = static_cast<uint8_t>(list.size());
    st.secondLevel = second;
    uint32_t alternatives = st.count + (second != EXI_SECOND_NONE ? 1u : 0u);
    uint8_t width = 0;
    while ((1u << width) < alternatives) {
      ++width;
    }
    st.width = width;
    for (const ExiProduction& p : list) {
      productions[used++] = p;
    }
  }
};

// States after entry 1 .. 19 of a request; after entry 20 comes state 39.
constexpr std::array<int16_t, 19> kEntryChain = {3,   4,   124, 125, 128, 8,  9,  92, 113, 115,
                                                 72,  73,  109, 110, 60,  61, 26, 27, 97};

// First states of the simple-content grammars that xsi:type can select for
// the XML Schema built-in types, by representation.
enum BuiltInState : int16_t {
  kHexBinary = 6,
  kBoolean = 130,
  kByte = 131,
  kUnsignedByte = 132,
  kUnsignedInteger = 133,
  kInteger = 134,
  kFloat = 135,
  kDecimal = 136,
  kDateTimeFirst = 137,  // 137 .. 144 by ExiDateTimeKind
  kBase64Binary = 145,
};

constexpr Tables build() {
  Tables t;
  constexpr auto kTag = EXI_SECOND_START_TAG;
  constexpr auto kContent = EXI_SECOND_CONTENT;
  using Q = AppHandQNameId;

  t.add(APPHAND_STATE_DOCUMENT, EXI_SECOND_NONE, {sd(APPHAND_STATE_DOC_CONTENT)});
  t.add(APPHAND_STATE_DOC_CONTENT, EXI_SECOND_NONE,
        {se(Q::APPHAND_QNAME_supportedAppProtocolReq, APPHAND_STATE_DOC_END, APPHAND_STATE_REQ),
         se(Q::APPHAND_QNAME_supportedAppProtocolRes, APPHAND_STATE_DOC_END, APPHAND_STATE_RES),
         seAny(APPHAND_STATE_DOC_END)});
  t.add(APPHAND_STATE_DOC_END, EXI_SECOND_NONE, {ed()});
  t.add(APPHAND_STATE_FRAGMENT, EXI_SECOND_NONE, {sd(APPHAND_STATE_FRAGMENT_CONTENT)});
  constexpr int16_t f = APPHAND_STATE_FRAGMENT_CONTENT;
  t.add(f, EXI_SECOND_NONE,
        {se(Q::APPHAND_QNAME_AppProtocol, f, APPHAND_STATE_APP_PROTOCOL),
         se(Q::APPHAND_QNAME_Priority, f, APPHAND_STATE_PRIORITY),
         se(Q::APPHAND_QNAME_ProtocolNamespace, f, APPHAND_STATE_PROTOCOL_NAMESPACE),
         se(Q::APPHAND_QNAME_ResponseCode, f, APPHAND_STATE_RESPONSE_CODE),
         se(Q::APPHAND_QNAME_SchemaID, f, APPHAND_STATE_SCHEMA_ID),
         se(Q::APPHAND_QNAME_VersionNumberMajor, f, APPHAND_STATE_VERSION_MAJOR),
         se(Q::APPHAND_QNAME_VersionNumberMinor, f, APPHAND_STATE_VERSION_MINOR),
         se(Q::APPHAND_QNAME_supportedAppProtocolReq, f, APPHAND_STATE_REQ),
         se(Q::APPHAND_QNAME_supportedAppProtocolRes, f, APPHAND_STATE_RES), seAny(f), ed()});

  // supportedAppProtocolReq: 1 to 20 AppProtocol entries. State 94 is the
  // element-content twin of the start state.
  for (int16_t s : {int16_t{APPHAND_STATE_REQ}, int16_t{94}}) {
    t.add(s, s == APPHAND_STATE_REQ ? kTag : kContent,
          {se(Q::APPHAND_QNAME_AppProtocol, kEntryChain[0], APPHAND_STATE_APP_PROTOCOL)});
  }
  for (std::size_t i = 0; i < kEntryChain.size(); ++i) {
    int16_t next = i + 1 < kEntryChain.size() ? kEntryChain[i + 1] : int16_t{APPHAND_STATE_REQ_FULL};
    t.add(kEntryChain[i], kContent,
          {se(Q::APPHAND_QNAME_AppProtocol, next, APPHAND_STATE_APP_PROTOCOL), ee()});
  }
  t.add(APPHAND_STATE_REQ_FULL, kContent, {ee()});

  // supportedAppProtocolRes: ResponseCode, optional SchemaID (twin 117).
  for (int16_t s : {int16_t{APPHAND_STATE_RES}, int16_t{117}}) {
    t.add(s, s == APPHAND_STATE_RES ? kTag : kContent,
          {se(Q::APPHAND_QNAME_ResponseCode, APPHAND_STATE_RES_AFTER_CODE,
              APPHAND_STATE_RESPONSE_CODE)});
  }
  t.add(APPHAND_STATE_RES_AFTER_CODE, kContent,
        {se(Q::APPHAND_QNAME_SchemaID, APPHAND_STATE_RES_DONE, APPHAND_STATE_SCHEMA_ID), ee()});
  t.add(APPHAND_STATE_RES_DONE, kContent, {ee()});

  // AppProtocolType: the five fields in schema order (twin 30).
  for (int16_t s : {int16_t{APPHAND_STATE_APP_PROTOCOL}, int16_t{30}}) {
    t.add(s, s == APPHAND_STATE_APP_PROTOCOL ? kTag : kContent,
          {se(Q::APPHAND_QNAME_ProtocolNamespace, 31, APPHAND_STATE_PROTOCOL_NAMESPACE)});
  }
  t.add(31, kContent, {se(Q::APPHAND_QNAME_VersionNumberMajor, 33, APPHAND_STATE_VERSION_MAJOR)});
  t.add(33, kContent, {se(Q::APPHAND_QNAME_VersionNumberMinor, 34, APPHAND_STATE_VERSION_MINOR)});
  t.add(34, kContent, {se(Q::APPHAND_QNAME_SchemaID, 90, APPHAND_STATE_SCHEMA_ID)});
  t.add(90, kContent, {se(Q::APPHAND_QNAME_Priority, APPHAND_STATE_ENTRY_DONE,
                          APPHAND_STATE_PRIORITY)});
  t.add(APPHAND_STATE_ENTRY_DONE, kContent, {ee()});

  // Simple content.
  t.add(APPHAND_STATE_SIMPLE_DONE, kContent, {ee()});
  t.add(APPHAND_STATE_PROTOCOL_NAMESPACE, kTag, {ch(kString)});
  t.add(APPHAND_STATE_STRING, kTag, {ch(kString)});
  t.add(APPHAND_STATE_VERSION_MAJOR, kTag, {ch(kUnsigned)});
  t.add(APPHAND_STATE_VERSION_MINOR, kTag, {ch(kUnsigned)});
  t.add(APPHAND_STATE_SCHEMA_ID, kTag, {ch(kSchemaId)});
  t.add(APPHAND_STATE_PRIORITY, kTag, {ch(kPriority)});
  t.add(APPHAND_STATE_RESPONSE_CODE, kTag, {ch(kResponseCode)});

  // Built-in types reached through xsi:type.
  t.add(kHexBinary, kTag, {ch(coding(EXI_VALUE_BINARY_HEX))});
  t.add(kBase64Binary, kTag, {ch(coding(EXI_VALUE_BINARY_BASE64))});
  t.add(kBoolean, kTag, {ch(coding(EXI_VALUE_BOOLEAN))});
  t.add(kByte, kTag, {ch(coding(EXI_VALUE_NBIT_INTEGER, 8, -128, 127))});
  t.add(kUnsignedByte, kTag, {ch(kSchemaId)});
  t.add(kUnsignedInteger, kTag, {ch(kUnsigned)});
  t.add(kInteger, kTag, {ch(coding(EXI_VALUE_INTEGER))});
  t.add(kFloat, kTag, {ch(coding(EXI_VALUE_FLOAT))});
  t.add(kDecimal, kTag, {ch(coding(EXI_VALUE_DECIMAL))});
  for (uint8_t kind = 0; kind <= EXI_DATETIME_TIME; ++kind) {
    t.add(static_cast<int16_t>(kDateTimeFirst + kind), kTag,
          {ch(coding(EXI_VALUE_DATETIME, 0, 0, 0, kind))});
  }
  return t;
}

constexpr Tables kTables = build();
static_assert(kTables.used <= kMaxProductions);

constexpr ExiGlobalElement kGlobalElements[] = {
    {APPHAND_QNAME_supportedAppProtocolReq, APPHAND_STATE_REQ},
    {APPHAND_QNAME_supportedAppProtocolRes, APPHAND_STATE_RES},
};

constexpr ExiContentMove kContentMoves[] = {
    {APPHAND_STATE_APP_PROTOCOL, 30},
    {APPHAND_STATE_REQ, 94},
    {APPHAND_STATE_RES, 117},
};

constexpr uint16_t kXsdUri = 3;
constexpr uint16_t kAppHandUri = 4;
constexpr int16_t kUnchanged = -1;

// Grammar of each XML Schema built-in type, by local-name number (lexical
// order). List types and anyType keep the current grammar.
constexpr int16_t kXsdTypeStates[46] = {
    kUnchanged,          APPHAND_STATE_STRING, APPHAND_STATE_STRING, APPHAND_STATE_STRING,  // ENTITIES ENTITY ID IDREF
    kUnchanged,          APPHAND_STATE_STRING, APPHAND_STATE_STRING, kUnchanged,            // IDREFS NCName NMTOKEN NMTOKENS
    APPHAND_STATE_STRING, APPHAND_STATE_STRING, APPHAND_STATE_STRING, APPHAND_STATE_STRING, // NOTATION Name QName anySimpleType
    kUnchanged,          APPHAND_STATE_STRING, kBase64Binary,        kBoolean,              // anyType anyURI base64Binary boolean
    kByte,               kDateTimeFirst + 2,   kDateTimeFirst + 3,   kDecimal,              // byte date dateTime decimal
    kFloat,              APPHAND_STATE_STRING, kFloat,               kDateTimeFirst + 6,    // double duration float gDay
    kDateTimeFirst + 4,  kDateTimeFirst + 5,   kDateTimeFirst + 0,   kDateTimeFirst + 1,    // gMonth gMonthDay gYear gYearMonth
    kHexBinary,          kInteger,             kInteger,             APPHAND_STATE_STRING,  // hexBinary int integer language
    kInteger,            kInteger,             kUnsignedInteger,     kInteger,              // long negativeInteger nonNegativeInteger nonPositiveInteger
    APPHAND_STATE_STRING, kUnsignedInteger,    kInteger,             APPHAND_STATE_STRING,  // normalizedString positiveInteger short string
    kDateTimeFirst + 7,  APPHAND_STATE_STRING, kUnsignedByte,        kUnsignedInteger,      // time token unsignedByte unsignedInt
    kUnsignedInteger,    kUnsignedInteger,                                                  // unsignedLong unsignedShort
};

// Types of the supportedAppProtocol namespace, by local-name number.
constexpr int16_t kAppHandTypeStates[6] = {
    APPHAND_STATE_APP_PROTOCOL, APPHAND_STATE_SCHEMA_ID,          APPHAND_STATE_PRIORITY,
    APPHAND_STATE_STRING,       APPHAND_STATE_PROTOCOL_NAMESPACE, APPHAND_STATE_RESPONSE_CODE,
};

constexpr std::size_t countTypes() {
  std::size_t n = sizeof(kAppHandTypeStates) / sizeof(kAppHandTypeStates[0]);
  for (int16_t s : kXsdTypeStates) {
    n += s != kUnchanged ? 1 : 0;
  }
  return n;
}

constexpr std::array<ExiTypeGrammar, countTypes()> buildTypes() {
  std::array<ExiTypeGrammar, countTypes()> types{};
  std::size_t n = 0;
  for (uint16_t local = 0; local < 46; ++local) {
    if (kXsdTypeStates[local] != kUnchanged) {
      types[n++] = ExiTypeGrammar{kXsdUri, local, kXsdTypeStates[local]};
    }
  }
  for (uint16_t local = 0; local < 6; ++local) {
    types[n++] = ExiTypeGrammar{kAppHandUri, local, kAppHandTypeStates[local]};
  }
  return types;
}

constexpr auto kTypes = buildTypes();

}  // namespace

const ExiGrammar appHandGrammar = {
    PrepopulatedNameTable{kAppHandUris, appHandLocalNames},
    appHandQNames.data(),
    kAppHandPrepopulatedQNames,
    kAppHandQNameSlots,
    kAppHandQNameSlots,
    kTables.states.data(),
    kAppHandStateCount,
    kTables.productions.data(),
    kGlobalElements,
    static_cast<uint16_t>(sizeof(kGlobalElements) / sizeof(kGlobalElements[0])),
    kTypes.data(),
    static_cast<uint16_t>(kTypes.size()),
    kContentMoves,
    static_cast<uint16_t>(sizeof(kContentMoves) / sizeof(kContentMoves[0])),
};
