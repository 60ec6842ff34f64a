// Shared records of the EXI codec: bit stream, typed value, event numbers,
// coder state and the one table of negative result codes.
//
// Every codec operation returns 0 on success or a negative ExiErrorCode and
// delivers its results through pointer arguments. The codec allocates
// nothing: streams, buffers, coder states and records belong to the caller.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------- results
enum ExiErrorCode : int32_t {
  EXI_OK = 0,
  EXI_ERROR_DATETIME_KIND_DECODE = -1,     // date-time kind above 7 (decoder)
  EXI_ERROR_UNDECLARED_END_BUILTIN = -1,   // undeclared end element in a built-in grammar
  EXI_ERROR_INPUT_EXHAUSTED = -10,         // a byte was needed at or beyond the end
  EXI_ERROR_OUTPUT_FULL = -11,             // a byte was to be stored at or beyond the end
  EXI_ERROR_OUT_OF_BOUNDS = -100,          // identifier out of range or table full
  EXI_ERROR_STRING_TOO_LONG = -101,        // string longer than the character buffer
  EXI_ERROR_BINARY_TOO_LONG = -103,        // binary longer than the byte buffer
  EXI_ERROR_STACK_OVERFLOW = -104,         // grammar stack full
  EXI_ERROR_RUNTIME_GRAMMARS_FULL = -105,  // runtime grammar table full
  EXI_ERROR_EVENT_CODE_LEVEL1 = -111,      // first-level code not valid here
  EXI_ERROR_EVENT_CODE_LEVEL2 = -112,      // second-level code not valid here
  EXI_ERROR_START_DOCUMENT = -113,
  EXI_ERROR_END_DOCUMENT = -114,
  EXI_ERROR_START_ELEMENT = -115,
  EXI_ERROR_CHARACTERS = -120,
  EXI_ERROR_ATTRIBUTE = -121,
  EXI_ERROR_XSI_TYPE = -125,
  EXI_ERROR_XSI_NIL_TRUE = -126,
  EXI_ERROR_GRAMMAR_STATE = -128,
  EXI_ERROR_TOO_MANY_ALTERNATIVES = -133,
  EXI_ERROR_INTEGER_TOO_LARGE = -134,      // beyond 10 octets or beyond the target width
  EXI_ERROR_NEGATIVE_UNSIGNED = -135,
  EXI_ERROR_LIST_NOT_SUPPORTED = -136,
  EXI_ERROR_COOKIE = -137,
  EXI_ERROR_HEADER_OPTIONS = -138,
  EXI_ERROR_VALUE_OUT_OF_RANGE = -139,     // bounded integer or enumeration index outside its range
  EXI_ERROR_STRING_KIND = -140,
  EXI_ERROR_INTEGER_KIND = -141,
  EXI_ERROR_DATETIME_KIND_ENCODE = -142,
  EXI_ERROR_UNTYPED_CHARS_BUILTIN = -150,
  EXI_ERROR_NOT_A_STRING = -301,
  EXI_ERROR_UNSUPPORTED_EVENT = -500,
};

// ---------------------------------------------------------------- stream
struct BitStream {
  uint32_t size;      // end index: no byte at or beyond it is read or written
  uint8_t* data;      // caller's buffer
  uint32_t* pos;      // caller's counter: index of the next byte
  uint8_t buffer;     // partial byte
  uint8_t capacity;   // input: unread bits of buffer; output: free bits of buffer
};

// ---------------------------------------------------------------- values
enum ExiValueType : uint32_t {
  EXI_VALUE_BINARY_BASE64 = 0,
  EXI_VALUE_BINARY_HEX = 1,
  EXI_VALUE_BOOLEAN = 2,
  EXI_VALUE_BOOLEAN_FACET = 3,
  EXI_VALUE_DECIMAL = 4,
  EXI_VALUE_FLOAT = 5,
  EXI_VALUE_NBIT_INTEGER = 6,
  EXI_VALUE_UNSIGNED_INTEGER = 7,
  EXI_VALUE_INTEGER = 8,
  EXI_VALUE_DATETIME = 9,
  EXI_VALUE_STRING = 10,
  EXI_VALUE_ENUMERATION = 12,
  EXI_VALUE_LIST = 13,
  EXI_VALUE_QNAME = 14,
};

