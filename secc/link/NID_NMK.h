// Network membership key (NMK) and network identifier (NID) of the private
// powerline network of each session, derived from a partly random pass
// phrase by the HomePlug AV 1.1 rules on SHA-256.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plc {

struct SHA256Context {
    std::uint32_t count[2];     // bytes hashed, low word and carry
    std::uint32_t state[8];
    std::uint8_t block[64];
    std::uint8_t extra[64];     // padding block
};

void SHA256Reset(SHA256Context& ctx);
void SHA256Write(SHA256Context& ctx, const void* data, std::uint16_t length);
void SHA256Block(SHA256Context& ctx, const std::uint8_t* block);
void SHA256Fetch(SHA256Context& ctx, std::uint8_t digest[32]);
void SHAEncode(std::uint8_t out[4], std::uint32_t value);

inline constexpr std::size_t kPassPhraseLength = 16;

// PBKDF1 with SHA-256, the HomePlug AV salt and 1000 iterations.
void HPAVKeyNMK(std::uint8_t nmk[16], const char* passPhrase, std::size_t length = kPassPhraseLength);
// Five SHA-256 rounds over the NMK; byte 6 carries the security level.
void HPAVKeyNID(std::uint8_t nid[7], const std::uint8_t nmk[16], std::uint8_t level);

// A fresh pass phrase (ten fixed characters, six drawn from the kernel's
// random source), then test_NMK and NID from it.
void NID_Generator();

// The last pass phrase, for tests.
const char* CurrentPassPhrase();

}  // namespace plc
