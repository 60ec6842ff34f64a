// Small helpers shared by the EXI codec tests: a bit stream over a vector.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "EXITypes.h"

struct TestStream {
  std::vector<uint8_t> bytes;
  uint32_t pos = 0;
  BitStream stream{};

  // Input over the given bytes.
  static TestStream input(std::vector<uint8_t> b) {
    TestStream t;
    t.bytes = std::move(b);
    return t;
  }
  // Output into a buffer of n bytes.
  static TestStream output(size_t n) {
    TestStream t;
    t.bytes.assign(n, 0);
    return t;
  }
  BitStream* in() {
    stream = BitStream{static_cast<uint32_t>(bytes.size()), bytes.data(), &pos, 0, 0};
    return &stream;
  }
  BitStream* out() {
    stream = BitStream{static_cast<uint32_t>(bytes.size()), bytes.data(), &pos, 0, 8};
    return &stream;
  }
  std::vector<uint8_t> written() const { return {bytes.begin(), bytes.begin() + pos}; }
};

// (width, value) pairs written most significant bit first, padded with zeros.
using BitFields = std::vector<std::pair<uint32_t, uint32_t>>;

inline std::vector<uint8_t> packBits(const BitFields& fields) {
  std::vector<uint8_t> out;
  uint32_t used = 0;
  for (auto [width, value] : fields) {
    for (uint32_t i = width; i-- > 0;) {
      if (used % 8 == 0) out.push_back(0);
      out.back() = static_cast<uint8_t>(out.back() | (((value >> i) & 1u) << (7 - used % 8)));
      ++used;
    }
  }
  return out;
}
