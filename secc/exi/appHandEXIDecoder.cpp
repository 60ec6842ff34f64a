#include "appHandEXIDecoder.h"

#include "DecoderChannel.h"
#include "EXIDecoder.h"
#include "NameTable.h"
#include "appHandEXICoder.h"

int32_t exiappHandInitDecoder(BitStream* stream, ExiCoderState* state,
                              RuntimeNameTable runtimeTable, StringValueTable stringTable) {
  exiInitCoderState(state, &appHandGrammar, &runtimeTable, stringTable);
  return readEXIHeader(stream);
}

int32_t exiappHandDecodeNextEvent(BitStream* stream, ExiCoderState* state, uint32_t* event) {
  return exiDecodeNextEvent(stream, state, event);
}

int32_t exiappHandDecodeStartDocument(BitStream* stream, ExiCoderState* state) {
  return exiDecodeStartDocument(stream, state);
}

int32_t exiappHandDecodeEndDocument(BitStream* stream, ExiCoderState* state) {
  return exiDecodeEndDocument(stream, state);
}

int32_t exiappHandDecodeStartElement(BitStream* stream, ExiCoderState* state, uint16_t* qnameId) {
  return exiDecodeStartElement(stream, state, qnameId);
}

int32_t exiappHandDecodeEndElement(BitStream* stream, ExiCoderState* state, uint16_t* qnameId) {
  return exiDecodeEndElement(stream, state, qnameId);
}

int32_t exiappHandDecodeCharacters(BitStream* stream, ExiCoderState* state, ExiValue* value) {
  return exiDecodeCharacters(stream, state, value);
}

int32_t exiappHandDecodeAttribute(BitStream* stream, ExiCoderState* state, uint16_t* qnameId,
                                  ExiValue* value) {
  return exiDecodeAttribute(stream, state, qnameId, value);
}

int32_t exiappHandDecodeAttributeXsiNil(BitStream* stream, ExiCoderState* state,
                                        ExiValue* value) {
  return exiDecodeAttributeXsiNil(stream, state, value);
}

int32_t exiappHandDecodeListValue(BitStream* /*stream*/, ExiCoderState* /*state*/,
                                  ExiValue* /*value*/) {
  return EXI_ERROR_LIST_NOT_SUPPORTED;
}

int32_t exiappHandGetLastQName(const ExiCoderState* state, EQName* name) {
  return exiGetLastQName(state, name);
}

int32_t exiappHandGetQNameID(const ExiCoderState* state, uint16_t uriId, uint16_t localNameId,
                             uint16_t* qnameId) {
  return exiGetQNameID(state, uriId, localNameId, qnameId);
}

int32_t exiappHandAddEQName(ExiCoderState* state, uint16_t* qnameId, uint16_t uriId,
                            uint16_t localNameId) {
  return exiAddEQName(state, qnameId, uriId, localNameId);
}

int32_t exiappHandGetEQName(const ExiCoderState* state, uint16_t qnameId, uint16_t* uriId,
                            uint16_t* localNameId) {
  return exiGetEQName(state, qnameId, uriId, localNameId);
}
