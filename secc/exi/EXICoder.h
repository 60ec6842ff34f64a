// Grammar runtime shared by every EXI grammar of the codec: the constant
// grammar tables a coder state walks, the grammar and element stacks,
// element-content moves, global and built-in element grammars, xsi:type
// switches and attribute learning, and the coding-length helpers.
//
// A grammar is a set of data tables (ExiGrammar). The event decoder and
// encoder (EXIDecoder, EXIEncoder) interpret them, so a further grammar only
// has to supply its tables.
#pragma once

#include "EXITypes.h"

enum ExiSecondLevel : uint8_t {
  EXI_SECOND_NONE = 0,       // no escape at the first level
  EXI_SECOND_START_TAG = 1,  // first state of an element grammar
  EXI_SECOND_ATTRIBUTES = 2, // later state in which attributes may still come
  EXI_SECOND_CONTENT = 3,    // element content
};

// How a character or attribute value is coded.
struct ExiValueCoding {
  uint8_t type;          // ExiValueType
  uint8_t bits;          // n-bit integer and enumeration width
  int32_t lowerBound;    // n-bit integer: smallest value
  int32_t upperBound;    // n-bit integer: largest value; enumeration: last index
  uint8_t dateTimeKind;  // ExiDateTimeKind
};

// One first-level production. event is the ExiEvent it reports:
// start/end document, start element (qname, next, pushed), start element
// through a declared wildcard (next), end element, characters (coding,
// next) or attribute (qname, coding, next).
struct ExiProduction {
  uint8_t event;
  uint16_t qnameId;
  int16_t next;
  int16_t pushed;
  ExiValueCoding coding;
};

struct ExiGrammarState {
  uint16_t firstProduction;  // index into ExiGrammar::productions
  uint8_t count;             // declared first-level productions
  uint8_t width;             // first-level code width in bits
  uint8_t secondLevel;       // ExiSecondLevel; anything but NONE adds the escape code `count`
};

struct ExiGlobalElement {
  uint16_t qnameId;
  int16_t state;
};

struct ExiTypeGrammar {
  uint16_t uriId;
  uint16_t localNameId;
  int16_t state;
};

struct ExiContentMove {
  int16_t from;
  int16_t to;
};

struct ExiGrammar {
  PrepopulatedNameTable names;
  const EQName* qnames;         // prepopulated qnames, indexed by qname ID
  uint16_t prepopulatedQNames;
  uint16_t qnameCapacity;       // prepopulated plus learnable slots
  uint16_t localStringCounters; // string-value counters, one per qname ID
  const ExiGrammarState* states;
  uint16_t stateCount;          // states 0 .. stateCount - 1
  const ExiProduction* productions;
  const ExiGlobalElement* globalElements;
  uint16_t globalElementCount;
  const ExiTypeGrammar* types;
  uint16_t typeCount;
  const ExiContentMove* contentMoves;
  uint16_t contentMoveCount;
};

// Coding lengths.
int32_t exiGetCodingLength(uint32_t count, uint16_t* bits);
uint32_t numberOf7BitBlocksToRepresent(uint32_t value);

// One of `alternatives` values (an event code or a compact identifier) in
// the fewest bits that can hold them all.
int32_t exiDecodeCode(BitStream* stream, uint32_t alternatives, uint32_t* code);
int32_t exiEncodeCode(BitStream* stream, uint32_t alternatives, uint32_t code);

// The xsi:type attribute: XML Schema instance URI, local name "type".
constexpr uint16_t kExiXsiUri = 2;
constexpr uint16_t kExiXsiTypeLocalName = 1;

// The current grammar state: the top level of the grammar stack.
inline int16_t& exiTopGrammar(ExiCoderState* state) {
  return state->grammarStack[state->stackIndex];
}

// Sets up a coder state for one document of the grammar: document state at
// level 0, the runtime name table and string-value table copied in (no
// global strings, all local counters cleared), no runtime grammars.
void exiInitCoderState(ExiCoderState* state, const ExiGrammar* grammar,
                       const RuntimeNameTable* runtimeTable, StringValueTable stringTable);

// Stacks and grammar moves.
int32_t exi__PushStack(ExiCoderState* state, int16_t grammar, uint16_t qnameId);
int32_t exi__PopStack(ExiCoderState* state);
int32_t exi__RetrieveAndPushGlobalGrammar(ExiCoderState* state, uint16_t qnameId);
int32_t exi__MoveToElementContentRule(ExiCoderState* state);
int32_t exi__HandleXsiType(ExiCoderState* state, ExiQNameValue type);
int32_t exi__LearnAttribute(ExiCoderState* state, uint16_t qnameId, uint16_t uriId,
                            uint16_t localNameId);
int exi__IsStartContent(int16_t grammar);
int32_t exi__HandleXsiNilTrue();
int32_t exi__IncrementStringValueCount(ExiCoderState* state, uint16_t qnameId);

// Runtime grammar entry behind a negative grammar number, or nullptr.
RuntimeGrammarEntry* exiRuntimeGrammar(ExiCoderState* state, int16_t grammar);

// Table look-ups shared by the event decoder and encoder, several per event:
// inline, so that a look-up is a bounds check and an index.
inline const ExiGrammarState* exiGrammarState(const ExiCoderState* state, int16_t grammar) {
  if (grammar < 0 || grammar >= state->grammar->stateCount) {
    return nullptr;
  }
  return &state->grammar->states[grammar];
}
inline const ExiProduction* exiProduction(const ExiCoderState* state, const ExiGrammarState* st,
                                          uint32_t code) {
  if (st == nullptr || code >= st->count) {
    return nullptr;
  }
  return &state->grammar->productions[st->firstProduction + code];
}
// First production of the given event kind (and qname, for start element
// and attribute when qnameId is not kExiAnyQName); its code in *code.
constexpr uint32_t kExiAnyQName = 0xFFFFFFFFu;
const ExiProduction* exiFindProduction(const ExiCoderState* state, const ExiGrammarState* st,
                                       uint32_t event, uint32_t qnameId, uint32_t* code);
// Events of the second level of a schema state, in code order.
constexpr int kExiMaxSecondLevel = 7;
uint32_t exiSecondLevelEvents(const ExiCoderState* state, const ExiGrammarState* st,
                              uint32_t events[kExiMaxSecondLevel]);
// Number of declared attribute productions of a state.
uint32_t exiDeclaredAttributes(const ExiCoderState* state, const ExiGrammarState* st);
