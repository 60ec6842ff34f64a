// Encoding of a supportedAppProtocol document from the caller's records.
#pragma once

#include "appHand_dataTypes.h"

int init_appHandSerializer(appHandService* service, uint16_t binarySize, uint8_t* binaryBuffer,
                           uint16_t binaryLength, uint16_t charSize, uint32_t* charBuffer,
                           uint16_t charLength, uint32_t outputSize, uint16_t headerOffset);

// Writes the document after the header offset of buffer. Returns 0 and the
// number of bytes written after the offset in *outLength, or -1 (the length
// is then left unchanged).
int serialize_appHand(appHandService* service, uint8_t* buffer, uint32_t* outLength,
                      EXIDocumentType_appHand* document);
