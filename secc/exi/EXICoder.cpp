#include "EXICoder.h"

#include "BitInputStream.h"
#include "BitOutputStream.h"

namespace {

constexpr uint16_t kSmallLengths[17] = {0, 0, 1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4};

}  // namespace

int32_t exiGetCodingLength(uint32_t count, uint16_t* bits) {
  if (count <= 16) {
    *bits = kSmallLengths[count];
    return EXI_OK;
  }
  if (count > 65536u) {
    return EXI_ERROR_TOO_MANY_ALTERNATIVES;
  }
  uint16_t n = 5;
  while ((1u << n) < count) {
    ++n;
  }
  *bits = n;
  return EXI_OK;
}

int32_t exiDecodeCode(BitStream* stream, uint32_t alternatives, uint32_t* code) {
  uint16_t bits = 0;
  int32_t rc = exiGetCodingLength(alternatives, &bits);
  if (rc != EXI_OK) {
    return rc;
  }
  return decodeNBitUnsignedInteger(stream, bits, code);
}

int32_t exiEncodeCode(BitStream* stream, uint32_t alternatives, uint32_t code) {
  uint16_t bits = 0;
  int32_t rc = exiGetCodingLength(alternatives, &bits);
  if (rc != EXI_OK) {
    return rc;
  }
  return encodeNBitUnsignedInteger(stream, bits, code);
}

uint32_t numberOf7BitBlocksToRepresent(uint32_t value) {
  if (value < 128u) return 1;
  if (value <= 0x3FFFu) return 2;
  if (value <= 0x1FFFFFu) return 3;
  if (value <= 0xFFFFFFFu) return 4;
  return 5;
}

void exiInitCoderState(ExiCoderState* state, const ExiGrammar* grammar,
                       const RuntimeNameTable* runtimeTable, StringValueTable stringTable) {
  state->stackIndex = 0;
  state->grammarStack[0] = 0;
  state->elementStack[0] = 0;
  state->eventCode = 0;
  state->nameTablePrepopulated = grammar->names;
  state->nameTableRuntime = *runtimeTable;
  state->numberOfQNames = grammar->prepopulatedQNames;
  stringTable.numberOfGlobalStrings = 0;
  if (stringTable.numberOfLocalStrings == nullptr) {
    stringTable.localCountSize = 0;
  }
  for (uint16_t i = 0; i < stringTable.localCountSize; ++i) {
    stringTable.numberOfLocalStrings[i] = 0;
  }
  state->stringTable = stringTable;
  state->numberOfRuntimeGrammars = 0;
  state->grammar = grammar;
  state->currentEvent = EXI_EVENT_NO_EVENT;
  state->lastQName = EQName{0, 0};
  state->valuePool.entryCount = 0;
  state->valuePool.charCount = 0;
}

int32_t exi__PushStack(ExiCoderState* state, int16_t grammar, uint16_t qnameId) {
  if (state->stackIndex >= kExiStackSize - 1) {
    return EXI_ERROR_STACK_OVERFLOW;
  }
  ++state->stackIndex;
  state->grammarStack[state->stackIndex] = grammar;
  state->elementStack[state->stackIndex] = qnameId;
  return EXI_OK;
}

int32_t exi__PopStack(ExiCoderState* state) {
  if (state->stackIndex == 0) {
    return EXI_ERROR_OUT_OF_BOUNDS;
  }
  --state->stackIndex;
  return EXI_OK;
}

int32_t exi__RetrieveAndPushGlobalGrammar(ExiCoderState* state, uint16_t qnameId) {
  const ExiGrammar* g = state->grammar;
  for (uint16_t i = 0; i < g->globalElementCount; ++i) {
    if (g->globalElements[i].qnameId == qnameId) {
      return exi__PushStack(state, g->globalElements[i].state, qnameId);
    }
  }
  for (uint16_t i = 0; i < state->numberOfRuntimeGrammars; i += 2) {
    if (state->runtimeGrammars[i].qnameId == qnameId) {
      return exi__PushStack(state, static_cast<int16_t>(~i), qnameId);
    }
  }
  uint16_t count = state->numberOfRuntimeGrammars;
  if (count + 2 > kExiRuntimeGrammarEntries - 1) {
    return EXI_ERROR_RUNTIME_GRAMMARS_FULL;
  }
  state->runtimeGrammars[count] = RuntimeGrammarEntry{qnameId, 0, 0, 0};
  state->runtimeGrammars[count + 1] = RuntimeGrammarEntry{qnameId, 1, 0, 1};
  state->numberOfRuntimeGrammars = static_cast<uint16_t>(count + 2);
  return exi__PushStack(state, static_cast<int16_t>(~count), qnameId);
}

