#include "loader/firmware_image.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <string_view>

#include "support/ihex.h"

namespace morvane {
namespace {

using test::IhexError;
using test::ParseIhexRecord;
using test::SplitCrLfLines;

constexpr std::size_t kBlockSize = 50;  // the transfer writes the image in blocks of this size

std::string_view ImageText() {
    const auto image = EmbeddedFirmwareImage();
    return {reinterpret_cast<const char*>(image.data()), image.size()};
}

TEST(IhexReader, GoodAndCorruptedRecords) {
    struct Row {
        const char* line;
        IhexError error;
        int type;  // when good
        std::size_t dataSize;
    };
    const Row rows[] = {
        {":020000040000FA", IhexError::None, 0x04, 2},
        {":020000040001F9", IhexError::None, 0x04, 2},
        {":00000001FF", IhexError::None, 0x01, 0},
        {":1080000054554E44524F205736204150504C49430E", IhexError::None, 0x00, 16},
        {"", IhexError::NoColon, 0, 0},
        {"020000040000FA", IhexError::NoColon, 0, 0},
        {";020000040000FA", IhexError::NoColon, 0, 0},
        {":020000040000fa", IhexError::BadDigit, 0, 0},        // lower case
        {":02000004 000FA", IhexError::BadDigit, 0, 0},
        {":020000040000FA\r", IhexError::BadDigit, 0, 0},      // line end left on
        {":020000040000F", IhexError::BadLength, 0, 0},        // odd digit count
        {":00000001", IhexError::BadLength, 0, 0},             // no checksum
        {":030000040000F9", IhexError::BadLength, 0, 0},       // count says 3, holds 2
        {":0100000400FB00", IhexError::BadLength, 0, 0},       // count says 1, holds 2
        {":020000040000FB", IhexError::BadChecksum, 0, 0},
        {":00000001FE", IhexError::BadChecksum, 0, 0},
        {":1080000054554E44524F205736204150504C49430F", IhexError::BadChecksum, 0, 0},
        {":1080000054554E44524F205736204150504C49530E", IhexError::BadChecksum, 0, 0},  // data flipped
    };
    for (const Row& row : rows) {
        const auto parsed = ParseIhexRecord(row.line);
        EXPECT_EQ(parsed.error, row.error) << row.line;
        if (row.error == IhexError::None) {
            EXPECT_EQ(parsed.record.type, row.type) << row.line;
            EXPECT_EQ(parsed.record.data.size(), row.dataSize) << row.line;
        }
    }
}

TEST(IhexReader, LinesMustEndInCrLf) {
    auto split = [](std::string_view text) {
        return SplitCrLfLines({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    };
    EXPECT_EQ(split(":00000001FF\r\n").value().size(), 1U);
    EXPECT_EQ(split("a\r\nb\r\n").value().size(), 2U);
    EXPECT_FALSE(split(":00000001FF"));
    EXPECT_FALSE(split(":00000001FF\n"));
    EXPECT_FALSE(split(":00000001FF\r"));
    EXPECT_FALSE(split("a\nb\r\n"));
    EXPECT_FALSE(split("a\r\rb\r\n"));
}

TEST(FirmwareImage, ReadInPlaceNotCopied) {
    const auto first = EmbeddedFirmwareImage();
    const auto second = EmbeddedFirmwareImage();
    EXPECT_EQ(first.data(), second.data());
    EXPECT_EQ(first.size(), second.size());
}

TEST(FirmwareImage, SizeEndsAndBlocks) {
    const std::string_view text = ImageText();
    ASSERT_EQ(text.size(), 136352U);
    EXPECT_EQ(text.front(), ':');
    EXPECT_TRUE(text.ends_with("\r\n:00000001FF\r\n"));

    // What the transfer sends: 2727 blocks of 50, then the CR LF that ends the last record.
    EXPECT_EQ(text.size() / kBlockSize, 2727U);
    EXPECT_EQ(text.size() % kBlockSize, 2U);
    EXPECT_EQ(text.substr(2727 * kBlockSize), "\r\n");
}

TEST(FirmwareImage, RecordsFormAndAddresses) {
    const auto lines = SplitCrLfLines(EmbeddedFirmwareImage());
    ASSERT_TRUE(lines) << "a line does not end in CR LF";
    ASSERT_EQ(lines->size(), 3032U);

    // Expected, in order: upper half 0x0000 with data 0x8000-0xFFFF, upper half 0x0001 with
    // data 0x10000-0x13D4F, end of file.
    struct Segment {
        std::uint32_t first;
        std::uint32_t end;
    };
    std::vector<Segment> segments;
    std::uint32_t upper = 0;
    bool upperSet = false;
    bool endSeen = false;
    std::vector<std::uint8_t> data;
    for (std::size_t i = 0; i < lines->size(); ++i) {
        const std::string_view line = (*lines)[i];
        const auto parsed = ParseIhexRecord(line);
        ASSERT_EQ(parsed.error, IhexError::None) << "line " << i + 1 << ": " << line;
        ASSERT_FALSE(endSeen) << "line " << i + 1 << " after the end-of-file record";
        const auto& rec = parsed.record;
        switch (rec.type) {
        case 0x04:
            ASSERT_EQ(line.size(), 15U) << "line " << i + 1;
            ASSERT_EQ(rec.offset, 0);
            upper = static_cast<std::uint32_t>(rec.data[0] << 8 | rec.data[1]);
            upperSet = true;
            segments.push_back({});
            break;
        case 0x00: {
            ASSERT_TRUE(upperSet) << "data before the first address record, line " << i + 1;
            ASSERT_EQ(rec.data.size(), 16U) << "line " << i + 1;
            ASSERT_EQ(line.size(), 43U) << "line " << i + 1;
            const std::uint32_t address = upper << 16 | rec.offset;
            Segment& seg = segments.back();
            if (seg.first == seg.end) {
                seg = {address, address};
            }
            ASSERT_EQ(address, seg.end) << "gap or overlap at line " << i + 1;
            seg.end = address + 16;
            data.insert(data.end(), rec.data.begin(), rec.data.end());
            break;
        }
        case 0x01:
            ASSERT_EQ(line, ":00000001FF");
            endSeen = true;
            break;
        default:
            FAIL() << "record type " << int{rec.type} << " at line " << i + 1;
        }
    }
    EXPECT_TRUE(endSeen);
    ASSERT_EQ(segments.size(), 2U);
    EXPECT_EQ(segments[0].first, 0x8000U);
    EXPECT_EQ(segments[0].end, 0x10000U);
    EXPECT_EQ(segments[1].first, 0x10000U);
    EXPECT_EQ(segments[1].end, 0x13D50U);

    // The image names what it is, as the window's title does.
    std::string header;
    for (const char* c = kModelName; *c; ++c) {
        header += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    }
    header += std::string(" APPLICATION FIRMWARE ") + kFirmwareVersion;
    EXPECT_EQ(std::string(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(header.size())), header);
}

}  // namespace
}  // namespace morvane
