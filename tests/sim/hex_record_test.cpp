#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "sim/hex_image_check.h"

namespace morvane {
namespace {

TEST(HexRecord, GoodAndCorruptedRecords) {
    struct Row {
        const char* line;
        bool good;
        int type;  // when good
        std::size_t dataSize;
    };
    const Row rows[] = {
        {":020000040000FA", true, 0x04, 2},
        {":020000040001F9", true, 0x04, 2},
        {":00000001FF", true, 0x01, 0},
        {":1080000054554E44524F205736204150504C49430E", true, 0x00, 16},
        {"", false, 0, 0},
        {"020000040000FA", false, 0, 0},  // no colon
        {";020000040000FA", false, 0, 0},
        {":02000004 000FA", false, 0, 0},    // not a hex digit
        {":020000040000FA\r", false, 0, 0},  // line end left on
        {":020000040000F", false, 0, 0},     // odd digit count
        {":00000001", false, 0, 0},          // no checksum
        {":030000040000F9", false, 0, 0},    // count says 3, holds 2
        {":0100000400FB00", false, 0, 0},    // count says 1, holds 2
        {":020000040000FB", false, 0, 0},    // checksums
        {":00000001FE", false, 0, 0},
        {":1080000054554E44524F205736204150504C49430F", false, 0, 0},
        {":1080000054554E44524F205736204150504C49530E", false, 0, 0},  // data flipped
    };
    for (const Row& row : rows) {
        std::string why;
        const std::optional<SHexRecord> parsed = ParseHexRecord(row.line, &why);
        EXPECT_EQ(parsed.has_value(), row.good) << row.line;
        if (row.good && parsed) {
            EXPECT_EQ(parsed->type, row.type) << row.line;
            EXPECT_EQ(parsed->data.size(), row.dataSize) << row.line;
        } else if (!row.good) {
            EXPECT_FALSE(why.empty()) << row.line << ": a rejected record says why";
        }
    }
}

}  // namespace
}  // namespace morvane
