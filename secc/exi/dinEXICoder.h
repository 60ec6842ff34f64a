// DIN SPEC 70121 message codec: set-up of the decoder and encoder over the
// generated DIN grammar (dinEXIGrammar.h). After set-up, events are read and
// written with the generic operations of EXIDecoder.h and EXIEncoder.h.
#pragma once

#include "EXITypes.h"
#include "dinEXIGrammar.h"

// Fresh coder state for one request: document state, the caller's cleared
// runtime name table and string-value counters; reads the EXI header.
int32_t exiDinInitDecoder(BitStream* stream, ExiCoderState* state, RuntimeNameTable runtimeTable,
                          StringValueTable stringTable);
// Fresh coder state for one response; writes the EXI header.
int32_t exiDinInitEncoder(BitStream* stream, ExiCoderState* state, RuntimeNameTable runtimeTable,
                          StringValueTable stringTable);
