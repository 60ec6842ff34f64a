#include "StringTable.h"

#include "BitInputStream.h"
#include "BitOutputStream.h"
#include "DecoderChannel.h"
#include "EXICoder.h"
#include "EncoderChannel.h"

uint16_t numberOfLocalStringsDecode[kExiLocalStringCounters];
uint16_t numberOfLocalStringsEncode[kExiLocalStringCounters];

namespace {

constexpr uint16_t kLiteralOffset = 2;

uint16_t localCount(const ExiCoderState* state, uint16_t qnameId) {
  const StringValueTable& t = state->stringTable;
  return qnameId < t.localCountSize ? t.numberOfLocalStrings[qnameId] : 0;
}

// Counts a literal in the global and local partitions and keeps its
// characters while the pool has room.
int32_t learnValue(ExiCoderState* state, uint16_t qnameId, const ExiCharBuffer& chars,
                   bool keep) {
  if (chars.length == 0) {
    return EXI_OK;
  }
  StringValueTable& t = state->stringTable;
  if (t.numberOfGlobalStrings == UINT16_MAX) {
    return EXI_ERROR_OUT_OF_BOUNDS;
  }
  uint16_t localId = 0;
  if (qnameId < t.localCountSize) {
    if (t.numberOfLocalStrings[qnameId] == UINT16_MAX) {
      return EXI_ERROR_OUT_OF_BOUNDS;
    }
    localId = t.numberOfLocalStrings[qnameId]++;
  }
  ExiValuePool& pool = state->valuePool;
  // Global identifiers equal pool indexes as long as every value was kept.
  if (keep && pool.entryCount == t.numberOfGlobalStrings && pool.entryCount < kExiValuePoolEntries &&
      chars.length <= kExiValuePoolChars - pool.charCount) {
    ExiValuePoolEntry& e = pool.entries[pool.entryCount++];
    e = ExiValuePoolEntry{qnameId, localId, pool.charCount, chars.length};
    for (uint16_t i = 0; i < chars.length; ++i) {
      pool.chars[pool.charCount + i] = chars.codePoints[i];
    }
    pool.charCount = static_cast<uint16_t>(pool.charCount + chars.length);
  }
  ++t.numberOfGlobalStrings;
  return EXI_OK;
}

int32_t copyPooled(const ExiCoderState* state, const ExiValuePoolEntry& e, ExiCharBuffer* chars) {
  if (e.length > chars->capacity) {
    chars->length = 0;
    return EXI_ERROR_STRING_TOO_LONG;
  }
  for (uint16_t i = 0; i < e.length; ++i) {
    chars->codePoints[i] = state->valuePool.chars[e.start + i];
  }
  chars->length = e.length;
  return EXI_OK;
}

int32_t readIdentifier(BitStream* stream, uint16_t count, uint32_t* id) {
  int32_t rc = exiDecodeCode(stream, count, id);
  if (rc == EXI_OK && *id >= count) rc = EXI_ERROR_OUT_OF_BOUNDS;
  return rc;
}

int32_t writeIdentifier(BitStream* stream, uint16_t count, uint32_t id) {
  if (id >= count) {
    return EXI_ERROR_OUT_OF_BOUNDS;
  }
  return exiEncodeCode(stream, count, id);
}

}  // namespace

int32_t decodeStringValue(BitStream* stream, ExiCoderState* state, uint16_t qnameId,
                          ExiStringValue* value) {
  uint16_t first = 0;
  int32_t rc = decodeUnsignedInteger16(stream, &first);
  if (rc != EXI_OK) {
    return rc;
  }
  const ExiValuePool& pool = state->valuePool;
  if (first == 0) {
    value->kind = EXI_STRING_LOCAL_HIT;
    if (qnameId >= state->stringTable.localCountSize) {
      return EXI_ERROR_OUT_OF_BOUNDS;
    }
    uint32_t id = 0;
    rc = readIdentifier(stream, localCount(state, qnameId), &id);
    if (rc != EXI_OK) {
      return rc;
    }
    value->localId = id;
    for (uint16_t i = 0; i < pool.entryCount; ++i) {
      if (pool.entries[i].qnameId == qnameId && pool.entries[i].localId == id) {
        return copyPooled(state, pool.entries[i], &value->chars);
      }
    }
    return EXI_ERROR_OUT_OF_BOUNDS;
  }
  if (first == 1) {
    value->kind = EXI_STRING_GLOBAL_HIT;
    uint32_t id = 0;
    rc = readIdentifier(stream, state->stringTable.numberOfGlobalStrings, &id);
    if (rc != EXI_OK) {
      return rc;
    }
    value->globalId = static_cast<uint16_t>(id);
    if (id >= pool.entryCount) {
      return EXI_ERROR_OUT_OF_BOUNDS;
    }
    return copyPooled(state, pool.entries[id], &value->chars);
  }
  value->kind = EXI_STRING_LITERAL;
  rc = decodeStringOnly(stream, static_cast<uint16_t>(first - kLiteralOffset), &value->chars);
  if (rc != EXI_OK) {
    return rc;
  }
  return learnValue(state, qnameId, value->chars, true);
}

int32_t encodeStringValue(BitStream* stream, ExiCoderState* state, uint16_t qnameId,
                          const ExiStringValue* value) {
  int32_t rc = EXI_OK;
  switch (value->kind) {
    case EXI_STRING_LITERAL:
      rc = encodeUnsignedInteger32(stream, value->chars.length + static_cast<uint32_t>(kLiteralOffset));
      if (rc == EXI_OK) rc = encodeUCSCharacters(stream, value->chars.codePoints, value->chars.length);
      // Counted like the decoder counts it, so that hits keep their widths.
      if (rc == EXI_OK) rc = learnValue(state, qnameId, value->chars, false);
      return rc;
    case EXI_STRING_LOCAL_HIT:
      if (qnameId >= state->stringTable.localCountSize) {
        return EXI_ERROR_OUT_OF_BOUNDS;
      }
      rc = encodeUnsignedInteger32(stream, 0);
      if (rc == EXI_OK) rc = writeIdentifier(stream, localCount(state, qnameId), value->localId);
      return rc;
    case EXI_STRING_GLOBAL_HIT:
      rc = encodeUnsignedInteger32(stream, 1);
      if (rc == EXI_OK) {
        rc = writeIdentifier(stream, state->stringTable.numberOfGlobalStrings, value->globalId);
      }
      return rc;
    default:
      return EXI_ERROR_STRING_KIND;
  }
}
