#include "NID_NMK.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "link_seams.h"

namespace plc {
namespace {

constexpr std::uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint8_t kNmkSalt[8] = {0x08, 0x85, 0x6D, 0xAF, 0x7C, 0xF5, 0x81, 0x86};

// The fixed part of the pass phrase; the rest is drawn at every call.
constexpr char kFixedPhrase[10] = {'V', 'a', 'n', 't', 'o', 'S', 'E', 'C', 'C', '-'};
char Vanto_Key[kPassPhraseLength + 1];

std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

std::uint8_t RandomByte() {
    std::uint8_t b;
    ssize_t n;
    do {
        n = getrandom(&b, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 1) return b;
    static std::random_device fallback;
    return static_cast<std::uint8_t>(fallback());
}

// One random index below `bound`, uniform, from the kernel's generator: the
// key of a session's network must not be guessable from the time it was made.
unsigned RandomBelow(unsigned bound) {
    const unsigned limit = 256 - 256 % bound;
    for (;;) {
        std::uint8_t b = RandomByte();
        if (b < limit) return b % bound;
    }
}

}  // namespace

void SHAEncode(std::uint8_t out[4], std::uint32_t v) {
    out[0] = v >> 24; out[1] = (v >> 16) & 0xFF; out[2] = (v >> 8) & 0xFF; out[3] = v & 0xFF;
}

void SHA256Reset(SHA256Context& ctx) {
    std::memset(&ctx, 0, sizeof ctx);
    static const std::uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(ctx.state, kInit, sizeof kInit);
    ctx.extra[0] = 0x80;
}

void SHA256Block(SHA256Context& ctx, const std::uint8_t* p) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = std::uint32_t{p[4 * i]} << 24 | std::uint32_t{p[4 * i + 1]} << 16 | std::uint32_t{p[4 * i + 2]} << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = ctx.state[0], b = ctx.state[1], c = ctx.state[2], d = ctx.state[3];
    std::uint32_t e = ctx.state[4], f = ctx.state[5], g = ctx.state[6], h = ctx.state[7];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
        std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
    }
    ctx.state[0] += a; ctx.state[1] += b; ctx.state[2] += c; ctx.state[3] += d;
    ctx.state[4] += e; ctx.state[5] += f; ctx.state[6] += g; ctx.state[7] += h;
}

void SHA256Write(SHA256Context& ctx, const void* data, std::uint16_t length) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t used = ctx.count[0] % 64;
    std::uint32_t before = ctx.count[0];
    ctx.count[0] += length;
    if (ctx.count[0] < before) ++ctx.count[1];
    while (length > 0) {
        std::size_t take = 64 - used < length ? 64 - used : length;
        std::memcpy(ctx.block + used, p, take);
        used += take;
        p += take;
        length = static_cast<std::uint16_t>(length - take);
        if (used == 64) {
            SHA256Block(ctx, ctx.block);
            used = 0;
        }
    }
}

void SHA256Fetch(SHA256Context& ctx, std::uint8_t digest[32]) {
    const std::uint32_t r = ctx.count[0] % 64;
    const std::uint32_t bitsHigh = ctx.count[1] << 3 | ctx.count[0] >> 29;
    const std::uint32_t bitsLow = ctx.count[0] << 3;
    const std::uint16_t pad = static_cast<std::uint16_t>(r > 55 ? 120 - r : 56 - r);
    std::uint8_t length[8];
    SHAEncode(length, bitsHigh);
    SHAEncode(length + 4, bitsLow);
    std::uint8_t extra[64];
    std::memcpy(extra, ctx.extra, sizeof extra);
    SHA256Write(ctx, extra, pad);
    SHA256Write(ctx, length, 8);
    for (int i = 0; i < 8; ++i) SHAEncode(digest + 4 * i, ctx.state[i]);
    std::memset(&ctx, 0, sizeof ctx);
}

namespace {

// d := SHA-256(d), `rounds` times.
void Rehash(std::uint8_t d[32], int rounds) {
    SHA256Context ctx;
    for (int i = 0; i < rounds; ++i) {
        SHA256Reset(ctx);
        SHA256Write(ctx, d, 32);
        SHA256Fetch(ctx, d);
    }
}

}  // namespace

void HPAVKeyNMK(std::uint8_t nmk[16], const char* passPhrase, std::size_t length) {
    SHA256Context ctx;
    std::uint8_t d[32];
    SHA256Reset(ctx);
    SHA256Write(ctx, passPhrase, static_cast<std::uint16_t>(length));
    SHA256Write(ctx, kNmkSalt, sizeof kNmkSalt);
    SHA256Fetch(ctx, d);
    Rehash(d, 999);
    std::memcpy(nmk, d, 16);
}

void HPAVKeyNID(std::uint8_t nid[7], const std::uint8_t nmk[16], std::uint8_t level) {
    SHA256Context ctx;
    std::uint8_t d[32];
    SHA256Reset(ctx);
    SHA256Write(ctx, nmk, 16);
    SHA256Fetch(ctx, d);
    Rehash(d, 4);
    std::memcpy(nid, d, 7);
    nid[6] = static_cast<std::uint8_t>((d[6] >> 4) | (level << 4));
}

void NID_Generator() {
    static const char kAlphabet[] = "123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0";
    std::memcpy(Vanto_Key, kFixedPhrase, sizeof kFixedPhrase);
    for (std::size_t i = sizeof kFixedPhrase; i < kPassPhraseLength; ++i) Vanto_Key[i] = kAlphabet[RandomBelow(62)];
    Vanto_Key[kPassPhraseLength] = '\0';
    HPAVKeyNMK(test_NMK, Vanto_Key);
    HPAVKeyNID(NID, test_NMK, 0);
}

const char* CurrentPassPhrase() { return Vanto_Key; }

std::uint8_t NID[7] = {};
std::uint8_t test_NMK[16] = {};

}  // namespace plc
