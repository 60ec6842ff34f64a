// Fuzz target: the typed-value readers of the EXI codec. The first byte
// chooses the reader, the rest is the stream; every reader must end with a
// result code on any bytes, without reading past the stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "BitInputStream.h"
#include "DecoderChannel.h"
#include "EXICoder.h"
#include "EXIDecoder.h"
#include "NameTable.h"
#include "StringTable.h"
#include "appHandEXICoder.h"
#include "appHandEXIDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) {
    return 0;
  }
  const uint8_t selector = data[0];
  std::vector<uint8_t> bytes(data + 1, data + size);
  uint32_t pos = 0;
  BitStream s{static_cast<uint32_t>(bytes.size()), bytes.data(), &pos, 0, 0};

  static ExiCoderState state;
  static uint16_t counters[77];
  RuntimeNameTable runtime;
  exiInitNameTableRuntime(&runtime);
  exiInitCoderState(&state, &appHandGrammar, &runtime, {0, 77, counters});

  uint8_t binary[64];
  uint32_t chars[64];
  ExiValue v{};
  v.binary = ExiByteBuffer{sizeof binary, binary, 0};
  v.string.chars = ExiCharBuffer{64, chars, 0};
  uint16_t u16;
  uint32_t u32;
  uint64_t u64;
  int16_t i16;
  int32_t i32;
  int64_t i64;
  uint16_t qname;
  EQName name;

  // Readers run in a loop over the whole stream until the first failure.
  for (int step = 0; step < 64; ++step) {
    int32_t rc = 0;
    switch (selector % 20) {
      case 0: rc = readEXIHeader(&s); break;
      case 1: rc = decodeUnsignedInteger(&s, &v.integer); break;
      case 2: rc = decodeUnsignedInteger16(&s, &u16); break;
      case 3: rc = decodeUnsignedInteger32(&s, &u32); break;
      case 4: rc = decodeUnsignedInteger64(&s, &u64); break;
      case 5: rc = decodeInteger(&s, &v.integer); break;
      case 6: rc = decodeInteger16(&s, &i16); break;
      case 7: rc = decodeInteger32(&s, &i32); break;
      case 8: rc = decodeInteger64(&s, &i64); break;
      case 9: rc = decodeFloat(&s, &v.floatValue); break;
      case 10: rc = decodeDecimal(&s, &v.decimal); break;
      case 11: rc = decodeDateTime(&s, (selector >> 5) & 7, &v.dateTime); break;
      case 12: rc = decodeBinary(&s, &v.binary); break;
      case 13: rc = decodeString(&s, &v.string.chars); break;
      case 14: rc = decodeStringValue(&s, &state, selector & 0x7F, &v.string); break;
      case 15: rc = decodeBoolean(&s, &u32); break;
      case 16: rc = decodeNBitUnsignedInteger(&s, selector >> 3, &u32); break;
      case 17: rc = exiDecodeQName(&s, &state, &name, &qname); break;
      case 18: rc = exiDecodeAttributeXsiType(&s, &state, &v); break;
      default: {
        // Raw event walk over the handshake grammar, any event consumed.
        uint32_t event = 0;
        rc = exiappHandDecodeNextEvent(&s, &state, &event);
        if (rc == 0) {
          switch (event) {
            case EXI_EVENT_START_DOCUMENT: rc = exiappHandDecodeStartDocument(&s, &state); break;
            case EXI_EVENT_END_DOCUMENT: rc = exiappHandDecodeEndDocument(&s, &state); break;
            case EXI_EVENT_START_ELEMENT:
            case EXI_EVENT_START_ELEMENT_GENERIC:
            case EXI_EVENT_START_ELEMENT_GENERIC_UNDECLARED:
              rc = exiappHandDecodeStartElement(&s, &state, &qname);
              break;
            case EXI_EVENT_END_ELEMENT:
            case EXI_EVENT_END_ELEMENT_UNDECLARED:
              rc = exiappHandDecodeEndElement(&s, &state, &qname);
              break;
            case EXI_EVENT_CHARACTERS:
            case EXI_EVENT_CHARACTERS_GENERIC:
            case EXI_EVENT_CHARACTERS_GENERIC_UNDECLARED:
              rc = exiappHandDecodeCharacters(&s, &state, &v);
              break;
            default: rc = exiappHandDecodeAttribute(&s, &state, &qname, &v); break;
          }
        }
        break;
      }
    }
    if (rc != 0 || pos > bytes.size()) {
      break;
    }
  }
  return 0;
}
