// Encoder of supportedAppProtocol documents, one event per call.
#pragma once

#include "EXITypes.h"

int32_t exiappHandInitEncoder(BitStream* stream, ExiCoderState* state,
                              RuntimeNameTable runtimeTable, StringValueTable stringTable);
int32_t exiappHandEncodeStartDocument(BitStream* stream, ExiCoderState* state);
int32_t exiappHandEncodeEndDocument(BitStream* stream, ExiCoderState* state);
int32_t exiappHandEncodeStartElement(BitStream* stream, ExiCoderState* state, uint16_t qnameId);
int32_t exiappHandEncodeEndElement(BitStream* stream, ExiCoderState* state);
int32_t exiappHandEncodeCharacters(BitStream* stream, ExiCoderState* state, const ExiValue* value);
int32_t exiappHandEncodeAttributeXsiType(BitStream* stream, ExiCoderState* state,
                                         ExiQNameValue type);
int32_t exiappHandEncodeAttributeXsiNil(BitStream* stream, ExiCoderState* state,
                                        const ExiValue* value);
int32_t exiappHandEncodeListValue(BitStream* stream, ExiCoderState* state, const ExiValue* value);
int32_t exiappHandEncodeAttribute(BitStream* stream, ExiCoderState* state, uint16_t qnameId,
                                  const ExiValue* value);
int32_t exiappHandEncodeStartElementNS(BitStream* stream, ExiCoderState* state, uint16_t uriId);
int32_t exiappHandEncodeStartElementGeneric(BitStream* stream, ExiCoderState* state);
int32_t exiappHandEncodeAttributeNS(BitStream* stream, ExiCoderState* state, uint16_t uriId);
int32_t exiappHandEncodeAttributeGeneric(BitStream* stream, ExiCoderState* state);
