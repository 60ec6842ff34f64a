// Decoder of supportedAppProtocol documents, one event per call.
#pragma once

#include "EXITypes.h"

int32_t exiappHandInitDecoder(BitStream* stream, ExiCoderState* state,
                              RuntimeNameTable runtimeTable, StringValueTable stringTable);
int32_t exiappHandDecodeNextEvent(BitStream* stream, ExiCoderState* state, uint32_t* event);
int32_t exiappHandDecodeStartDocument(BitStream* stream, ExiCoderState* state);
int32_t exiappHandDecodeEndDocument(BitStream* stream, ExiCoderState* state);
int32_t exiappHandDecodeStartElement(BitStream* stream, ExiCoderState* state, uint16_t* qnameId);
int32_t exiappHandDecodeEndElement(BitStream* stream, ExiCoderState* state, uint16_t* qnameId);
int32_t exiappHandDecodeCharacters(BitStream* stream, ExiCoderState* state, ExiValue* value);
int32_t exiappHandDecodeAttribute(BitStream* stream, ExiCoderState* state, uint16_t* qnameId,
                                  ExiValue* value);
int32_t exiappHandDecodeAttributeXsiNil(BitStream* stream, ExiCoderState* state,
                                        ExiValue* value);
int32_t exiappHandDecodeListValue(BitStream* stream, ExiCoderState* state, ExiValue* value);
int32_t exiappHandGetLastQName(const ExiCoderState* state, EQName* name);

int32_t exiappHandGetQNameID(const ExiCoderState* state, uint16_t uriId, uint16_t localNameId,
                             uint16_t* qnameId);
int32_t exiappHandAddEQName(ExiCoderState* state, uint16_t* qnameId, uint16_t uriId,
                            uint16_t localNameId);
int32_t exiappHandGetEQName(const ExiCoderState* state, uint16_t qnameId, uint16_t* uriId,
                            uint16_t* localNameId);
