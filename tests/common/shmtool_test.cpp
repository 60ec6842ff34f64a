#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "regmap.h"
#include "shmtool.h"

namespace {

struct Row {
    std::vector<std::string> args;
    int rc;
    std::string out;
};

}  // namespace

TEST(ShmTool, ReadsAndWritesByOffsetAndByName) {
    std::vector<std::uint8_t> mem(regmap::kMapSize, 0);
    const Row rows[] = {
        {{"write", "SHRMEM_SET_V1", "4100"}, 0, ""},
        {{"read", "146", "bytes:2"}, 0, "10 04"},
        {{"read", "SHRMEM_SET_V1"}, 0, "4100"},
        {{"write", "SHRMEM_ETH0_GATEWAY", "192.168.1.254"}, 0, ""},
        {{"read", "274", "bytes:4"}, 0, "fe 01 a8 c0"},
        {{"write", "SHRMEM_SERIAL_NUMBER", "SN1"}, 0, ""},
        {{"read", "1120", "text:32"}, 0, "SN1"},
        {{"write", "0x1CF", "-5", "s32le"}, 0, ""},
        {{"read", "SHRMEM_CONNECTION_TIMEOUT"}, 0, "-5"},
        {{"write", "SHRMEM_CCS_PEV_MAC", "02:00:00:00:00:01"}, 0, ""},
        {{"read", "ccsb::SHRMEM_CCS_PEV_MAC"}, 0, "02 00 00 00 00 01"},
        {{"write", "ALARM_INIT_FAIL", "1"}, 2, "unknown field ALARM_INIT_FAIL"},
        {{"write", "2160", "256"}, 2, "value does not fit the field: 256"},
        {{"read", "262143", "u16"}, 2, "field outside the segment of 262144 bytes"},
        {{"read", "SHRMEM_SET_V1", "text:0"}, 2, "unknown type text:0"},
        {{"frobnicate"}, 2, "usage: shmtool [-k KEY] read FIELD [TYPE] | write FIELD VALUE [TYPE] | names"},
    };
    for (const auto& r : rows) {
        std::string out;
        EXPECT_EQ(shmtool::Execute(r.args, mem.data(), mem.size(), out), r.rc) << r.args[0] << " " << (r.args.size() > 1 ? r.args[1] : "");
        EXPECT_EQ(out, r.out);
    }
}

// Keys are parsed 64 bits wide on both ABIs: a 32-bit long once turned every
// key from 0x80000000 up into 0x7FFFFFFF.
TEST(ShmTool, SegmentKeysCoverThe32BitRangeAndNothingElse) {
    const struct {
        const char* text;
        std::optional<int> key;
    } rows[] = {
        {"5438", 5438},
        {"0x153e", 0x153e},
        {"0x7FFFFFFF", 0x7FFFFFFF},
        {"0x80000000", static_cast<int>(0x80000000u)},
        {"0xFFFFFFFF", -1},
        {"4294967295", -1},
        {"0x100000000", std::nullopt},
        {"18446744073709551616", std::nullopt},
        {"0", std::nullopt},
        {"-1", std::nullopt},
        {" 5", std::nullopt},
        {"+5", std::nullopt},
        {"5x", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& r : rows) EXPECT_EQ(shmtool::ParseSegmentKey(r.text), r.key) << r.text;
}
