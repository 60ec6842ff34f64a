#include "EXIDecoder.h"

#include "BitInputStream.h"
#include "DecoderChannel.h"
#include "EXICoder.h"
#include "NameTable.h"
#include "StringTable.h"

namespace {

uint16_t topElement(const ExiCoderState* state) {
  return state->elementStack[state->stackIndex];
}

// Built-in grammar of an undeclared element: only the escape is accepted
// at the first level.
int32_t nextBuiltInEvent(BitStream* stream, ExiCoderState* state, uint32_t* event) {
  RuntimeGrammarEntry* entry = exiRuntimeGrammar(state, exiTopGrammar(state));
  if (entry == nullptr) {
    return EXI_ERROR_EVENT_CODE_LEVEL1;
  }
  uint32_t code = 0;
  int32_t rc = exiDecodeCode(stream, static_cast<uint32_t>(entry->learnedCount) + 1, &code);
  if (rc != EXI_OK) {
    return rc;
  }
  if (code != entry->learnedCount) {
    return EXI_ERROR_EVENT_CODE_LEVEL1;
  }
  static constexpr uint32_t kStartTag[] = {EXI_EVENT_END_ELEMENT_UNDECLARED,
                                           EXI_EVENT_ATTRIBUTE_GENERIC_UNDECLARED,
                                           EXI_EVENT_START_ELEMENT_GENERIC_UNDECLARED,
                                           EXI_EVENT_CHARACTERS_GENERIC_UNDECLARED};
  static constexpr uint32_t kContent[] = {EXI_EVENT_START_ELEMENT_GENERIC_UNDECLARED,
                                          EXI_EVENT_CHARACTERS_GENERIC_UNDECLARED};
  const uint32_t* list = entry->contentFlag == 0 ? kStartTag : kContent;
  uint32_t count = entry->contentFlag == 0 ? 4 : 2;
  rc = exiDecodeCode(stream, count, &code);
  if (rc != EXI_OK) {
    return rc;
  }
  *event = list[code];
  return EXI_OK;
}

int32_t nextSecondLevelEvent(BitStream* stream, ExiCoderState* state, const ExiGrammarState* st,
                             uint32_t* event) {
  uint32_t events[kExiMaxSecondLevel];
  uint32_t m = exiSecondLevelEvents(state, st, events);
  uint32_t code = 0;
  int32_t rc = exiDecodeCode(stream, m, &code);
  if (rc != EXI_OK) {
    return rc;
  }
  if (code >= m) {
    return EXI_ERROR_EVENT_CODE_LEVEL2;
  }
  *event = events[code];
  if (*event == EXI_EVENT_ATTRIBUTE_INVALID_VALUE) {
    // Third level: which declared attribute carries the untyped value.
    rc = exiDecodeCode(stream, exiDeclaredAttributes(state, st) + 1, &code);
    if (rc != EXI_OK) {
      return rc;
    }
    state->eventCode = code;
  }
  return EXI_OK;
}

// The n-th declared attribute production of a state.
const ExiProduction* declaredAttribute(const ExiCoderState* state, const ExiGrammarState* st,
                                       uint32_t index) {
  for (uint32_t c = 0; c < st->count; ++c) {
    const ExiProduction* p = exiProduction(state, st, c);
    if (p->event == EXI_EVENT_ATTRIBUTE && index-- == 0) {
      return p;
    }
  }
  return nullptr;
}

int32_t decodeUntypedString(BitStream* stream, ExiCoderState* state, uint16_t qnameId,
                            ExiValue* value) {
  value->type = EXI_VALUE_STRING;
  return decodeStringValue(stream, state, qnameId, &value->string);
}

}  // namespace

int32_t exiDecodeTypedValue(BitStream* stream, ExiCoderState* state, const ExiValueCoding& coding,
                            uint16_t qnameId, ExiValue* value) {
  value->type = coding.type;
  uint32_t raw = 0;
  int32_t rc = EXI_OK;
  switch (coding.type) {
    case EXI_VALUE_BINARY_BASE64:
    case EXI_VALUE_BINARY_HEX:
      return decodeBinary(stream, &value->binary);
    case EXI_VALUE_BOOLEAN:
      return decodeBoolean(stream, &value->boolean);
    case EXI_VALUE_DECIMAL:
      return decodeDecimal(stream, &value->decimal);
    case EXI_VALUE_FLOAT:
      return decodeFloat(stream, &value->floatValue);
    case EXI_VALUE_NBIT_INTEGER: {
      rc = decodeNBitUnsignedInteger(stream, coding.bits, &raw);
      if (rc != EXI_OK) {
        return rc;
      }
      int64_t v = static_cast<int64_t>(raw) + coding.lowerBound;
      if (v > coding.upperBound) {
        return EXI_ERROR_VALUE_OUT_OF_RANGE;
      }
      value->integer.kind = EXI_INT32;
      value->integer.val.int32 = static_cast<int32_t>(v);
      return EXI_OK;
    }
    case EXI_VALUE_UNSIGNED_INTEGER:
      return decodeUnsignedInteger(stream, &value->integer);
    case EXI_VALUE_INTEGER:
      return decodeInteger(stream, &value->integer);
    case EXI_VALUE_DATETIME:
      return decodeDateTime(stream, coding.dateTimeKind, &value->dateTime);
    case EXI_VALUE_STRING:
      return decodeStringValue(stream, state, qnameId, &value->string);
    case EXI_VALUE_ENUMERATION:
      rc = decodeNBitUnsignedInteger(stream, coding.bits, &raw);
      if (rc != EXI_OK) {
        return rc;
      }
      if (raw > static_cast<uint32_t>(coding.upperBound)) {
        return EXI_ERROR_VALUE_OUT_OF_RANGE;
      }
      value->enumeration = raw;
      return EXI_OK;
    default:
      return EXI_ERROR_LIST_NOT_SUPPORTED;
  }
}

