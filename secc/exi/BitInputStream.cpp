#include "BitInputStream.h"

int32_t readBuffer(BitStream* stream) {
  if (stream->capacity != 0) {
    return EXI_OK;
  }
  if (*stream->pos >= stream->size) {
    return EXI_ERROR_INPUT_EXHAUSTED;
  }
  stream->buffer = stream->data[*stream->pos];
  ++*stream->pos;
  stream->capacity = 8;
  return EXI_OK;
}

int32_t readBits(BitStream* stream, uint32_t n, uint32_t* result) {
  // Most event codes and small values lie within the byte already read.
  if (n <= stream->capacity) {
    uint32_t shift = stream->capacity - n;
    *result = (static_cast<uint32_t>(stream->buffer) >> shift) & ((1u << n) - 1u);
    stream->capacity = static_cast<uint8_t>(shift);
    return EXI_OK;
  }
  if (n > 32) {
    return EXI_ERROR_OUT_OF_BOUNDS;
  }
  uint32_t value = 0;
  while (n > 0) {
    int32_t rc = readBuffer(stream);
    if (rc != EXI_OK) {
      return rc;
    }
    uint32_t take = n < stream->capacity ? n : stream->capacity;
    uint32_t shift = stream->capacity - take;
    uint32_t bits = (static_cast<uint32_t>(stream->buffer) >> shift) & ((1u << take) - 1u);
    // take is at most 8, so the shift of the accumulated value stays defined.
    value = static_cast<uint32_t>((static_cast<uint64_t>(value) << take) | bits);
    stream->capacity = static_cast<uint8_t>(shift);
    n -= take;
  }
  *result = value;
  return EXI_OK;
}

int32_t decode(BitStream* stream, uint8_t* octet) {
  uint32_t value = 0;
  int32_t rc = readBits(stream, 8, &value);
  if (rc == EXI_OK) {
    *octet = static_cast<uint8_t>(value);
  }
  return rc;
}

int32_t decodeBoolean(BitStream* stream, uint32_t* value) {
  return readBits(stream, 1, value);
}

int32_t decodeNBitUnsignedInteger(BitStream* stream, uint32_t n, uint32_t* value) {
  if (n == 0) {
    *value = 0;
    return EXI_OK;
  }
  return readBits(stream, n, value);
}
