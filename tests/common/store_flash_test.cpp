#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "clock.h"
#include "regmap_fields.h"
#include "store_flash.h"
#include "testroot.h"

using namespace common;

namespace {

// A partition in memory whose power can be cut after a given number of
// written bytes: what was written up to then stays, the rest never arrives.
class CutFlash : public platform::FlashDevice {
public:
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kFlashImageSize, 0);
    std::size_t budget = SIZE_MAX;  // bytes still written before the cut
    bool flipOnRead = false;        // a cell that does not keep what was written

    bool Read(std::size_t offset, std::uint8_t* buf, std::size_t len) override {
        if (offset + len > bytes.size()) return false;
        std::memcpy(buf, bytes.data() + offset, len);
        if (flipOnRead && len > 0) buf[len / 2] ^= 0x01;
        return true;
    }
    bool WriteSynced(std::size_t offset, const std::uint8_t* data, std::size_t len) override {
        const std::size_t n = std::min(len, budget);
        std::memcpy(bytes.data() + offset, data, n);
        budget -= n;
        return n == len;
    }
};

std::vector<std::uint8_t> Copy(const std::vector<std::uint8_t>& image, int k) {
    return std::vector<std::uint8_t>(image.begin() + k * static_cast<long>(kFlashCopySize),
                                     image.begin() + (k + 1) * static_cast<long>(kFlashCopySize));
}

std::uint32_t StoredSum(const std::vector<std::uint8_t>& image, std::size_t copyAt) {
    const std::uint8_t* p = image.data() + copyAt + kFlashSumOffset;
    return static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

class StoreFlashTest : public ::testing::Test {
protected:
    std::vector<std::uint8_t> mem = std::vector<std::uint8_t>(regmap::kMapSize, 0);
    regmap::RegisterMap map{mem.data(), mem.size()};
    platform::TestClock clock;
    platform::ScopedClock useClock{clock};
    CutFlash flash;

    void FillMap(std::uint8_t seed) {
        for (std::size_t i = 0; i < kFlashCopySize; ++i) mem[i] = static_cast<std::uint8_t>(i * 7 + seed);
        mem[kFlashLockByte] = 0;
    }
};

}  // namespace

TEST_F(StoreFlashTest, WholeImageCarriesTwoCopiesWithTheirSumHighByteFirst) {
    FillMap(3);
    ASSERT_EQ(StoreFlash(map, kStoreWholeImage, 0, flash), 1);

    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < kFlashSumOffset; ++i) sum += mem[i];
    EXPECT_TRUE(std::equal(mem.begin(), mem.begin() + kFlashSumOffset, flash.bytes.begin()));
    EXPECT_EQ(StoredSum(flash.bytes, 0), sum);
    EXPECT_EQ(Copy(flash.bytes, 0), Copy(flash.bytes, 1));
    EXPECT_EQ(mem[kFlashLockByte], 0) << "the lock is given back";
}

TEST_F(StoreFlashTest, AllZeroImageSumsToZero) {
    ASSERT_EQ(StoreFlash(map, kStoreWholeImage, 0, flash), 1);
    EXPECT_EQ(flash.bytes, std::vector<std::uint8_t>(kFlashImageSize, 0));
}

TEST_F(StoreFlashTest, RangeChangesOnlyItsBytesAndTheSums) {
    FillMap(1);
    ASSERT_EQ(StoreFlash(map, kStoreWholeImage, 0, flash), 1);
    const std::vector<std::uint8_t> before = flash.bytes;
    for (std::size_t i = 0; i < kFlashCopySize; ++i) mem[i] ^= 0x5A;  // the whole map differs now
    mem[kFlashLockByte] = 0;

    ASSERT_EQ(StoreFlash(map, 1536, 256, flash), 1);
    for (std::size_t i = 0; i < kFlashImageSize; ++i) {
        const std::size_t inCopy = i % kFlashCopySize;
        if (inCopy >= 1536 && inCopy < 1536 + 256) {
            EXPECT_EQ(flash.bytes[i], mem[inCopy]) << i;
        } else if (inCopy < kFlashSumOffset) {
            ASSERT_EQ(flash.bytes[i], before[i]) << i;
        }
    }
    EXPECT_TRUE(FlashCopyValid(flash.bytes.data()));
    EXPECT_EQ(Copy(flash.bytes, 0), Copy(flash.bytes, 1));
}

