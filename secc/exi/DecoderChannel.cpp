#include "DecoderChannel.h"

#include <climits>

#include "BitInputStream.h"

namespace {

constexpr uint32_t kMaxOctets = 10;
constexpr uint8_t kCookieFirstByte = 0x24;  // '$'
constexpr uint8_t kOptionsBit = 0x20;
constexpr int32_t kYearOffset = 2000;
constexpr int32_t kTimezoneOffset = 896;

// Reads one unsigned integer into at most `width` bits. Groups are only
// accumulated while they fit; a set bit beyond the width, or more than ten
// octets, fails instead of being dropped. `octets` reports the count read.
int32_t readUnsigned(BitStream* stream, uint32_t width, uint64_t* value, uint32_t* octets) {
  uint64_t result = 0;
  for (uint32_t k = 0; k < kMaxOctets; ++k) {
    uint8_t octet = 0;
    int32_t rc = decode(stream, &octet);
    if (rc != EXI_OK) {
      return rc;
    }
    uint64_t group = octet & 0x7Fu;
    uint32_t shift = 7u * k;
    if (group != 0) {
      if (shift >= width || (width - shift < 7 && (group >> (width - shift)) != 0)) {
        return EXI_ERROR_INTEGER_TOO_LARGE;
      }
      result |= group << shift;
    }
    if ((octet & 0x80u) == 0) {
      *value = result;
      if (octets != nullptr) {
        *octets = k + 1;
      }
      return EXI_OK;
    }
  }
  return EXI_ERROR_INTEGER_TOO_LARGE;
}

// Signed integer of a fixed width: sign bit, then a magnitude that must keep
// the result inside the width (the negative form is the ones' complement).
int32_t readSigned(BitStream* stream, uint32_t width, int64_t* value, uint32_t* /*octets*/) {
  uint32_t negative = 0;
  int32_t rc = decodeBoolean(stream, &negative);
  if (rc != EXI_OK) {
    return rc;
  }
  uint64_t magnitude = 0;
  rc = readUnsigned(stream, width - 1, &magnitude, nullptr);
  if (rc != EXI_OK) {
    return rc;
  }
  *value = negative != 0 ? -static_cast<int64_t>(magnitude) - 1 : static_cast<int64_t>(magnitude);
  return EXI_OK;
}

// Reads a value of the given width with reader and narrows it to T; the
// reader has already refused values beyond the width.
template <typename Wide, typename T>
int32_t readNarrow(BitStream* stream, uint32_t width,
                   int32_t (*reader)(BitStream*, uint32_t, Wide*, uint32_t*), T* value) {
  Wide wide = 0;
  int32_t rc = reader(stream, width, &wide, nullptr);
  if (rc == EXI_OK) {
    *value = static_cast<T>(wide);
  }
  return rc;
}

int32_t decodeUnsignedIntegerSigned(BitStream* stream, bool negative, ExiInteger* value) {
  uint64_t magnitude = 0;
  uint32_t octets = 0;
  int32_t rc = readUnsigned(stream, 64, &magnitude, &octets);
  if (rc != EXI_OK) {
    return rc;
  }
  if (!negative) {
    if (octets == 1) {
      value->kind = EXI_UINT8;
      value->val.uint8 = static_cast<uint8_t>(magnitude);
    } else if (octets == 2 || (octets <= 4 && magnitude <= 0xFFFFu)) {
      value->kind = EXI_UINT16;
      value->val.uint16 = static_cast<uint16_t>(magnitude);
    } else if (magnitude <= 0xFFFFFFFFu) {
      value->kind = EXI_UINT32;
      value->val.uint32 = static_cast<uint32_t>(magnitude);
    } else {
      value->kind = EXI_UINT64;
      value->val.uint64 = magnitude;
    }
    return EXI_OK;
  }
  if (magnitude > static_cast<uint64_t>(INT64_MAX) || octets >= kMaxOctets) {
    return EXI_ERROR_INTEGER_TOO_LARGE;
  }
  int64_t v = -static_cast<int64_t>(magnitude) - 1;
  if (octets == 1) {
    value->kind = EXI_INT8;
    value->val.int8 = static_cast<int8_t>(v);
  } else if (octets <= 4 && v >= INT16_MIN) {
    value->kind = EXI_INT16;
    value->val.int16 = static_cast<int16_t>(v);
  } else if (v >= INT32_MIN) {
    value->kind = EXI_INT32;
    value->val.int32 = static_cast<int32_t>(v);
  } else {
    value->kind = EXI_INT64;
    value->val.int64 = v;
  }
  return EXI_OK;
}

}  // namespace

int32_t readEXIHeader(BitStream* stream) {
  uint32_t header = 0;
  int32_t rc = readBits(stream, 8, &header);
  if (rc != EXI_OK) {
    return rc;
  }
  if (header == kCookieFirstByte) {
    return EXI_ERROR_COOKIE;
  }
  if ((header & kOptionsBit) != 0) {
    return EXI_ERROR_HEADER_OPTIONS;
  }
  return EXI_OK;
}

int32_t decodeUnsignedInteger(BitStream* stream, ExiInteger* value) {
  return decodeUnsignedIntegerSigned(stream, false, value);
}

int32_t decodeUnsignedInteger16(BitStream* stream, uint16_t* value) {
  return readNarrow(stream, 16, readUnsigned, value);
}

