#include "EXIEncoder.h"

#include "BitOutputStream.h"
#include "EXICoder.h"
#include "EncoderChannel.h"
#include "NameTable.h"
#include "StringTable.h"

namespace {

const ExiGrammarState* currentState(const ExiCoderState* state) {
  return exiGrammarState(state, state->grammarStack[state->stackIndex]);
}

// A declared attribute whose value comes as a string where the schema
// types it otherwise: the escape, AT(qname) with an untyped value at the
// second level, the attribute's position among the state's declared
// attributes at the third level, then the string.
int32_t encodeUntypedAttribute(BitStream* stream, ExiCoderState* state, const ExiGrammarState* st,
                               const ExiProduction* p, uint32_t code, const ExiValue* value) {
  uint32_t events[kExiMaxSecondLevel];
  uint32_t m = exiSecondLevelEvents(state, st, events);
  uint32_t second = 0;
  while (second < m && events[second] != EXI_EVENT_ATTRIBUTE_INVALID_VALUE) {
    ++second;
  }
  if (second == m) {
    return EXI_ERROR_UNSUPPORTED_EVENT;
  }
  // Attribute productions come first in a state, so the first-level code
  // is also the position among the declared attributes.
  int32_t rc = encodeNBitUnsignedInteger(stream, st->width, st->count);
  if (rc == EXI_OK) rc = exiEncodeCode(stream, m, second);
  if (rc == EXI_OK) rc = exiEncodeCode(stream, exiDeclaredAttributes(state, st) + 1, code);
  if (rc == EXI_OK) rc = encodeStringValue(stream, state, p->qnameId, &value->string);
  exiTopGrammar(state) = p->next;
  return rc;
}

}  // namespace

int32_t exiEncodeTypedValue(BitStream* stream, ExiCoderState* state, const ExiValueCoding& coding,
                            uint16_t qnameId, const ExiValue* value) {
  int64_t v = 0;
  int32_t rc = EXI_OK;
  switch (coding.type) {
    case EXI_VALUE_BINARY_BASE64:
    case EXI_VALUE_BINARY_HEX:
      return encodeBinary(stream, &value->binary);
    case EXI_VALUE_BOOLEAN:
      return encodeBoolean(stream, value->boolean);
    case EXI_VALUE_DECIMAL:
      return encodeDecimal(stream, &value->decimal);
    case EXI_VALUE_FLOAT:
      return encodeFloat(stream, &value->floatValue);
    case EXI_VALUE_NBIT_INTEGER:
      rc = exiIntegerToInt64(&value->integer, &v);
      if (rc != EXI_OK) {
        return rc;
      }
      if ((value->integer.kind == EXI_UINT64 && value->integer.val.uint64 > INT64_MAX) ||
          v < coding.lowerBound || v > coding.upperBound) {
        return EXI_ERROR_VALUE_OUT_OF_RANGE;
      }
      return encodeNBitUnsignedInteger(stream, coding.bits,
                                       static_cast<uint32_t>(v - coding.lowerBound));
    case EXI_VALUE_UNSIGNED_INTEGER:
      return encodeUnsignedInteger(stream, &value->integer);
    case EXI_VALUE_INTEGER:
      return encodeInteger(stream, &value->integer);
    case EXI_VALUE_DATETIME:
      return encodeDateTime(stream, &value->dateTime);
    case EXI_VALUE_STRING:
      return encodeStringValue(stream, state, qnameId, &value->string);
    case EXI_VALUE_ENUMERATION:
      if (value->enumeration > static_cast<uint32_t>(coding.upperBound)) {
        return EXI_ERROR_VALUE_OUT_OF_RANGE;
      }
      return encodeNBitUnsignedInteger(stream, coding.bits, value->enumeration);
    default:
      return EXI_ERROR_LIST_NOT_SUPPORTED;
  }
}

int32_t exiEncodeStartDocument(BitStream* /*stream*/, ExiCoderState* state) {
  uint32_t code = 0;
  const ExiProduction* p = exiFindProduction(state, currentState(state), EXI_EVENT_START_DOCUMENT,
                                             kExiAnyQName, &code);
  if (p == nullptr) {
    return EXI_ERROR_START_DOCUMENT;
  }
  exiTopGrammar(state) = p->next;
  return EXI_OK;
}

int32_t exiEncodeEndDocument(BitStream* stream, ExiCoderState* state) {
  uint32_t code = 0;
  if (exiFindProduction(state, currentState(state), EXI_EVENT_END_DOCUMENT, kExiAnyQName, &code) ==
      nullptr) {
    return EXI_ERROR_END_DOCUMENT;
  }
  return encodeFinish(stream);
}

