#include "NameTable.h"

#include "BitInputStream.h"
#include "BitOutputStream.h"
#include "DecoderChannel.h"
#include "EXICoder.h"
#include "EncoderChannel.h"

namespace {

// Longest URI and local-name literals a document may carry.
constexpr uint16_t kUriLiteralMax = 35;
constexpr uint16_t kLocalNameLiteralMax = 23;

EQName qnameAt(const ExiCoderState* state, uint16_t qnameId) {
  const ExiGrammar* g = state->grammar;
  if (qnameId < g->prepopulatedQNames) {
    return g->qnames[qnameId];
  }
  return state->addedQNames[qnameId - g->prepopulatedQNames];
}

int32_t nextFreeRuntimeEntry(RuntimeNameTable* runtime, RuntimeNameEntry** entry) {
  uint32_t used = static_cast<uint32_t>(runtime->addedUris) + runtime->addedLocalNames;
  if (used >= kExiRuntimeNameEntries) {
    return EXI_ERROR_OUT_OF_BOUNDS;
  }
  *entry = &runtime->entries[used];
  return EXI_OK;
}

// Reads and throws away a literal of `length` code points; the name itself is
// never stored, only its number.
int32_t skipLiteral(BitStream* stream, uint16_t length, uint16_t limit, int32_t tooLong) {
  if (length > limit) {
    return tooLong;
  }
  for (uint16_t i = 0; i < length; ++i) {
    uint32_t codePoint = 0;
    int32_t rc = decodeUnsignedInteger32(stream, &codePoint);
    if (rc != EXI_OK) {
      return rc;
    }
  }
  return EXI_OK;
}

}  // namespace

int32_t exiGetEQName(const ExiCoderState* state, uint16_t qnameId, uint16_t* uriId,
                     uint16_t* localNameId) {
  if (qnameId >= state->numberOfQNames) {
    return EXI_ERROR_OUT_OF_BOUNDS;
  }
  EQName name = qnameAt(state, qnameId);
  *uriId = name.uriId;
  *localNameId = name.localNameId;
  return EXI_OK;
}

int32_t exiGetQNameID(const ExiCoderState* state, uint16_t uriId, uint16_t localNameId,
                      uint16_t* qnameId) {
  for (uint16_t id = 0; id < state->numberOfQNames; ++id) {
    EQName name = qnameAt(state, id);
    if (name.uriId == uriId && name.localNameId == localNameId) {
      *qnameId = id;
      return EXI_OK;
    }
  }
  return EXI_ERROR_OUT_OF_BOUNDS;
}

int32_t exiAddEQName(ExiCoderState* state, uint16_t* qnameId, uint16_t uriId,
                     uint16_t localNameId) {
  const ExiGrammar* g = state->grammar;
  uint32_t count = state->numberOfQNames;
  // The last slot of the table is never taken.
  if (count + 1 >= g->qnameCapacity ||
      count - g->prepopulatedQNames >= static_cast<uint32_t>(kExiMaxAddedQNames)) {
    return EXI_ERROR_OUT_OF_BOUNDS;
  }
  state->addedQNames[count - g->prepopulatedQNames] = EQName{uriId, localNameId};
  *qnameId = static_cast<uint16_t>(count);
  state->numberOfQNames = static_cast<uint16_t>(count + 1);
  return EXI_OK;
}

int32_t exiInitNameTableRuntime(RuntimeNameTable* runtime) {
  runtime->addedUris = 0;
  runtime->addedLocalNames = 0;
  return EXI_OK;
}

int32_t exiGetUriSize(const PrepopulatedNameTable* prepopulated, const RuntimeNameTable* runtime,
                      uint16_t* count) {
  *count = static_cast<uint16_t>(prepopulated->numberOfUris + runtime->addedUris);
  return EXI_OK;
}

int32_t exiGetLocalNameSize(const PrepopulatedNameTable* prepopulated,
                            const RuntimeNameTable* runtime, uint16_t uriId, uint16_t* count) {
  if (uriId >= prepopulated->numberOfUris + runtime->addedUris) {
    return EXI_ERROR_OUT_OF_BOUNDS;
  }
  uint16_t n = uriId < prepopulated->numberOfUris ? prepopulated->localNames[uriId] : 0;
  uint32_t used = static_cast<uint32_t>(runtime->addedUris) + runtime->addedLocalNames;
  for (uint32_t i = 0; i < used && i < kExiRuntimeNameEntries; ++i) {
    const RuntimeNameEntry& e = runtime->entries[i];
    if (e.kind == EXI_NAME_LOCAL_NAME && e.uriId == uriId) {
      ++n;
    }
  }
  *count = n;
  return EXI_OK;
}

