// A DIN message as a list of events, written and read through the DIN codec
// the way the V2G session drives it (64-byte and 64-character value buffers).
// Shared by the DIN codec tests, the fuzz target and the benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "EXIDecoder.h"
#include "EXIEncoder.h"
#include "EncoderChannel.h"
#include "NameTable.h"
#include "StringTable.h"
#include "dinEXICoder.h"

namespace din_events {

enum Kind : uint8_t { SE, EE, CH, AT };

struct Value {
  uint32_t type = EXI_VALUE_STRING;
  int64_t number = 0;         // boolean, enumeration index, integers
  std::string text;           // strings (one code point per byte)
  std::vector<uint8_t> bytes; // binary

  bool operator==(const Value& o) const {
    return type == o.type && number == o.number && text == o.text && bytes == o.bytes;
  }
};

struct Event {
  Kind kind;
  uint16_t qname = 0;  // SE and AT; 0 for EE and CH
  Value value;         // CH and AT

  bool operator==(const Event& o) const {
    return kind == o.kind && qname == o.qname &&
           ((kind != CH && kind != AT) || value == o.value);
  }
};

inline Event se(uint16_t q) { return Event{SE, q, {}}; }
inline Event ee() { return Event{EE, 0, {}}; }
inline Value str(const std::string& s) { return Value{EXI_VALUE_STRING, 0, s, {}}; }
inline Value num(uint32_t type, int64_t n) { return Value{type, n, {}, {}}; }
inline Value bin(std::vector<uint8_t> b, uint32_t type = EXI_VALUE_BINARY_HEX) {
  return Value{type, 0, {}, std::move(b)};
}
inline Event ch(Value v) { return Event{CH, 0, std::move(v)}; }
inline Event at(uint16_t q, Value v) { return Event{AT, q, std::move(v)}; }

// Element with simple content.
inline std::vector<Event> leaf(uint16_t q, Value v) { return {se(q), ch(std::move(v)), ee()}; }

// Value buffers of the size the V2G session hands over.
struct Buffers {
  uint8_t bytes[64] = {};
  uint32_t chars[64] = {};
};

inline int32_t toExi(const Value& v, Buffers* b, ExiValue* out) {
  *out = ExiValue{};
  out->type = v.type;
  switch (v.type) {
    case EXI_VALUE_BOOLEAN:
      out->boolean = static_cast<uint32_t>(v.number);
      return EXI_OK;
    case EXI_VALUE_ENUMERATION:
      out->enumeration = static_cast<uint32_t>(v.number);
      return EXI_OK;
    case EXI_VALUE_NBIT_INTEGER:
    case EXI_VALUE_INTEGER:
      out->integer.kind = EXI_INT64;
      out->integer.val.int64 = v.number;
      return EXI_OK;
    case EXI_VALUE_UNSIGNED_INTEGER:
      out->integer.kind = EXI_UINT64;
      out->integer.val.uint64 = static_cast<uint64_t>(v.number);
      return EXI_OK;
    case EXI_VALUE_BINARY_BASE64:
    case EXI_VALUE_BINARY_HEX:
      if (v.bytes.size() > sizeof b->bytes) return EXI_ERROR_BINARY_TOO_LONG;
      for (size_t i = 0; i < v.bytes.size(); ++i) b->bytes[i] = v.bytes[i];
      out->binary = ExiByteBuffer{sizeof b->bytes, b->bytes, static_cast<uint16_t>(v.bytes.size())};
      return EXI_OK;
    case EXI_VALUE_STRING:
      if (v.text.size() > 64) return EXI_ERROR_STRING_TOO_LONG;
      for (size_t i = 0; i < v.text.size(); ++i) {
        b->chars[i] = static_cast<unsigned char>(v.text[i]);
      }
      out->string.kind = EXI_STRING_LITERAL;
      out->string.chars = ExiCharBuffer{64, b->chars, static_cast<uint16_t>(v.text.size())};
      return EXI_OK;
    case EXI_VALUE_LIST:
      out->list = ExiList{EXI_VALUE_STRING, static_cast<uint16_t>(v.number)};
      return EXI_OK;
    default:
      return EXI_OK;
  }
}

inline Value fromExi(const ExiValue& v) {
  Value out;
  out.type = v.type;
  switch (v.type) {
    case EXI_VALUE_BOOLEAN:
      out.number = v.boolean;
      break;
    case EXI_VALUE_ENUMERATION:
      out.number = v.enumeration;
      break;
    case EXI_VALUE_NBIT_INTEGER:
    case EXI_VALUE_INTEGER:
    case EXI_VALUE_UNSIGNED_INTEGER:
      exiIntegerToInt64(&v.integer, &out.number);
      break;
    case EXI_VALUE_BINARY_BASE64:
    case EXI_VALUE_BINARY_HEX:
      out.bytes.assign(v.binary.data, v.binary.data + v.binary.length);
      break;
    case EXI_VALUE_STRING:
      for (uint16_t i = 0; i < v.string.chars.length; ++i) {
        out.text.push_back(static_cast<char>(v.string.chars.codePoints[i]));
      }
      break;
    default:
      break;
  }
  return out;
}

struct Encoded {
  int32_t rc = EXI_OK;
  size_t failedAt = 0;  // index of the event that failed, events.size() for end document
  std::vector<uint8_t> bytes;
};

// Writes a whole message (root element included) into a buffer of `size`
// bytes after an 8-byte transport header.
inline Encoded encode(const std::vector<Event>& events, uint32_t size = 4096) {
  Encoded out;
  std::vector<uint8_t> buffer(size);
  uint32_t pos = 8;
  BitStream stream{size, buffer.data(), &pos, 0, 8};
  ExiCoderState state;
  RuntimeNameTable runtime;
  exiInitNameTableRuntime(&runtime);
  Buffers values;
  out.rc = exiDinInitEncoder(
      &stream, &state, runtime,
      StringValueTable{0, kExiLocalStringCounters, numberOfLocalStringsEncode});
  if (out.rc == EXI_OK) out.rc = exiEncodeStartDocument(&stream, &state);
  for (size_t i = 0; out.rc == EXI_OK && i < events.size(); ++i) {
    const Event& e = events[i];
    ExiValue v;
    out.failedAt = i;
    switch (e.kind) {
      case SE:
        out.rc = exiEncodeStartElement(&stream, &state, e.qname);
        break;
      case EE:
        out.rc = exiEncodeEndElement(&stream, &state);
        break;
      case CH:
        out.rc = toExi(e.value, &values, &v);
        if (out.rc == EXI_OK) out.rc = exiEncodeCharacters(&stream, &state, &v);
        break;
      case AT:
        out.rc = toExi(e.value, &values, &v);
        if (out.rc == EXI_OK) out.rc = exiEncodeAttribute(&stream, &state, e.qname, &v);
        break;
    }
  }
  if (out.rc == EXI_OK) {
    out.failedAt = events.size();
    out.rc = exiEncodeEndDocument(&stream, &state);
  }
  if (out.rc == EXI_OK) out.bytes.assign(buffer.begin() + 8, buffer.begin() + pos);
  return out;
}

struct Decoded {
  int32_t rc = EXI_OK;
  std::vector<Event> events;
  bool undeclared = false;  // an event that the encoder cannot write back
};

// Reads a whole message; stops at end document or the first failure.
inline Decoded decode(const std::vector<uint8_t>& body) {
  Decoded out;
  std::vector<uint8_t> buffer(8 + body.size());
  for (size_t i = 0; i < body.size(); ++i) buffer[8 + i] = body[i];
  uint32_t pos = 8;
  BitStream stream{static_cast<uint32_t>(buffer.size()), buffer.data(), &pos, 0, 0};
  ExiCoderState state;
  RuntimeNameTable runtime;
  exiInitNameTableRuntime(&runtime);
  Buffers values;
  out.rc = exiDinInitDecoder(
      &stream, &state, runtime,
      StringValueTable{0, kExiLocalStringCounters, numberOfLocalStringsDecode});
  // Every event consumes at least one bit or moves the stack, so the loop is
  // bounded by the input; the cap guards against a grammar that would not.
  for (size_t step = 0; out.rc == EXI_OK && step < 8 * buffer.size() + 64; ++step) {
    uint32_t ev = EXI_EVENT_NO_EVENT;
    out.rc = exiDecodeNextEvent(&stream, &state, &ev);
    if (out.rc != EXI_OK) break;
    uint16_t q = 0;
    ExiValue v{};
    v.binary = ExiByteBuffer{sizeof values.bytes, values.bytes, 0};
    v.string.chars = ExiCharBuffer{64, values.chars, 0};
    switch (ev) {
      case EXI_EVENT_START_DOCUMENT:
        out.rc = exiDecodeStartDocument(&stream, &state);
        break;
      case EXI_EVENT_END_DOCUMENT:
        out.rc = exiDecodeEndDocument(&stream, &state);
        return out;
      case EXI_EVENT_START_ELEMENT:
      case EXI_EVENT_START_ELEMENT_GENERIC:
      case EXI_EVENT_START_ELEMENT_GENERIC_UNDECLARED:
        out.rc = exiDecodeStartElement(&stream, &state, &q);
        out.events.push_back(se(q));
        out.undeclared |= ev != EXI_EVENT_START_ELEMENT;
        break;
      case EXI_EVENT_END_ELEMENT:
      case EXI_EVENT_END_ELEMENT_UNDECLARED:
        out.rc = exiDecodeEndElement(&stream, &state, &q);
        out.events.push_back(ee());
        out.undeclared |= ev != EXI_EVENT_END_ELEMENT;
        break;
      case EXI_EVENT_CHARACTERS:
      case EXI_EVENT_CHARACTERS_GENERIC:
      case EXI_EVENT_CHARACTERS_GENERIC_UNDECLARED:
        out.rc = exiDecodeCharacters(&stream, &state, &v);
        if (out.rc == EXI_OK) out.events.push_back(ch(fromExi(v)));
        out.undeclared |= ev == EXI_EVENT_CHARACTERS_GENERIC_UNDECLARED;
        break;
      case EXI_EVENT_ATTRIBUTE:
      case EXI_EVENT_ATTRIBUTE_INVALID_VALUE:
      case EXI_EVENT_ATTRIBUTE_GENERIC:
      case EXI_EVENT_ATTRIBUTE_GENERIC_UNDECLARED:
        out.rc = exiDecodeAttribute(&stream, &state, &q, &v);
        if (out.rc == EXI_OK) out.events.push_back(at(q, fromExi(v)));
        out.undeclared |= ev == EXI_EVENT_ATTRIBUTE_GENERIC ||
                          ev == EXI_EVENT_ATTRIBUTE_GENERIC_UNDECLARED;
        break;
      default:
        // xsi:type and xsi:nil as their own events are refused, as the
        // session refuses them.
        out.rc = EXI_ERROR_ATTRIBUTE;
        break;
    }
  }
  if (out.rc == EXI_OK) out.rc = EXI_ERROR_INPUT_EXHAUSTED;
  return out;
}

}  // namespace din_events
