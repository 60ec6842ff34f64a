// Event encoder over the grammar tables of a coder state: the caller pushes
// one event per call in document order; each call writes the event code of
// the matching declared production and, for values, the typed value.
#pragma once

#include "EXITypes.h"

int32_t exiEncodeStartDocument(BitStream* stream, ExiCoderState* state);
int32_t exiEncodeEndDocument(BitStream* stream, ExiCoderState* state);
int32_t exiEncodeStartElement(BitStream* stream, ExiCoderState* state, uint16_t qnameId);
int32_t exiEncodeEndElement(BitStream* stream, ExiCoderState* state);
int32_t exiEncodeCharacters(BitStream* stream, ExiCoderState* state, const ExiValue* value);
int32_t exiEncodeAttribute(BitStream* stream, ExiCoderState* state, uint16_t qnameId,
                           const ExiValue* value);
int32_t exiEncodeAttributeXsiType(BitStream* stream, ExiCoderState* state, ExiQNameValue type);
int32_t exiEncodeAttributeXsiNil(BitStream* stream, ExiCoderState* state, const ExiValue* value);

// Undeclared names are never written: these return EXI_ERROR_UNSUPPORTED_EVENT.
int32_t exiEncodeStartElementNS(BitStream* stream, ExiCoderState* state, uint16_t uriId);
int32_t exiEncodeStartElementGeneric(BitStream* stream, ExiCoderState* state);
int32_t exiEncodeAttributeNS(BitStream* stream, ExiCoderState* state, uint16_t uriId);
int32_t exiEncodeAttributeGeneric(BitStream* stream, ExiCoderState* state);

struct ExiValueCoding;
// Writes one value of the given coding; bounded integers and enumeration
// indexes outside their range are refused, never cut to their low bits.
int32_t exiEncodeTypedValue(BitStream* stream, ExiCoderState* state, const ExiValueCoding& coding,
                            uint16_t qnameId, const ExiValue* value);