int32_t decodeUnsignedInteger32(BitStream* stream, uint32_t* value) {
  return readNarrow(stream, 32, readUnsigned, value);
}

int32_t decodeUnsignedInteger64(BitStream* stream, uint64_t* value) {
  return readUnsigned(stream, 64, value, nullptr);
}

int32_t decodeInteger(BitStream* stream, ExiInteger* value) {
  uint32_t negative = 0;
  int32_t rc = decodeBoolean(stream, &negative);
  if (rc != EXI_OK) {
    return rc;
  }
  return decodeUnsignedIntegerSigned(stream, negative != 0, value);
}

int32_t decodeInteger16(BitStream* stream, int16_t* value) {
  return readNarrow(stream, 16, readSigned, value);
}

int32_t decodeInteger32(BitStream* stream, int32_t* value) {
  return readNarrow(stream, 32, readSigned, value);
}

int32_t decodeInteger64(BitStream* stream, int64_t* value) {
  return readSigned(stream, 64, value, nullptr);
}

int32_t decodeFloat(BitStream* stream, ExiFloat* value) {
  int32_t rc = decodeInteger64(stream, &value->mantissa);
  if (rc != EXI_OK) {
    return rc;
  }
  return decodeInteger16(stream, &value->exponent);
}

int32_t decodeDecimal(BitStream* stream, ExiDecimal* value) {
  int32_t rc = decodeBoolean(stream, &value->negative);
  if (rc != EXI_OK) {
    return rc;
  }
  rc = decodeUnsignedInteger(stream, &value->integral);
  if (rc != EXI_OK) {
    return rc;
  }
  return decodeUnsignedInteger(stream, &value->reverseFraction);
}

int32_t decodeDateTime(BitStream* stream, uint32_t kind, ExiDateTime* value) {
  if (kind > EXI_DATETIME_TIME) {
    return EXI_ERROR_DATETIME_KIND_DECODE;
  }
  *value = ExiDateTime{};
  value->kind = kind;
  int32_t rc = EXI_OK;
  if (kind <= EXI_DATETIME_DATETIME) {
    int32_t year = 0;
    rc = decodeInteger32(stream, &year);
    if (rc != EXI_OK) {
      return rc;
    }
    if (year > INT32_MAX - kYearOffset) {
      return EXI_ERROR_INTEGER_TOO_LARGE;
    }
    value->year = year + kYearOffset;
  }
  if (kind != EXI_DATETIME_GYEAR && kind != EXI_DATETIME_TIME) {
    rc = decodeNBitUnsignedInteger(stream, 9, &value->monthDay);
    if (rc != EXI_OK) {
      return rc;
    }
  }
  if (kind == EXI_DATETIME_DATETIME || kind == EXI_DATETIME_TIME) {
    rc = decodeNBitUnsignedInteger(stream, 17, &value->time);
    if (rc != EXI_OK) {
      return rc;
    }
    rc = decodeBoolean(stream, &value->fractionalSecsPresent);
    if (rc != EXI_OK) {
      return rc;
    }
    if (value->fractionalSecsPresent != 0) {
      rc = decodeUnsignedInteger32(stream, &value->fractionalSecs);
      if (rc != EXI_OK) {
        return rc;
      }
    }
  }
  rc = decodeBoolean(stream, &value->timezonePresent);
  if (rc != EXI_OK) {
    return rc;
  }
  if (value->timezonePresent != 0) {
    uint32_t tz = 0;
    rc = decodeNBitUnsignedInteger(stream, 11, &tz);
    if (rc != EXI_OK) {
      return rc;
    }
    value->timezone = static_cast<int32_t>(tz) - kTimezoneOffset;
  }
  return EXI_OK;
}

int32_t decodeBinary(BitStream* stream, ExiByteBuffer* value) {
  uint16_t length = 0;
  int32_t rc = decodeUnsignedInteger16(stream, &length);
  if (rc != EXI_OK) {
    value->length = 0;
    return rc;
  }
  if (length > value->capacity) {
    value->length = 0;
    return EXI_ERROR_BINARY_TOO_LONG;
  }
  value->length = length;
  for (uint16_t i = 0; i < length; ++i) {
    rc = decode(stream, &value->data[i]);
    if (rc != EXI_OK) {
      return rc;
    }
  }
  return EXI_OK;
}

int32_t decodeCharacters(BitStream* stream, uint16_t count, uint32_t* codePoints) {
  for (uint16_t i = 0; i < count; ++i) {
    int32_t rc = decodeUnsignedInteger32(stream, &codePoints[i]);
    if (rc != EXI_OK) {
      return rc;
    }
  }
  return EXI_OK;
}

int32_t decodeStringOnly(BitStream* stream, uint16_t length, ExiCharBuffer* chars) {
  if (length > chars->capacity) {
    chars->length = 0;
    return EXI_ERROR_STRING_TOO_LONG;
  }
  int32_t rc = decodeCharacters(stream, length, chars->codePoints);
  chars->length = rc == EXI_OK ? length : 0;
  return rc;
}

int32_t decodeString(BitStream* stream, ExiCharBuffer* chars) {
  uint16_t length = 0;
  int32_t rc = decodeUnsignedInteger16(stream, &length);
  if (rc != EXI_OK) {
    chars->length = 0;
    return rc;
  }
  return decodeStringOnly(stream, length, chars);
}
