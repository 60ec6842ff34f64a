#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "NID_NMK.h"
#include "link_seams.h"

using namespace plc;

namespace {

std::string Hex(const std::uint8_t* p, std::size_t n) {
    std::string s;
    char b[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string Sha256(const std::string& msg, std::size_t chunk) {
    SHA256Context ctx;
    SHA256Reset(ctx);
    for (std::size_t i = 0; i < msg.size(); i += chunk) {
        SHA256Write(ctx, msg.data() + i, static_cast<std::uint16_t>(std::min(chunk, msg.size() - i)));
    }
    std::uint8_t d[32];
    SHA256Fetch(ctx, d);
    return Hex(d, 32);
}

}  // namespace

TEST(Sha256, FipsVectorsWhateverTheWritePieces) {
    const struct { std::string msg; const char* digest; } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e60 39a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000, 'a'), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
    };
    for (const auto& c : cases) {
        std::string want = c.digest;
        want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
        for (std::size_t chunk : {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{1000}}) {
            EXPECT_EQ(Sha256(c.msg, chunk), want) << c.msg.substr(0, 10) << " in pieces of " << chunk;
        }
    }
}

TEST(HomePlugKeys, DefaultPassPhraseGivesTheWellKnownNmkAndNid) {
    std::uint8_t nmk[16], nid[7];
    HPAVKeyNMK(nmk, "HomePlugAV", 10);
    EXPECT_EQ(Hex(nmk, 16), "50d3e4933f855b7040784df815aa8db7");
    HPAVKeyNID(nid, nmk, 0);
    EXPECT_EQ(Hex(nid, 7), "b0f2e695666b03");
    EXPECT_EQ(nid[6] >> 4, 0) << "security level 0 leaves the high nibble clear";
    HPAVKeyNID(nid, nmk, 1);
    EXPECT_EQ(nid[6] >> 4, 1);
}

TEST(HomePlugKeys, EachKeySetIsFreshAndConsistent) {
    NID_Generator();
    const std::string first = CurrentPassPhrase();
    std::uint8_t nmk1[16];
    std::memcpy(nmk1, test_NMK, 16);
    ASSERT_EQ(first.size(), kPassPhraseLength);
    for (char c : first.substr(10)) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << first;

    std::uint8_t nmk[16], nid[7];
    HPAVKeyNMK(nmk, first.c_str());
    HPAVKeyNID(nid, nmk, 0);
    EXPECT_EQ(std::memcmp(nmk, test_NMK, 16), 0);
    EXPECT_EQ(std::memcmp(nid, NID, 7), 0);

    // Two calls in the same instant still give different keys: the random
    // part does not come from the clock.
    NID_Generator();
    EXPECT_NE(first, std::string(CurrentPassPhrase()));
    EXPECT_NE(std::memcmp(nmk1, test_NMK, 16), 0);
}