TEST_F(StoreFlashTest, SettingsListTakesItsRangesOnly) {
    FillMap(9);
    ASSERT_EQ(StoreFlash(map, kStoreSettingsList, 0, flash), 1);
    struct Case { std::uint32_t offset; bool listed; };
    for (const Case c : {Case{111, true}, Case{114, true}, Case{115, false}, Case{767, true}, Case{1536, true},
                         Case{1791, true}, Case{1792, true}, Case{2752, true}, Case{2753, false},
                         Case{20834, true}, Case{20835, false}, Case{939, true}, Case{940, false}}) {
        EXPECT_EQ(flash.bytes[c.offset], c.listed ? mem[c.offset] : 0) << c.offset;
        EXPECT_EQ(flash.bytes[kFlashCopySize + c.offset], flash.bytes[c.offset]) << c.offset;
    }
    EXPECT_TRUE(FlashCopyValid(flash.bytes.data()));
}

TEST_F(StoreFlashTest, TheImageNeverCarriesTheHeldLock) {
    FillMap(5);
    for (std::int32_t pos : {kStoreWholeImage, kStoreSettingsList, std::int32_t{400}}) {
        flash.bytes[kFlashLockByte] = 1;
        flash.bytes[kFlashCopySize + kFlashLockByte] = 1;
        ASSERT_EQ(StoreFlash(map, pos, 100, flash), 1) << pos;
        EXPECT_EQ(flash.bytes[kFlashLockByte], 0) << pos;
        EXPECT_EQ(flash.bytes[kFlashCopySize + kFlashLockByte], 0) << pos;
        EXPECT_TRUE(FlashCopyValid(flash.bytes.data())) << pos;
    }
}

TEST_F(StoreFlashTest, LockHeldBeyondFiveSecondsGivesUpWithoutWriting) {
    FillMap(2);
    mem[kFlashLockByte] = 1;  // the other writer
    const std::int64_t start = clock.MonotonicMs();
    EXPECT_EQ(StoreFlash(map, kStoreWholeImage, 0, flash), 0);
    const std::int64_t waited = clock.MonotonicMs() - start;
    EXPECT_GT(waited, 5000);
    EXPECT_LE(waited, 5020);
    EXPECT_EQ(flash.bytes, std::vector<std::uint8_t>(kFlashImageSize, 0));
    EXPECT_EQ(mem[kFlashLockByte], 1) << "another writer's lock is not touched";
}

TEST_F(StoreFlashTest, LockFreedWithinTheWaitIsTaken) {
    // The other writer lets go after 4.9 s.
    class ReleasingClock : public platform::Clock {
    public:
        explicit ReleasingClock(std::uint8_t& lock) : lock_(lock) {}
        std::int64_t MonotonicMs() override { return now_; }
        std::int64_t WallMs() override { return now_; }
        void SleepMs(std::int64_t ms) override {
            now_ += ms;
            if (now_ >= 4900) lock_ = 0;
        }
    private:
        std::uint8_t& lock_;
        std::int64_t now_ = 0;
    } releasing(mem[kFlashLockByte]);
    platform::ScopedClock use(releasing);
    FillMap(4);
    mem[kFlashLockByte] = 1;
    EXPECT_EQ(StoreFlash(map, kStoreWholeImage, 0, flash), 1);
    EXPECT_EQ(mem[kFlashLockByte], 0);
}

