#include "appHandEXIEncoder.h"

#include "EXIEncoder.h"
#include "EncoderChannel.h"
#include "appHandEXICoder.h"

int32_t exiappHandInitEncoder(BitStream* stream, ExiCoderState* state,
                              RuntimeNameTable runtimeTable, StringValueTable stringTable) {
  exiInitCoderState(state, &appHandGrammar, &runtimeTable, stringTable);
  return writeEXIHeader(stream);
}

int32_t exiappHandEncodeStartDocument(BitStream* stream, ExiCoderState* state) {
  return exiEncodeStartDocument(stream, state);
}

int32_t exiappHandEncodeEndDocument(BitStream* stream, ExiCoderState* state) {
  return exiEncodeEndDocument(stream, state);
}

int32_t exiappHandEncodeStartElement(BitStream* stream, ExiCoderState* state, uint16_t qnameId) {
  return exiEncodeStartElement(stream, state, qnameId);
}

int32_t exiappHandEncodeEndElement(BitStream* stream, ExiCoderState* state) {
  return exiEncodeEndElement(stream, state);
}

int32_t exiappHandEncodeCharacters(BitStream* stream, ExiCoderState* state, const ExiValue* value) {
  return exiEncodeCharacters(stream, state, value);
}

int32_t exiappHandEncodeAttributeXsiType(BitStream* stream, ExiCoderState* state,
                                         ExiQNameValue type) {
  return exiEncodeAttributeXsiType(stream, state, type);
}

int32_t exiappHandEncodeAttributeXsiNil(BitStream* stream, ExiCoderState* state,
                                        const ExiValue* value) {
  return exiEncodeAttributeXsiNil(stream, state, value);
}

int32_t exiappHandEncodeListValue(BitStream* /*stream*/, ExiCoderState* /*state*/,
                                  const ExiValue* /*value*/) {
  return EXI_ERROR_LIST_NOT_SUPPORTED;
}

// The handshake grammar declares no attributes.
int32_t exiappHandEncodeAttribute(BitStream* stream, ExiCoderState* state, uint16_t qnameId,
                                  const ExiValue* value) {
  return exiEncodeAttribute(stream, state, qnameId, value);
}

int32_t exiappHandEncodeStartElementNS(BitStream* stream, ExiCoderState* state, uint16_t uriId) {
  return exiEncodeStartElementNS(stream, state, uriId);
}

int32_t exiappHandEncodeStartElementGeneric(BitStream* stream, ExiCoderState* state) {
  return exiEncodeStartElementGeneric(stream, state);
}

int32_t exiappHandEncodeAttributeNS(BitStream* stream, ExiCoderState* state, uint16_t uriId) {
  return exiEncodeAttributeNS(stream, state, uriId);
}

int32_t exiappHandEncodeAttributeGeneric(BitStream* stream, ExiCoderState* state) {
  return exiEncodeAttributeGeneric(stream, state);
}