enum ExiIntegerKind : uint32_t {
  EXI_UINT8 = 0,
  EXI_UINT16 = 1,
  EXI_UINT32 = 2,
  EXI_UINT64 = 3,
  EXI_INT8 = 4,
  EXI_INT16 = 5,
  EXI_INT32 = 6,
  EXI_INT64 = 7,
};

struct ExiInteger {
  uint32_t kind;  // ExiIntegerKind
  union {
    uint8_t uint8;
    uint16_t uint16;
    uint32_t uint32;
    uint64_t uint64;
    int8_t int8;
    int16_t int16;
    int32_t int32;
    int64_t int64;
  } val;
};

struct ExiByteBuffer {
  uint16_t capacity;
  uint8_t* data;
  uint16_t length;
};

struct ExiCharBuffer {
  uint16_t capacity;
  uint32_t* codePoints;  // one UCS code point per character, no terminator
  uint16_t length;
};

enum ExiStringValueKind : uint32_t {
  EXI_STRING_LITERAL = 0,
  EXI_STRING_LOCAL_HIT = 1,
  EXI_STRING_GLOBAL_HIT = 2,
};

struct ExiStringValue {
  uint32_t kind;  // ExiStringValueKind
  ExiCharBuffer chars;
  uint32_t localId;
  uint16_t globalId;
};

struct ExiFloat {
  int64_t mantissa;
  int16_t exponent;
};

struct ExiDecimal {
  uint32_t negative;
  ExiInteger integral;
  ExiInteger reverseFraction;
};

enum ExiDateTimeKind : uint32_t {
  EXI_DATETIME_GYEAR = 0,
  EXI_DATETIME_GYEARMONTH = 1,
  EXI_DATETIME_DATE = 2,
  EXI_DATETIME_DATETIME = 3,
  EXI_DATETIME_GMONTH = 4,
  EXI_DATETIME_GMONTHDAY = 5,
  EXI_DATETIME_GDAY = 6,
  EXI_DATETIME_TIME = 7,
};

struct ExiDateTime {
  uint32_t kind;  // ExiDateTimeKind
  int32_t year;
  uint32_t monthDay;  // month * 32 + day
  uint32_t time;      // (hour * 64 + minutes) * 64 + seconds
  uint32_t fractionalSecsPresent;
  uint32_t fractionalSecs;
  uint32_t timezonePresent;
  int32_t timezone;   // hours * 64 + minutes
};

struct ExiList {
  uint32_t itemType;
  uint16_t length;
};

struct ExiQNameValue {
  uint16_t uriId;
  uint16_t localNameId;
};

struct ExiValue {
  uint32_t type;  // ExiValueType
  uint32_t boolean;
  uint32_t enumeration;
  ExiInteger integer;
  ExiByteBuffer binary;
  ExiStringValue string;
  ExiFloat floatValue;
  ExiDecimal decimal;
  ExiDateTime dateTime;
  ExiList list;
  ExiQNameValue qname;
};

