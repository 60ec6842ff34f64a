// Reading the typed values of EXI 1.0 (bit-packed) and the EXI header.
#pragma once

#include "EXITypes.h"

int32_t readEXIHeader(BitStream* stream);

int32_t decodeUnsignedInteger(BitStream* stream, ExiInteger* value);
int32_t decodeUnsignedInteger16(BitStream* stream, uint16_t* value);
int32_t decodeUnsignedInteger32(BitStream* stream, uint32_t* value);
int32_t decodeUnsignedInteger64(BitStream* stream, uint64_t* value);

int32_t decodeInteger(BitStream* stream, ExiInteger* value);
int32_t decodeInteger16(BitStream* stream, int16_t* value);
int32_t decodeInteger32(BitStream* stream, int32_t* value);
int32_t decodeInteger64(BitStream* stream, int64_t* value);

int32_t decodeFloat(BitStream* stream, ExiFloat* value);
int32_t decodeDecimal(BitStream* stream, ExiDecimal* value);
int32_t decodeDateTime(BitStream* stream, uint32_t kind, ExiDateTime* value);
int32_t decodeBinary(BitStream* stream, ExiByteBuffer* value);

int32_t decodeCharacters(BitStream* stream, uint16_t count, uint32_t* codePoints);
int32_t decodeStringOnly(BitStream* stream, uint16_t length, ExiCharBuffer* chars);
int32_t decodeString(BitStream* stream, ExiCharBuffer* chars);