int32_t exiDecodeNextEvent(BitStream* stream, ExiCoderState* state, uint32_t* event) {
  state->eventCode = 0;
  state->currentEvent = EXI_EVENT_NO_EVENT;
  *event = EXI_EVENT_NO_EVENT;
  uint32_t ev = EXI_EVENT_NO_EVENT;
  int32_t rc = EXI_OK;
  int16_t g = exiTopGrammar(state);
  if (g < 0) {
    rc = nextBuiltInEvent(stream, state, &ev);
  } else {
    const ExiGrammarState* st = exiGrammarState(state, g);
    if (st == nullptr) {
      return EXI_ERROR_EVENT_CODE_LEVEL1;
    }
    uint32_t code = 0;
    rc = decodeNBitUnsignedInteger(stream, st->width, &code);
    if (rc != EXI_OK) {
      return rc;
    }
    if (code < st->count) {
      ev = exiProduction(state, st, code)->event;
      state->eventCode = code;
    } else if (code == st->count && st->secondLevel != EXI_SECOND_NONE) {
      rc = nextSecondLevelEvent(stream, state, st, &ev);
    } else {
      rc = EXI_ERROR_EVENT_CODE_LEVEL1;
    }
  }
  if (rc != EXI_OK) {
    return rc;
  }
  state->currentEvent = ev;
  *event = ev;
  return EXI_OK;
}

int32_t exiDecodeStartDocument(BitStream* /*stream*/, ExiCoderState* state) {
  uint32_t code = 0;
  const ExiProduction* p = exiFindProduction(state, exiGrammarState(state, exiTopGrammar(state)),
                                             EXI_EVENT_START_DOCUMENT, kExiAnyQName, &code);
  if (p == nullptr) {
    return EXI_ERROR_START_DOCUMENT;
  }
  exiTopGrammar(state) = p->next;
  return EXI_OK;
}

int32_t exiDecodeEndDocument(BitStream* /*stream*/, ExiCoderState* state) {
  uint32_t code = 0;
  if (exiFindProduction(state, exiGrammarState(state, exiTopGrammar(state)), EXI_EVENT_END_DOCUMENT,
                        kExiAnyQName, &code) == nullptr) {
    return EXI_ERROR_END_DOCUMENT;
  }
  return EXI_OK;
}

int32_t exiDecodeStartElement(BitStream* stream, ExiCoderState* state, uint16_t* qnameId) {
  const ExiGrammarState* st = exiGrammarState(state, exiTopGrammar(state));
  const ExiProduction* p = exiProduction(state, st, state->eventCode);
  EQName name{};
  int32_t rc = EXI_OK;
  switch (state->currentEvent) {
    case EXI_EVENT_START_ELEMENT:
      if (p == nullptr || p->event != EXI_EVENT_START_ELEMENT) {
        return EXI_ERROR_START_ELEMENT;
      }
      *qnameId = p->qnameId;
      exiTopGrammar(state) = p->next;
      return exi__PushStack(state, p->pushed, p->qnameId);
    case EXI_EVENT_START_ELEMENT_GENERIC:
      if (p == nullptr || p->event != EXI_EVENT_START_ELEMENT_GENERIC) {
        return EXI_ERROR_START_ELEMENT;
      }
      rc = exiDecodeQName(stream, state, &name, qnameId);
      if (rc != EXI_OK) {
        return rc;
      }
      exiTopGrammar(state) = p->next;
      return exi__RetrieveAndPushGlobalGrammar(state, *qnameId);
    case EXI_EVENT_START_ELEMENT_GENERIC_UNDECLARED:
      rc = exiDecodeQName(stream, state, &name, qnameId);
      if (rc == EXI_OK) rc = exi__MoveToElementContentRule(state);
      if (rc == EXI_OK) rc = exi__RetrieveAndPushGlobalGrammar(state, *qnameId);
      return rc;
    default:
      return EXI_ERROR_START_ELEMENT;
  }
}