// ---------------------------------------------------------------- events
enum ExiEvent : uint32_t {
  EXI_EVENT_START_DOCUMENT = 0,
  EXI_EVENT_END_DOCUMENT = 1,
  EXI_EVENT_START_ELEMENT = 2,
  EXI_EVENT_START_ELEMENT_NS = 3,
  EXI_EVENT_START_ELEMENT_GENERIC = 4,
  EXI_EVENT_START_ELEMENT_GENERIC_UNDECLARED = 5,
  EXI_EVENT_END_ELEMENT = 6,
  EXI_EVENT_END_ELEMENT_UNDECLARED = 7,
  EXI_EVENT_CHARACTERS = 8,
  EXI_EVENT_CHARACTERS_GENERIC = 9,
  EXI_EVENT_CHARACTERS_GENERIC_UNDECLARED = 10,
  EXI_EVENT_ATTRIBUTE_XSI_TYPE = 11,
  EXI_EVENT_ATTRIBUTE_XSI_NIL = 12,
  EXI_EVENT_ATTRIBUTE = 13,
  EXI_EVENT_ATTRIBUTE_NS = 14,
  EXI_EVENT_ATTRIBUTE_GENERIC = 15,
  EXI_EVENT_ATTRIBUTE_INVALID_VALUE = 16,
  EXI_EVENT_ATTRIBUTE_ANY_INVALID_VALUE = 17,
  EXI_EVENT_ATTRIBUTE_GENERIC_UNDECLARED = 18,
  EXI_EVENT_NO_EVENT = 19,
};

// ---------------------------------------------------------------- tables
constexpr int kExiStackSize = 24;
constexpr int kExiRuntimeNameEntries = 25;
constexpr int kExiRuntimeGrammarEntries = 60;
constexpr int kExiMaxAddedQNames = 100;
constexpr int kExiValuePoolEntries = 32;
constexpr int kExiValuePoolChars = 512;

struct EQName {
  uint16_t uriId;
  uint16_t localNameId;
};

struct PrepopulatedNameTable {
  uint16_t numberOfUris;
  const uint16_t* localNames;  // prepopulated local-name count of each URI
};

enum RuntimeNameKind : uint32_t {
  EXI_NAME_URI = 0,
  EXI_NAME_LOCAL_NAME = 1,
};

struct RuntimeNameEntry {
  uint32_t kind;  // RuntimeNameKind
  uint16_t uriId;
  uint16_t localNameId;
};

struct RuntimeNameTable {
  RuntimeNameEntry entries[kExiRuntimeNameEntries];
  uint16_t addedUris;
  uint16_t addedLocalNames;
};

struct StringValueTable {
  uint16_t numberOfGlobalStrings;
  uint16_t localCountSize;           // counters available, one per qname ID
  uint16_t* numberOfLocalStrings;    // caller's counters
};

// String values learnt in the current document, so that a value hit can be
// resolved. Values beyond the pool are still counted (the identifier widths
// depend on the counts) but a hit on them fails instead of giving stale text.
struct ExiValuePoolEntry {
  uint16_t qnameId;
  uint16_t localId;
  uint16_t start;
  uint16_t length;
};

struct ExiValuePool {
  ExiValuePoolEntry entries[kExiValuePoolEntries];
  uint16_t entryCount;
  uint16_t charCount;
  uint32_t chars[kExiValuePoolChars];
};

struct RuntimeGrammarEntry {
  uint16_t qnameId;
  uint16_t learnedCount;  // first-level productions of the state
  uint32_t xsiTypeCode;   // learned count when xsi:type was learnt, else 0
  uint32_t contentFlag;   // 0 start-tag state, 1 content state
};

struct ExiGrammar;  // constant grammar tables (EXICoder.h)

struct ExiCoderState {
  int16_t grammarStack[kExiStackSize];
  uint16_t elementStack[kExiStackSize];
  uint16_t stackIndex;
  uint32_t eventCode;
  PrepopulatedNameTable nameTablePrepopulated;
  RuntimeNameTable nameTableRuntime;
  uint16_t numberOfQNames;
  StringValueTable stringTable;
  uint16_t numberOfRuntimeGrammars;
  RuntimeGrammarEntry runtimeGrammars[kExiRuntimeGrammarEntries];
  // The grammar the state walks, the qnames learnt in this document, the
  // last event read and the string values learnt in this document.
  const ExiGrammar* grammar;
  EQName addedQNames[kExiMaxAddedQNames];
  uint32_t currentEvent;
  EQName lastQName;
  ExiValuePool valuePool;
};