TEST_F(StoreFlashTest, FailuresGiveZeroAndFreeTheLock) {
    FillMap(6);
    struct Case { const char* what; std::int32_t pos, len; bool flip; std::size_t budget; };
    for (const Case c : {Case{"range past the settings", 65500, 100, false, SIZE_MAX},
                         Case{"negative length", 10, -1, false, SIZE_MAX},
                         Case{"empty range", 10, 0, false, SIZE_MAX},
                         Case{"unknown mode", -3, 4, false, SIZE_MAX},
                         Case{"short write", 10, 4, false, 100},
                         Case{"read back differs", 10, 4, true, SIZE_MAX}}) {
        flash.flipOnRead = c.flip;
        flash.budget = c.budget;
        EXPECT_EQ(StoreFlash(map, c.pos, c.len, flash), 0) << c.what;
        EXPECT_EQ(mem[kFlashLockByte], 0) << c.what;
    }
}

TEST_F(StoreFlashTest, MissingOrShortPartitionIsAFailure) {
    TestRoot root;
    FillMap(8);
    EXPECT_EQ(StoreFlash(map, 1536, 256), 0);
    root.Make("/dev");
    std::ofstream(root.path() + kSettingsFlashDevice, std::ios::binary) << "short";
    EXPECT_EQ(StoreFlash(map, 1536, 256), 0);
    EXPECT_EQ(mem[kFlashLockByte], 0);

    std::vector<char> blank(kFlashImageSize, 0);
    std::ofstream(root.path() + kSettingsFlashDevice, std::ios::binary).write(blank.data(), static_cast<long>(blank.size()));
    ASSERT_EQ(StoreFlash(map, 1536, 256), 1);
    std::ifstream in(root.path() + kSettingsFlashDevice, std::ios::binary);
    std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(image.size(), kFlashImageSize);
    EXPECT_EQ(image[1536], mem[1536]);
    EXPECT_TRUE(FlashCopyValid(image.data()));
    EXPECT_TRUE(FlashCopyValid(image.data() + kFlashCopySize));
}

// Power cut at byte N of the write, for N across the whole image, from a
// partition with both copies valid and from one whose second copy was torn by
// an earlier cut: a valid copy always remains, holding the old or the new image.
TEST_F(StoreFlashTest, CutAtAnyByteLeavesAValidCopy) {
    FillMap(11);
    CutFlash good;
    ASSERT_EQ(StoreFlash(map, kStoreWholeImage, 0, good), 1);
    const std::vector<std::uint8_t> oldCopy = Copy(good.bytes, 0);
    CutFlash secondTorn = good;
    secondTorn.bytes[kFlashCopySize + 10] ^= 0xFF;

    for (std::size_t i = 0; i < kFlashCopySize; ++i) mem[i] = static_cast<std::uint8_t>(mem[i] + 1);
    mem[kFlashLockByte] = 0;
    CutFlash newer;
    ASSERT_EQ(StoreFlash(map, kStoreWholeImage, 0, newer), 1);
    const std::vector<std::uint8_t> newCopy = Copy(newer.bytes, 0);

    std::vector<std::size_t> cuts = {0, 1, kFlashSumOffset, kFlashCopySize - 1, kFlashCopySize, kFlashCopySize + 1,
                                     kFlashImageSize - 1};
    for (std::size_t n = 0; n < kFlashImageSize; n += 4093) cuts.push_back(n);
    for (const CutFlash* start : {&good, &secondTorn}) {
        for (std::size_t n : cuts) {
            CutFlash dev = *start;
            dev.budget = n;
            EXPECT_EQ(StoreFlash(map, kStoreWholeImage, 0, dev), 0) << n;
            int valid = 0;
            for (int k = 0; k < 2; ++k) {
                const std::vector<std::uint8_t> c = Copy(dev.bytes, k);
                if (!FlashCopyValid(c.data())) continue;
                ++valid;
                EXPECT_TRUE(c == oldCopy || c == newCopy) << "cut at " << n << ", copy " << k;
            }
            EXPECT_GE(valid, 1) << "cut at " << n << (start == &good ? "" : " with the second copy torn");
        }
    }
}

