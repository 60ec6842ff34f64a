#include "BitOutputStream.h"

namespace {

int32_t storeByte(BitStream* stream) {
  if (*stream->pos >= stream->size) {
    return EXI_ERROR_OUTPUT_FULL;
  }
  stream->data[*stream->pos] = stream->buffer;
  ++*stream->pos;
  stream->buffer = 0;
  stream->capacity = 8;
  return EXI_OK;
}

}  // namespace

int32_t writeBits(BitStream* stream, uint32_t n, uint32_t value) {
  // Most event codes and small values fit the free bits of the byte.
  if (n < stream->capacity) {
    stream->buffer = static_cast<uint8_t>((static_cast<uint32_t>(stream->buffer) << n) | (value & ((1u << n) - 1u)));
    stream->capacity = static_cast<uint8_t>(stream->capacity - n);
    return EXI_OK;
  }
  if (n > 32) {
    return EXI_ERROR_OUT_OF_BOUNDS;
  }
  while (n > 0) {
    if (stream->capacity == 0) {
      // A complete byte is still waiting from a store that was refused.
      int32_t rc = storeByte(stream);
      if (rc != EXI_OK) {
        return rc;
      }
    }
    uint32_t put = n < stream->capacity ? n : stream->capacity;
    uint32_t bits = static_cast<uint32_t>(value >> (n - put)) & ((1u << put) - 1u);
    stream->buffer = static_cast<uint8_t>((static_cast<uint32_t>(stream->buffer) << put) | bits);
    stream->capacity = static_cast<uint8_t>(stream->capacity - put);
    n -= put;
    if (stream->capacity == 0) {
      int32_t rc = storeByte(stream);
      if (rc != EXI_OK) {
        return rc;
      }
    }
  }
  return EXI_OK;
}

int32_t flush(BitStream* stream) {
  if (stream->capacity == 8) {
    return EXI_OK;
  }
  if (stream->capacity == 0) {
    return storeByte(stream);
  }
  return writeBits(stream, stream->capacity, 0);
}

int32_t encodeFinish(BitStream* stream) {
  return flush(stream);
}

int32_t encode(BitStream* stream, uint8_t octet) {
  return writeBits(stream, 8, octet);
}

int32_t encodeBoolean(BitStream* stream, uint32_t value) {
  return writeBits(stream, 1, value != 0 ? 1u : 0u);
}

int32_t encodeNBitUnsignedInteger(BitStream* stream, uint32_t n, uint32_t value) {
  return writeBits(stream, n, value);
}
