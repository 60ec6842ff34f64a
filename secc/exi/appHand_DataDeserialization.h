// Decoding of a supportedAppProtocol document into the caller's records.
#pragma once

#include "appHand_dataTypes.h"

int init_appHandDeserializer(appHandService* service, uint16_t binarySize, uint8_t* binaryBuffer,
                             uint16_t binaryLength, uint16_t charSize, uint32_t* charBuffer,
                             uint16_t charLength, uint16_t headerOffset);

// Decodes the EXI stream that starts at the header offset of buffer and
// holds length bytes. Returns 0 after the end of the document, the codec's
// negative code, or -1 for an event or value the binding does not accept
// (also for a document whose target record the caller did not supply).
int deserialize_appHand(appHandService* service, uint8_t* buffer, uint16_t length,
                        EXIDocumentType_appHand* document);
