#include "EncoderChannel.h"

#include "BitOutputStream.h"
#include "EXICoder.h"

namespace {

constexpr uint8_t kHeaderByte = 0x80;  // distinguishing bits 10, no options, version 1
constexpr int64_t kYearOffset = 2000;
constexpr int64_t kTimezoneOffset = 896;

}  // namespace

int32_t writeEXIHeader(BitStream* stream) {
  return writeBits(stream, 8, kHeaderByte);
}

int32_t encodeUnsignedInteger32(BitStream* stream, uint32_t value) {
  uint32_t blocks = numberOf7BitBlocksToRepresent(value);
  for (uint32_t i = 0; i < blocks; ++i) {
    uint32_t octet = value & 0x7Fu;
    value >>= 7;
    if (i + 1 < blocks) {
      octet |= 0x80u;
    }
    int32_t rc = encode(stream, static_cast<uint8_t>(octet));
    if (rc != EXI_OK) {
      return rc;
    }
  }
  return EXI_OK;
}

int32_t encodeUnsignedInteger64(BitStream* stream, uint64_t value) {
  while (true) {
    uint32_t octet = static_cast<uint32_t>(value & 0x7Fu);
    value >>= 7;
    if (value != 0) {
      octet |= 0x80u;
    }
    int32_t rc = encode(stream, static_cast<uint8_t>(octet));
    if (rc != EXI_OK || value == 0) {
      return rc;
    }
  }
}

int32_t exiIntegerToInt64(const ExiInteger* value, int64_t* out) {
  switch (value->kind) {
    case EXI_UINT8: *out = value->val.uint8; return EXI_OK;
    case EXI_UINT16: *out = value->val.uint16; return EXI_OK;
    case EXI_UINT32: *out = value->val.uint32; return EXI_OK;
    case EXI_UINT64: *out = static_cast<int64_t>(value->val.uint64); return EXI_OK;
    case EXI_INT8: *out = value->val.int8; return EXI_OK;
    case EXI_INT16: *out = value->val.int16; return EXI_OK;
    case EXI_INT32: *out = value->val.int32; return EXI_OK;
    case EXI_INT64: *out = value->val.int64; return EXI_OK;
    default: return EXI_ERROR_INTEGER_KIND;
  }
}

int32_t encodeUnsignedInteger(BitStream* stream, const ExiInteger* value) {
  if (value->kind == EXI_UINT64) {
    return encodeUnsignedInteger64(stream, value->val.uint64);
  }
  int64_t v = 0;
  int32_t rc = exiIntegerToInt64(value, &v);
  if (rc != EXI_OK) {
    return rc;
  }
  if (v < 0) {
    return EXI_ERROR_NEGATIVE_UNSIGNED;
  }
  if (value->kind == EXI_INT64) {
    return encodeUnsignedInteger64(stream, static_cast<uint64_t>(v));
  }
  return encodeUnsignedInteger32(stream, static_cast<uint32_t>(v));
}

int32_t encodeInteger64(BitStream* stream, int64_t value) {
  if (value < 0) {
    int32_t rc = encodeBoolean(stream, 1);
    if (rc != EXI_OK) {
      return rc;
    }
    return encodeUnsignedInteger64(stream, static_cast<uint64_t>(-(value + 1)));
  }
  int32_t rc = encodeBoolean(stream, 0);
  if (rc != EXI_OK) {
    return rc;
  }
  return encodeUnsignedInteger64(stream, static_cast<uint64_t>(value));
}

int32_t encodeInteger32(BitStream* stream, int32_t value) {
  return encodeInteger64(stream, value);
}

int32_t encodeInteger(BitStream* stream, const ExiInteger* value) {
  if (value->kind == EXI_UINT64) {
    int32_t rc = encodeBoolean(stream, 0);
    if (rc != EXI_OK) {
      return rc;
    }
    return encodeUnsignedInteger64(stream, value->val.uint64);
  }
  int64_t v = 0;
  int32_t rc = exiIntegerToInt64(value, &v);
  if (rc != EXI_OK) {
    return rc;
  }
  return encodeInteger64(stream, v);
}

int32_t encodeFloat(BitStream* stream, const ExiFloat* value) {
  int32_t rc = encodeInteger64(stream, value->mantissa);
  if (rc != EXI_OK) {
    return rc;
  }
  return encodeInteger32(stream, value->exponent);
}

int32_t encodeDecimal(BitStream* stream, const ExiDecimal* value) {
  int32_t rc = encodeBoolean(stream, value->negative);
  if (rc != EXI_OK) {
    return rc;
  }
  rc = encodeUnsignedInteger(stream, &value->integral);
  if (rc != EXI_OK) {
    return rc;
  }
  return encodeUnsignedInteger(stream, &value->reverseFraction);
}

int32_t encodeDateTime(BitStream* stream, const ExiDateTime* value) {
  uint32_t kind = value->kind;
  if (kind > EXI_DATETIME_TIME) {
    return EXI_ERROR_DATETIME_KIND_ENCODE;
  }
  int64_t timezone = static_cast<int64_t>(value->timezone) + kTimezoneOffset;
  if (value->monthDay >= (1u << 9) || value->time >= (1u << 17) ||
      (value->timezonePresent != 0 && (timezone < 0 || timezone >= (1 << 11)))) {
    return EXI_ERROR_VALUE_OUT_OF_RANGE;
  }
  int32_t rc = EXI_OK;
  if (kind <= EXI_DATETIME_DATETIME) {
    rc = encodeInteger64(stream, static_cast<int64_t>(value->year) - kYearOffset);
    if (rc != EXI_OK) {
      return rc;
    }
  }
  if (kind != EXI_DATETIME_GYEAR && kind != EXI_DATETIME_TIME) {
    rc = encodeNBitUnsignedInteger(stream, 9, value->monthDay);
    if (rc != EXI_OK) {
      return rc;
    }
  }
  if (kind == EXI_DATETIME_DATETIME || kind == EXI_DATETIME_TIME) {
    rc = encodeNBitUnsignedInteger(stream, 17, value->time);
    if (rc != EXI_OK) {
      return rc;
    }
    rc = encodeBoolean(stream, value->fractionalSecsPresent);
    if (rc != EXI_OK) {
      return rc;
    }
    if (value->fractionalSecsPresent != 0) {
      rc = encodeUnsignedInteger32(stream, value->fractionalSecs);
      if (rc != EXI_OK) {
        return rc;
      }
    }
  }
  rc = encodeBoolean(stream, value->timezonePresent);
  if (rc != EXI_OK || value->timezonePresent == 0) {
    return rc;
  }
  return encodeNBitUnsignedInteger(stream, 11, static_cast<uint32_t>(timezone));
}

int32_t encodeBinary(BitStream* stream, const ExiByteBuffer* value) {
  int32_t rc = encodeUnsignedInteger32(stream, value->length);
  for (uint16_t i = 0; rc == EXI_OK && i < value->length; ++i) {
    rc = encode(stream, value->data[i]);
  }
  return rc;
}

int32_t encodeUCSCharacters(BitStream* stream, const uint32_t* codePoints, uint16_t count) {
  int32_t rc = EXI_OK;
  for (uint16_t i = 0; rc == EXI_OK && i < count; ++i) {
    rc = encodeUnsignedInteger32(stream, codePoints[i]);
  }
  return rc;
}

int32_t encodeString(BitStream* stream, const ExiCharBuffer* chars) {
  int32_t rc = encodeUnsignedInteger32(stream, chars->length);
  if (rc != EXI_OK) {
    return rc;
  }
  return encodeUCSCharacters(stream, chars->codePoints, chars->length);
}