int32_t exiAddUri(const PrepopulatedNameTable* prepopulated, RuntimeNameTable* runtime) {
  RuntimeNameEntry* entry = nullptr;
  int32_t rc = nextFreeRuntimeEntry(runtime, &entry);
  if (rc != EXI_OK) {
    return rc;
  }
  entry->kind = EXI_NAME_URI;
  entry->uriId = static_cast<uint16_t>(prepopulated->numberOfUris + runtime->addedUris);
  entry->localNameId = 0;
  ++runtime->addedUris;
  return EXI_OK;
}

int32_t exiAddLocalName(const PrepopulatedNameTable* prepopulated, RuntimeNameTable* runtime,
                        uint16_t uriId, uint16_t* localNameId) {
  uint16_t count = 0;
  int32_t rc = exiGetLocalNameSize(prepopulated, runtime, uriId, &count);
  if (rc != EXI_OK) {
    return rc;
  }
  RuntimeNameEntry* entry = nullptr;
  rc = nextFreeRuntimeEntry(runtime, &entry);
  if (rc != EXI_OK) {
    return rc;
  }
  entry->kind = EXI_NAME_LOCAL_NAME;
  entry->uriId = uriId;
  entry->localNameId = count;
  ++runtime->addedLocalNames;
  *localNameId = count;
  return EXI_OK;
}

int32_t exiDecodeQName(BitStream* stream, ExiCoderState* state, EQName* name, uint16_t* qnameId) {
  const PrepopulatedNameTable* pre = &state->nameTablePrepopulated;
  RuntimeNameTable* rt = &state->nameTableRuntime;
  uint16_t uriCount = 0;
  exiGetUriSize(pre, rt, &uriCount);
  uint32_t uriCode = 0;
  int32_t rc = exiDecodeCode(stream, static_cast<uint32_t>(uriCount) + 1, &uriCode);
  if (rc != EXI_OK) {
    return rc;
  }
  if (uriCode == 0) {
    uint16_t length = 0;
    rc = decodeUnsignedInteger16(stream, &length);
    if (rc == EXI_OK) rc = skipLiteral(stream, length, kUriLiteralMax, EXI_ERROR_STRING_TOO_LONG);
    if (rc == EXI_OK) rc = exiAddUri(pre, rt);
    if (rc != EXI_OK) {
      return rc;
    }
    name->uriId = uriCount;
  } else if (uriCode - 1 < uriCount) {
    name->uriId = static_cast<uint16_t>(uriCode - 1);
  } else {
    return EXI_ERROR_OUT_OF_BOUNDS;
  }

  uint16_t localCode = 0;
  rc = decodeUnsignedInteger16(stream, &localCode);
  if (rc != EXI_OK) {
    return rc;
  }
  if (localCode == 0) {
    uint16_t localCount = 0;
    rc = exiGetLocalNameSize(pre, rt, name->uriId, &localCount);
    uint32_t localId = 0;
    if (rc == EXI_OK) rc = exiDecodeCode(stream, localCount, &localId);
    if (rc != EXI_OK) {
      return rc;
    }
    if (localId >= localCount) {
      return EXI_ERROR_OUT_OF_BOUNDS;
    }
    name->localNameId = static_cast<uint16_t>(localId);
    rc = exiGetQNameID(state, name->uriId, name->localNameId, qnameId);
  } else {
    rc = skipLiteral(stream, static_cast<uint16_t>(localCode - 1), kLocalNameLiteralMax,
                     EXI_ERROR_OUT_OF_BOUNDS);
    if (rc == EXI_OK) rc = exiAddLocalName(pre, rt, name->uriId, &name->localNameId);
    if (rc == EXI_OK) rc = exiAddEQName(state, qnameId, name->uriId, name->localNameId);
  }
  if (rc == EXI_OK) {
    state->lastQName = *name;
  }
  return rc;
}

int32_t exiEncodeQNameHit(BitStream* stream, ExiCoderState* state, EQName name) {
  const PrepopulatedNameTable* pre = &state->nameTablePrepopulated;
  const RuntimeNameTable* rt = &state->nameTableRuntime;
  uint16_t uriCount = 0;
  exiGetUriSize(pre, rt, &uriCount);
  uint16_t localCount = 0;
  int32_t rc = exiGetLocalNameSize(pre, rt, name.uriId, &localCount);
  if (rc != EXI_OK) {
    return rc;
  }
  if (name.localNameId >= localCount) {
    return EXI_ERROR_OUT_OF_BOUNDS;
  }
  rc = exiEncodeCode(stream, static_cast<uint32_t>(uriCount) + 1, name.uriId + 1u);
  if (rc == EXI_OK) rc = encodeUnsignedInteger32(stream, 0);
  if (rc == EXI_OK) rc = exiEncodeCode(stream, localCount, name.localNameId);
  return rc;
}
