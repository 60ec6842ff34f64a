// Names of the EXI string table: the prepopulated URI and local-name
// partitions, the names learnt during one document (runtime table) and the
// qname IDs that stand for (URI, local name) pairs.
#pragma once

#include "EXITypes.h"

int32_t exiGetEQName(const ExiCoderState* state, uint16_t qnameId, uint16_t* uriId,
                     uint16_t* localNameId);
int32_t exiGetQNameID(const ExiCoderState* state, uint16_t uriId, uint16_t localNameId,
                      uint16_t* qnameId);
int32_t exiAddEQName(ExiCoderState* state, uint16_t* qnameId, uint16_t uriId,
                     uint16_t localNameId);

int32_t exiInitNameTableRuntime(RuntimeNameTable* runtime);
int32_t exiGetUriSize(const PrepopulatedNameTable* prepopulated, const RuntimeNameTable* runtime,
                      uint16_t* count);
int32_t exiGetLocalNameSize(const PrepopulatedNameTable* prepopulated,
                            const RuntimeNameTable* runtime, uint16_t uriId, uint16_t* count);
int32_t exiAddUri(const PrepopulatedNameTable* prepopulated, RuntimeNameTable* runtime);
int32_t exiAddLocalName(const PrepopulatedNameTable* prepopulated, RuntimeNameTable* runtime,
                        uint16_t uriId, uint16_t* localNameId);

// Qualified names on the wire: decodes a URI and a local name (hit or
// literal; literals are learnt) and yields the pair and its qname ID.
int32_t exiDecodeQName(BitStream* stream, ExiCoderState* state, EQName* name, uint16_t* qnameId);
// Writes a known (URI, local name) pair as a URI hit and a local-name hit.
int32_t exiEncodeQNameHit(BitStream* stream, ExiCoderState* state, EQName name);
