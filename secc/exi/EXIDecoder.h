// Event decoder over the grammar tables of a coder state: one event per
// call, pulled by the caller. Set up the state with the grammar's init
// function first; then repeatedly read the next event and consume it with
// the operation of that event.
#pragma once

#include "EXITypes.h"

int32_t exiDecodeNextEvent(BitStream* stream, ExiCoderState* state, uint32_t* event);
int32_t exiDecodeStartDocument(BitStream* stream, ExiCoderState* state);
int32_t exiDecodeEndDocument(BitStream* stream, ExiCoderState* state);
int32_t exiDecodeStartElement(BitStream* stream, ExiCoderState* state, uint16_t* qnameId);
int32_t exiDecodeEndElement(BitStream* stream, ExiCoderState* state, uint16_t* qnameId);
int32_t exiDecodeCharacters(BitStream* stream, ExiCoderState* state, ExiValue* value);
int32_t exiDecodeAttribute(BitStream* stream, ExiCoderState* state, uint16_t* qnameId,
                           ExiValue* value);
int32_t exiDecodeAttributeGenericValue(BitStream* stream, ExiCoderState* state, uint16_t qnameId,
                                       EQName name, ExiValue* value);
int32_t exiDecodeAttributeXsiType(BitStream* stream, ExiCoderState* state, ExiValue* value);
int32_t exiDecodeAttributeXsiNil(BitStream* stream, ExiCoderState* state, ExiValue* value);
int32_t exiGetLastQName(const ExiCoderState* state, EQName* name);

// Reads one value of the given coding into the value record; strings are
// looked up and learnt under qnameId.
struct ExiValueCoding;
int32_t exiDecodeTypedValue(BitStream* stream, ExiCoderState* state, const ExiValueCoding& coding,
                            uint16_t qnameId, ExiValue* value);
