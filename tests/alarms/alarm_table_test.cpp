#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>

#include "alarm_table.h"
#include "alarm_tables.h"

namespace {

using namespace alarms;

TEST(AlarmTable, WatchesExactlyTheListedBitsInPassOrder) {
    // Watched bits per alarm byte; bytes 325-338 carry none.
    const std::map<unsigned, unsigned> watched = {
        {312, 0xFF}, {313, 0x3F}, {314, 0xEF}, {315, 0xFF}, {316, 0xFF}, {317, 0xFF},
        {318, 0xFF}, {319, 0xF0}, {320, 0xFE}, {321, 0x3F}, {322, 0xFF}, {323, 0xFF},
        {324, 0x0F}, {339, 0xFF}, {340, 0xFE}, {341, 0xFF}, {342, 0x03}, {343, 0xE2},
    };
    std::map<unsigned, unsigned> seen;
    int previous = -1;
    for (const AlarmRow& row : AlarmRows()) {
        const int key = row.index * 256 + row.mask;
        EXPECT_GT(key, previous) << "rows out of pass order at " << 312 + row.index;
        previous = key;
        EXPECT_EQ(__builtin_popcount(row.mask), 1);
        seen[312 + row.index] |= row.mask;
    }
    EXPECT_EQ(seen, watched);
}

TEST(AlarmTable, CodesAndTextsAreWellFormed) {
    for (const AlarmRow& row : AlarmRows()) {
        SCOPED_TRACE(std::to_string(312 + row.index) + "." + std::to_string(row.mask));
        const std::string code = row.code;
        if (!code.empty()) {
            ASSERT_EQ(code.size(), 4u);
            for (char c : code) EXPECT_TRUE(std::isdigit(c) || (c >= 'A' && c <= 'F'));
        }
        ASSERT_EQ(row.textRaised == nullptr, row.textCleared == nullptr);
        if (row.textRaised == nullptr) continue;
        const std::string raised = row.textRaised, cleared = row.textCleared;
        ASSERT_LT(cleared.size(), 50u);  // fits the record's info field with its NUL
        // Either the name with a blank and "recovered", or a fixed pair of texts.
        if (raised.back() == ' ') EXPECT_EQ(cleared, raised + "recovered");
        else EXPECT_TRUE(cleared == raised + " recovered" || row.index == 0) << cleared;
        EXPECT_TRUE(row.ocpp16);
    }
}

TEST(AlarmTable, ForcedRowsHaveDistinctForceBitsInTheForceBlock) {
    std::map<unsigned, unsigned> bits;
    int forced = 0;
    for (const AlarmRow& row : AlarmRows()) {
        if (row.rule != Rule::Forced) continue;
        ++forced;
        EXPECT_TRUE(row.forceByte == 21526 || row.forceByte == 21527);
        EXPECT_EQ(bits[row.forceByte] & row.forceMask, 0u);
        bits[row.forceByte] |= row.forceMask;
        EXPECT_EQ(row.code[0], 'D');  // CHAdeMO group
    }
    EXPECT_EQ(forced, 10);
    EXPECT_EQ(bits[21526], 0xFFu);
    EXPECT_EQ(bits[21527], 0x03u);
}

TEST(AlarmTable, ChademoCodesMirrorTheirRecoveryCodes) {
    for (std::size_t i = 0; i < common::kChaDeMoAlarmCount; ++i) {
        SCOPED_TRACE(i);
        const std::string raise = common::pu8ChaDeMoAlarmCode[i], clear = common::pu8ChaDeMoAlarmCodeRcvr[i];
        if (i == 6 || i == 7 || i == 15) {
            EXPECT_EQ(raise, "000000");
            EXPECT_EQ(clear, "000000");
            continue;
        }
        EXPECT_EQ(raise.substr(0, 3), "00D");
        EXPECT_EQ(clear, "10" + raise.substr(2));
    }
}

}  // namespace