int32_t exiEncodeStartElement(BitStream* stream, ExiCoderState* state, uint16_t qnameId) {
  const ExiGrammarState* st = currentState(state);
  uint32_t code = 0;
  if (exiFindProduction(state, st, EXI_EVENT_START_ELEMENT, kExiAnyQName, &code) == nullptr) {
    return EXI_ERROR_UNSUPPORTED_EVENT;
  }
  const ExiProduction* p = exiFindProduction(state, st, EXI_EVENT_START_ELEMENT, qnameId, &code);
  if (p == nullptr) {
    return EXI_ERROR_START_ELEMENT;
  }
  int32_t rc = encodeNBitUnsignedInteger(stream, st->width, code);
  if (rc != EXI_OK) {
    return rc;
  }
  exiTopGrammar(state) = p->next;
  return exi__PushStack(state, p->pushed, qnameId);
}

int32_t exiEncodeEndElement(BitStream* stream, ExiCoderState* state) {
  const ExiGrammarState* st = currentState(state);
  uint32_t code = 0;
  if (exiFindProduction(state, st, EXI_EVENT_END_ELEMENT, kExiAnyQName, &code) == nullptr) {
    return EXI_ERROR_UNSUPPORTED_EVENT;
  }
  int32_t rc = encodeNBitUnsignedInteger(stream, st->width, code);
  if (rc != EXI_OK) {
    return rc;
  }
  return exi__PopStack(state);
}

int32_t exiEncodeCharacters(BitStream* stream, ExiCoderState* state, const ExiValue* value) {
  const ExiGrammarState* st = currentState(state);
  uint32_t code = 0;
  const ExiProduction* p =
      exiFindProduction(state, st, EXI_EVENT_CHARACTERS, kExiAnyQName, &code);
  if (p == nullptr) {
    p = exiFindProduction(state, st, EXI_EVENT_CHARACTERS_GENERIC, kExiAnyQName, &code);
  }
  if (p == nullptr) {
    return EXI_ERROR_CHARACTERS;
  }
  if (value->type != p->coding.type) {
    return EXI_ERROR_UNSUPPORTED_EVENT;
  }
  int32_t rc = encodeNBitUnsignedInteger(stream, st->width, code);
  if (rc != EXI_OK) {
    return rc;
  }
  rc = exiEncodeTypedValue(stream, state, p->coding,
                           state->elementStack[state->stackIndex], value);
  exiTopGrammar(state) = p->next;
  return rc;
}

int32_t exiEncodeAttribute(BitStream* stream, ExiCoderState* state, uint16_t qnameId,
                           const ExiValue* value) {
  const ExiGrammarState* st = currentState(state);
  uint32_t code = 0;
  const ExiProduction* p = exiFindProduction(state, st, EXI_EVENT_ATTRIBUTE, qnameId, &code);
  if (p == nullptr) {
    return EXI_ERROR_UNSUPPORTED_EVENT;
  }
  if (value->type != p->coding.type) {
    if (value->type != EXI_VALUE_STRING) {
      return EXI_ERROR_NOT_A_STRING;
    }
    return encodeUntypedAttribute(stream, state, st, p, code, value);
  }
  int32_t rc = encodeNBitUnsignedInteger(stream, st->width, code);
  if (rc != EXI_OK) {
    return rc;
  }
  rc = exiEncodeTypedValue(stream, state, p->coding, qnameId, value);
  exiTopGrammar(state) = p->next;
  return rc;
}

int32_t exiEncodeAttributeXsiType(BitStream* stream, ExiCoderState* state, ExiQNameValue type) {
  const ExiGrammarState* st = currentState(state);
  if (st == nullptr || st->secondLevel != EXI_SECOND_START_TAG) {
    return EXI_ERROR_XSI_TYPE;
  }
  uint32_t events[kExiMaxSecondLevel];
  uint32_t m = exiSecondLevelEvents(state, st, events);
  uint32_t second = 0;
  while (events[second] != EXI_EVENT_ATTRIBUTE_XSI_TYPE) {
    ++second;
  }
  int32_t rc = encodeNBitUnsignedInteger(stream, st->width, st->count);
  if (rc == EXI_OK) rc = exiEncodeCode(stream, m, second);
  if (rc == EXI_OK) rc = exiEncodeQNameHit(stream, state, EQName{type.uriId, type.localNameId});
  if (rc == EXI_OK) rc = exi__HandleXsiType(state, type);
  return rc;
}

int32_t exiEncodeAttributeXsiNil(BitStream* stream, ExiCoderState* /*state*/,
                                 const ExiValue* value) {
  if (value->boolean != 0) {
    return exi__HandleXsiNilTrue();
  }
  return encodeBoolean(stream, 0);
}

int32_t exiEncodeStartElementNS(BitStream*, ExiCoderState*, uint16_t) {
  return EXI_ERROR_UNSUPPORTED_EVENT;
}

int32_t exiEncodeStartElementGeneric(BitStream*, ExiCoderState*) {
  return EXI_ERROR_UNSUPPORTED_EVENT;
}

int32_t exiEncodeAttributeNS(BitStream*, ExiCoderState*, uint16_t) {
  return EXI_ERROR_UNSUPPORTED_EVENT;
}

int32_t exiEncodeAttributeGeneric(BitStream*, ExiCoderState*) {
  return EXI_ERROR_UNSUPPORTED_EVENT;
}
