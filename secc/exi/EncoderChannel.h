// Writing the typed values of EXI 1.0 (bit-packed) and the EXI header.
#pragma once

#include "EXITypes.h"

int32_t writeEXIHeader(BitStream* stream);

int32_t encodeUnsignedInteger(BitStream* stream, const ExiInteger* value);
int32_t encodeUnsignedInteger32(BitStream* stream, uint32_t value);
int32_t encodeUnsignedInteger64(BitStream* stream, uint64_t value);

int32_t encodeInteger(BitStream* stream, const ExiInteger* value);
int32_t encodeInteger32(BitStream* stream, int32_t value);
int32_t encodeInteger64(BitStream* stream, int64_t value);

int32_t encodeFloat(BitStream* stream, const ExiFloat* value);
int32_t encodeDecimal(BitStream* stream, const ExiDecimal* value);
int32_t encodeDateTime(BitStream* stream, const ExiDateTime* value);
int32_t encodeBinary(BitStream* stream, const ExiByteBuffer* value);

int32_t encodeUCSCharacters(BitStream* stream, const uint32_t* codePoints, uint16_t count);
int32_t encodeString(BitStream* stream, const ExiCharBuffer* chars);

// The value of an integer record widened to 64 bits by its kind
// (EXI_ERROR_INTEGER_KIND for an unknown kind).
int32_t exiIntegerToInt64(const ExiInteger* value, int64_t* out);
