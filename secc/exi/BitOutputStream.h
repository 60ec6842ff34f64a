// Writing bits, n-bit values, octets and booleans to an EXI bit stream.
#pragma once

#include "EXITypes.h"

int32_t writeBits(BitStream* stream, uint32_t n, uint32_t value);
int32_t flush(BitStream* stream);
int32_t encodeFinish(BitStream* stream);
int32_t encode(BitStream* stream, uint8_t octet);
int32_t encodeBoolean(BitStream* stream, uint32_t value);
int32_t encodeNBitUnsignedInteger(BitStream* stream, uint32_t n, uint32_t value);