int32_t exi__MoveToElementContentRule(ExiCoderState* state) {
  int16_t& g = exiTopGrammar(state);
  if (g < 0) {
    if (exi__IsStartContent(g)) {
      g = static_cast<int16_t>(g - 1);
    }
    return EXI_OK;
  }
  const ExiGrammar* grammar = state->grammar;
  if (g >= grammar->stateCount) {
    return EXI_ERROR_GRAMMAR_STATE;
  }
  for (uint16_t i = 0; i < grammar->contentMoveCount; ++i) {
    if (grammar->contentMoves[i].from == g) {
      g = grammar->contentMoves[i].to;
      break;
    }
  }
  return EXI_OK;
}

int32_t exi__HandleXsiType(ExiCoderState* state, ExiQNameValue type) {
  const ExiGrammar* g = state->grammar;
  for (uint16_t i = 0; i < g->typeCount; ++i) {
    if (g->types[i].uriId == type.uriId && g->types[i].localNameId == type.localNameId) {
      exiTopGrammar(state) = g->types[i].state;
      break;
    }
  }
  return EXI_OK;
}

RuntimeGrammarEntry* exiRuntimeGrammar(ExiCoderState* state, int16_t grammar) {
  if (grammar >= 0) {
    return nullptr;
  }
  int index = ~grammar;
  if (index >= state->numberOfRuntimeGrammars) {
    return nullptr;
  }
  return &state->runtimeGrammars[index];
}

int32_t exi__LearnAttribute(ExiCoderState* state, uint16_t /*qnameId*/, uint16_t uriId,
                            uint16_t localNameId) {
  RuntimeGrammarEntry* entry = exiRuntimeGrammar(state, exiTopGrammar(state));
  if (entry == nullptr) {
    return EXI_OK;
  }
  if (uriId == kExiXsiUri && localNameId == kExiXsiTypeLocalName) {
    if (entry->xsiTypeCode == 0) {
      ++entry->learnedCount;
      entry->xsiTypeCode = entry->learnedCount;
    }
  } else {
    ++entry->learnedCount;
  }
  return EXI_OK;
}

int exi__IsStartContent(int16_t grammar) {
  return (static_cast<uint16_t>(grammar) & 1u) != 0 ? 1 : 0;
}

int32_t exi__HandleXsiNilTrue() {
  return EXI_ERROR_XSI_NIL_TRUE;
}

int32_t exi__IncrementStringValueCount(ExiCoderState* /*state*/, uint16_t /*qnameId*/) {
  return EXI_OK;
}

const ExiProduction* exiFindProduction(const ExiCoderState* state, const ExiGrammarState* st,
                                       uint32_t event, uint32_t qnameId, uint32_t* code) {
  if (st == nullptr) {
    return nullptr;
  }
  const ExiProduction* first = &state->grammar->productions[st->firstProduction];
  for (uint32_t c = 0; c < st->count; ++c) {
    const ExiProduction* p = first + c;
    if (p->event == event && (qnameId == kExiAnyQName || p->qnameId == qnameId)) {
      *code = c;
      return p;
    }
  }
  return nullptr;
}

uint32_t exiDeclaredAttributes(const ExiCoderState* state, const ExiGrammarState* st) {
  uint32_t n = 0;
  for (uint32_t c = 0; st != nullptr && c < st->count; ++c) {
    if (exiProduction(state, st, c)->event == EXI_EVENT_ATTRIBUTE) {
      ++n;
    }
  }
  return n;
}

uint32_t exiSecondLevelEvents(const ExiCoderState* state, const ExiGrammarState* st,
                              uint32_t events[kExiMaxSecondLevel]) {
  uint32_t m = 0;
  uint32_t code = 0;
  if (st->secondLevel == EXI_SECOND_NONE) {
    return 0;
  }
  if (exiFindProduction(state, st, EXI_EVENT_END_ELEMENT, kExiAnyQName, &code) == nullptr) {
    events[m++] = EXI_EVENT_END_ELEMENT_UNDECLARED;
  }
  if (st->secondLevel == EXI_SECOND_START_TAG) {
    events[m++] = EXI_EVENT_ATTRIBUTE_XSI_TYPE;
    events[m++] = EXI_EVENT_ATTRIBUTE_XSI_NIL;
  }
  if (st->secondLevel != EXI_SECOND_CONTENT) {
    events[m++] = EXI_EVENT_ATTRIBUTE_GENERIC_UNDECLARED;
    events[m++] = EXI_EVENT_ATTRIBUTE_INVALID_VALUE;
  }
  events[m++] = EXI_EVENT_START_ELEMENT_GENERIC_UNDECLARED;
  events[m++] = EXI_EVENT_CHARACTERS_GENERIC_UNDECLARED;
  return m;
}
