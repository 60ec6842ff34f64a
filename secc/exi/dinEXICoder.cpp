#include "dinEXICoder.h"

#include "DecoderChannel.h"
#include "EXICoder.h"
#include "EncoderChannel.h"

int32_t exiDinInitDecoder(BitStream* stream, ExiCoderState* state, RuntimeNameTable runtimeTable,
                          StringValueTable stringTable) {
  exiInitCoderState(state, &dinGrammar, &runtimeTable, stringTable);
  return readEXIHeader(stream);
}

int32_t exiDinInitEncoder(BitStream* stream, ExiCoderState* state, RuntimeNameTable runtimeTable,
                          StringValueTable stringTable) {
  exiInitCoderState(state, &dinGrammar, &runtimeTable, stringTable);
  return writeEXIHeader(stream);
}
