// String values against the value partitions of the EXI string table.
//
// Every literal of length above 0 that the decoder reads is learnt: it is
// counted in the global partition and in the local partition of its qname
// and, while the coder state's pool has room, its characters are kept so
// that a later hit on it can be resolved. A hit on a value that could not be
// kept fails; it never yields characters of another value.
#pragma once

#include "EXITypes.h"

// Local string-value counters handed to each decoder and encoder set-up,
// one per qname ID of the largest grammar.
constexpr uint16_t kExiLocalStringCounters = 546;
extern uint16_t numberOfLocalStringsDecode[kExiLocalStringCounters];
extern uint16_t numberOfLocalStringsEncode[kExiLocalStringCounters];

int32_t decodeStringValue(BitStream* stream, ExiCoderState* state, uint16_t qnameId,
                          ExiStringValue* value);
int32_t encodeStringValue(BitStream* stream, ExiCoderState* state, uint16_t qnameId,
                          const ExiStringValue* value);
