#include "auth_cache.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "ocppj_rig.h"
#include "utc_time.h"

using namespace ocppj;

namespace {

struct CacheRig : OcppjRig {
    CacheRig() {
        setenv("TZ", "UTC", 1);
        tzset();
        cache.Init("/Storage/Tarnet");
    }
    std::string File() const { return platform::ReadTextFile(cache.Path(), 2 << 20); }
    AuthCache cache;
};

TEST(AuthCache, LinesCarryExpiryParentAndStatusWithCrLf) {
    CacheRig rig;
    EXPECT_TRUE(std::filesystem::exists(rig.cache.Path()));
    EXPECT_EQ(rig.cache.Path(), rig.root.path() + "/Storage/Tarnet/[Fennick]OCPP_Cache");
    EXPECT_EQ(rig.File(), "");
    EXPECT_EQ(rig.cache.Update("ABC123", "2024-03-02T10:20:30Z", "PARENT1", 0), 0);
    EXPECT_EQ(rig.cache.Update("DEF", "", "", 1), 0);
    EXPECT_EQ(rig.File(), "ABC123| 1709374830| PARENT1|0\r\nDEF| | |1\r\n");
}

TEST(AuthCache, OneRecordPerIdTagInAnyCaseAtTheEnd) {
    CacheRig rig;
    rig.cache.Update("abc123", "", "P", 0);
    rig.cache.Update("X", "", "", 0);
    rig.cache.Update("ABC123", "", "", 1);
    EXPECT_EQ(rig.File(), "X| | |0\r\nABC123| | |1\r\n");
    EXPECT_EQ(rig.cache.Check("Abc123", nullptr), kCacheRefused);
}

TEST(AuthCache, CheckAnswersByStatusAndExpiry) {
    struct Case {
        const char* name;
        const char* content;
        const char* tag;
        int answer;
        const char* parent;
    };
    // now = 2024-03-01T10:20:30Z = 1709288430
    const Case cases[] = {
        {"accepted, no expiry", "ABC| | PARENT1|0\r\n", "abc", kCacheAccepted, "PARENT1"},
        {"accepted, expiry ahead", "ABC| 1709288431| |0\r\n", "ABC", kCacheAccepted, ""},
        {"expiry reached", "ABC| 1709288430| P|0\r\n", "ABC", kCacheRefused, ""},
        {"refused, expiry ahead", "ABC| 1709288999| |1\r\n", "ABC", kCacheRefused, ""},
        {"not there", "ABC| | |0\r\n", "ABD", kCacheUnknown, ""},
        {"empty file", "", "ABC", kCacheUnknown, ""},
        {"torn last line", "X| | |0\r\nABC| | |0", "ABC", kCacheUnknown, ""},
        {"line of three fields skipped", "ABC| |0\r\nABC| | Q|0\r\n", "ABC", kCacheAccepted, "Q"},
        {"expiry 0 never expires", "ABC| 0| |0\r\n", "ABC", kCacheAccepted, ""},
        {"prefix is no match", "ABC1| | |0\r\n", "ABC", kCacheUnknown, ""},
    };
    for (const Case& c : cases) {
        std::string parent;
        EXPECT_EQ(CheckCacheText(c.content, c.tag, 1709288430, &parent), c.answer) << c.name;
        EXPECT_EQ(parent, c.parent) << c.name;
    }
}

TEST(AuthCache, ExpiryTextsOutsideTheirRangesAreStoredWithoutExpiry) {
    struct Case {
        const char* text;
        const char* stored;
    };
    const Case cases[] = {
        {"2024-03-02T10:20:30Z", "1709374830"},
        {"2024-02-30T10:00:00", "1709287200"},  // rolls over to 1 March
        {"2024-13-01T10:00:00", ""},
        {"2024-01-01T24:00:00", ""},
        {"2024-01-01 10:00:00", ""},
        {"soon", ""},
    };
    for (const Case& c : cases) {
        std::string content;
        ASSERT_TRUE(UpdateCacheText(content, "T", c.text, "", 0));
        EXPECT_EQ(content, std::string("T| ") + c.stored + "| |0\r\n") << c.text;
    }
}

TEST(AuthCache, AFullFileDropsItsOldestLineForANewCard) {
    std::string content = "OLDEST| | |0\r\n";
    for (int i = 0; content.size() < kCacheFullBytes; ++i) content += "CARD" + std::to_string(i) + "| | P|0\r\n";
    const std::size_t before = content.size();
    ASSERT_TRUE(UpdateCacheText(content, "NEW", "", "", 0));
    EXPECT_EQ(content.find("OLDEST"), std::string::npos);
    EXPECT_LE(content.size(), kCacheMaxBytes);
    EXPECT_EQ(content.size(), before - 14 + 11);
    EXPECT_EQ(content.substr(content.size() - 11), "NEW| | |0\r\n");
    EXPECT_EQ(content.rfind("CARD0|", 0), 0u);

    // A card already there replaces its line and drops nothing else.
    std::string again = content;
    ASSERT_TRUE(UpdateCacheText(again, "new", "", "", 1));
    EXPECT_EQ(again.size(), content.size());
    EXPECT_EQ(again.substr(0, 20), content.substr(0, 20));
}

TEST(AuthCache, WhatCannotBeStoredIsRefused) {
    struct Case {
        const char* tag;
        const char* parent;
        int status;
    };
    const Case cases[] = {{"", "", 0}, {"A|B", "", 0}, {"A\r\nB| | |0", "", 0}, {"A", "P\n", 0}, {"A", "", 2}};
    for (const Case& c : cases) {
        std::string content = "X| | |0\r\n";
        EXPECT_FALSE(UpdateCacheText(content, c.tag, "", c.parent, c.status)) << c.tag;
        EXPECT_EQ(content, "X| | |0\r\n");
    }
    CacheRig rig;
    EXPECT_EQ(rig.cache.Update("", "", "", 0), 1);
}

TEST(AuthCache, ATornTailIsCutBeforeTheNewLine) {
    std::string content = "X| | |0\r\nHALF| 12";
    ASSERT_TRUE(UpdateCacheText(content, "Y", "", "", 0));
    EXPECT_EQ(content, "X| | |0\r\nY| | |0\r\n");
}

TEST(AuthCache, ClearDeletesTheFileAndTheNextUpdateMakesItAgain) {
    CacheRig rig;
    rig.cache.Update("A", "", "", 0);
    rig.cache.Clear();
    EXPECT_FALSE(std::filesystem::exists(rig.cache.Path()));
    EXPECT_EQ(rig.cache.Check("A", nullptr), kCacheUnknown);
    EXPECT_EQ(rig.cache.Update("B", "", "", 0), 0);
    EXPECT_EQ(rig.File(), "B| | |0\r\n");
}

}  // namespace
