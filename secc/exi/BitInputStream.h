// Reading bits, n-bit values, octets and booleans from an EXI bit stream.
#pragma once

#include "EXITypes.h"

int32_t readBuffer(BitStream* stream);
int32_t readBits(BitStream* stream, uint32_t n, uint32_t* result);
int32_t decode(BitStream* stream, uint8_t* octet);
int32_t decodeBoolean(BitStream* stream, uint32_t* value);
int32_t decodeNBitUnsignedInteger(BitStream* stream, uint32_t n, uint32_t* value);