// A writer killed while storing leaves the lock set for ever. A store takes
// milliseconds, so a lock that every look has found set for 10 s is taken
// over; one that changes between looks, or looks too far apart to count as
// watching, never are.
TEST_F(StoreFlashTest, AbandonedLockIsTakenOverOnlyAfterTenSecondsOfWatching) {
    TestRoot root;
    root.Make("/Storage/SystemLog");
    FillMap(6);
    mem[kFlashLockByte] = 1;
    // The alarm loop's way: one look per pass, never a wait.
    const std::int64_t start = clock.MonotonicMs();
    int r = kFlashBusy;
    for (int pass = 0; pass < 1000 && (r = TryStoreFlash(map, 1536, 256, flash)) == kFlashBusy; ++pass) {
        EXPECT_EQ(clock.MonotonicMs() - start, pass * 50) << "a try does not wait";
        clock.Advance(50);
    }
    EXPECT_EQ(r, 1);
    EXPECT_EQ(clock.MonotonicMs() - start, kFlashLockAbandonMs);
    EXPECT_EQ(mem[kFlashLockByte], 0);
    EXPECT_EQ(Copy(flash.bytes, 1)[1536], mem[1536]);
    std::string log;
    for (const auto& e : std::filesystem::directory_iterator(root.path() + "/Storage/SystemLog")) {
        std::ifstream in(e.path());
        log.append(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_NE(log.find("lock byte 477 set for 10 s without change"), std::string::npos) << log;

    // The other writer stores again and again: between looks the lock was
    // seen free, so its watch starts anew.
    mem[kFlashLockByte] = 1;
    for (int i = 0; i < 190; ++i, clock.Advance(50)) ASSERT_EQ(TryStoreFlash(map, 1536, 256, flash), kFlashBusy);
    mem[kFlashLockByte] = 0;
    ASSERT_EQ(TryStoreFlash(map, 1536, 256, flash), 1);
    mem[kFlashLockByte] = 1;
    for (int i = 0; i < 190; ++i, clock.Advance(50)) ASSERT_EQ(TryStoreFlash(map, 1536, 256, flash), kFlashBusy);

    // Looks further apart than the watch are no watching.
    mem[kFlashLockByte] = 0;
    ASSERT_EQ(TryStoreFlash(map, 1536, 256, flash), 1);
    mem[kFlashLockByte] = 1;
    for (int i = 0; i < 5; ++i, clock.Advance(kFlashLockAbandonMs + 1)) {
        ASSERT_EQ(TryStoreFlash(map, 1536, 256, flash), kFlashBusy);
    }
    EXPECT_EQ(mem[kFlashLockByte], 1);
}

// A writer that waits (the OCPP 1.5 agent) still gives up after 5 s, and its
// next store, still finding the lock set, takes it over.
TEST_F(StoreFlashTest, WaitingWriterTakesOverAnAbandonedLockOnItsNextStore) {
    FillMap(8);
    mem[kFlashLockByte] = 1;
    EXPECT_EQ(StoreFlash(map, 1536, 256, flash), 0);
    EXPECT_EQ(mem[kFlashLockByte], 1);
    EXPECT_EQ(StoreFlash(map, 1536, 256, flash), 1);
    EXPECT_EQ(mem[kFlashLockByte], 0);
}

// A program that runs all the time frees an abandoned lock even when it has
// nothing to store, so the other writer is not refused for ever.
TEST_F(StoreFlashTest, WatchFreesOnlyAnAbandonedLock) {
    EXPECT_FALSE(WatchFlashLock(map));
    mem[kFlashLockByte] = 1;
    int freedAfter = -1;
    for (int pass = 0; pass < 400 && freedAfter < 0; ++pass, clock.Advance(50)) {
        if (WatchFlashLock(map)) freedAfter = pass * 50;
        else ASSERT_EQ(mem[kFlashLockByte], 1);
    }
    EXPECT_EQ(freedAfter, kFlashLockAbandonMs);
    EXPECT_EQ(mem[kFlashLockByte], 0);
    EXPECT_EQ(flash.bytes, std::vector<std::uint8_t>(kFlashImageSize, 0)) << "watching writes nothing";
}