int32_t exiDecodeEndElement(BitStream* /*stream*/, ExiCoderState* state, uint16_t* qnameId) {
  if (state->currentEvent == EXI_EVENT_END_ELEMENT_UNDECLARED && exiTopGrammar(state) < 0) {
    return EXI_ERROR_UNDECLARED_END_BUILTIN;
  }
  if (state->stackIndex == 0) {
    return EXI_ERROR_OUT_OF_BOUNDS;
  }
  *qnameId = topElement(state);
  return exi__PopStack(state);
}

int32_t exiDecodeCharacters(BitStream* stream, ExiCoderState* state, ExiValue* value) {
  const ExiGrammarState* st = exiGrammarState(state, exiTopGrammar(state));
  const ExiProduction* p = exiProduction(state, st, state->eventCode);
  int32_t rc = EXI_OK;
  switch (state->currentEvent) {
    case EXI_EVENT_CHARACTERS:
    case EXI_EVENT_CHARACTERS_GENERIC:
      if (p == nullptr || p->event != state->currentEvent) {
        return EXI_ERROR_CHARACTERS;
      }
      rc = exiDecodeTypedValue(stream, state, p->coding, topElement(state), value);
      if (rc == EXI_OK) {
        exiTopGrammar(state) = p->next;
      }
      return rc;
    case EXI_EVENT_CHARACTERS_GENERIC_UNDECLARED:
      if (exiTopGrammar(state) < 0) {
        return EXI_ERROR_UNTYPED_CHARS_BUILTIN;
      }
      rc = exi__MoveToElementContentRule(state);
      if (rc != EXI_OK) {
        return rc;
      }
      return decodeUntypedString(stream, state, topElement(state), value);
    default:
      return EXI_ERROR_CHARACTERS;
  }
}

int32_t exiDecodeAttribute(BitStream* stream, ExiCoderState* state, uint16_t* qnameId,
                           ExiValue* value) {
  const ExiGrammarState* st = exiGrammarState(state, exiTopGrammar(state));
  const ExiProduction* p = nullptr;
  EQName name{};
  int32_t rc = EXI_OK;
  switch (state->currentEvent) {
    case EXI_EVENT_ATTRIBUTE:
      p = exiProduction(state, st, state->eventCode);
      if (p == nullptr || p->event != EXI_EVENT_ATTRIBUTE) {
        return EXI_ERROR_ATTRIBUTE;
      }
      *qnameId = p->qnameId;
      rc = exiDecodeTypedValue(stream, state, p->coding, p->qnameId, value);
      break;
    case EXI_EVENT_ATTRIBUTE_INVALID_VALUE:
      p = st == nullptr ? nullptr : declaredAttribute(state, st, state->eventCode);
      if (p == nullptr) {
        return EXI_ERROR_ATTRIBUTE;
      }
      *qnameId = p->qnameId;
      rc = decodeUntypedString(stream, state, p->qnameId, value);
      break;
    case EXI_EVENT_ATTRIBUTE_GENERIC:
    case EXI_EVENT_ATTRIBUTE_GENERIC_UNDECLARED:
      rc = exiDecodeQName(stream, state, &name, qnameId);
      if (rc == EXI_OK) rc = exi__LearnAttribute(state, *qnameId, name.uriId, name.localNameId);
      if (rc == EXI_OK) rc = exiDecodeAttributeGenericValue(stream, state, *qnameId, name, value);
      return rc;
    default:
      return EXI_ERROR_ATTRIBUTE;
  }
  exiTopGrammar(state) = p->next;
  return rc;
}

int32_t exiDecodeAttributeGenericValue(BitStream* stream, ExiCoderState* state, uint16_t qnameId,
                                       EQName name, ExiValue* value) {
  if (name.uriId == kExiXsiUri && name.localNameId == kExiXsiTypeLocalName) {
    return exiDecodeAttributeXsiType(stream, state, value);
  }
  return decodeUntypedString(stream, state, qnameId, value);
}

int32_t exiDecodeAttributeXsiType(BitStream* stream, ExiCoderState* state, ExiValue* value) {
  EQName type{};
  uint16_t typeQName = 0;
  int32_t rc = exiDecodeQName(stream, state, &type, &typeQName);
  if (rc != EXI_OK) {
    return rc;
  }
  value->type = EXI_VALUE_QNAME;
  value->qname = ExiQNameValue{type.uriId, type.localNameId};
  return exi__HandleXsiType(state, value->qname);
}

int32_t exiDecodeAttributeXsiNil(BitStream* stream, ExiCoderState* /*state*/, ExiValue* value) {
  value->type = EXI_VALUE_BOOLEAN;
  int32_t rc = decodeBoolean(stream, &value->boolean);
  if (rc == EXI_OK && value->boolean != 0) {
    rc = exi__HandleXsiNilTrue();
  }
  return rc;
}

int32_t exiGetLastQName(const ExiCoderState* state, EQName* name) {
  *name = state->lastQName;
  return EXI_OK;
}
