#include "res/firmware_image.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/hex_image_check.h"

namespace morvane {
namespace {

constexpr std::size_t kBlockSize = 50;  // the transfer writes the image in blocks of this size

std::string_view ImageText() {
    const auto image = EmbeddedFirmwareImage();
    return {reinterpret_cast<const char*>(image.data()), image.size()};
}

// Cuts a text into its lines, each of which must end in CR LF (the last one too); a lone CR or
// LF, or an unended last line, gives nothing.
std::optional<std::vector<std::string_view>> SplitCrLfLines(std::string_view all) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < all.size()) {
        const std::size_t end = all.find_first_of("\r\n", start);
        if (end == std::string_view::npos || all.compare(end, 2, "\r\n") != 0) return std::nullopt;
        lines.push_back(all.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

TEST(FirmwareImage, LineSplittingWantsCrLf) {
    EXPECT_EQ(SplitCrLfLines(":00000001FF\r\n").value().size(), 1U);
    EXPECT_EQ(SplitCrLfLines("a\r\nb\r\n").value().size(), 2U);
    EXPECT_FALSE(SplitCrLfLines(":00000001FF"));
    EXPECT_FALSE(SplitCrLfLines(":00000001FF\n"));
    EXPECT_FALSE(SplitCrLfLines(":00000001FF\r"));
    EXPECT_FALSE(SplitCrLfLines("a\nb\r\n"));
    EXPECT_FALSE(SplitCrLfLines("a\r\rb\r\n"));
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
    const auto lines = SplitCrLfLines(ImageText());
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
        // The published form is upper-case hexadecimal; the receiver's decoder would take either.
        ASSERT_EQ(line.find_first_not_of(":0123456789ABCDEF"), std::string_view::npos)
            << "line " << i + 1;
        std::string why;
        const std::optional<SHexRecord> parsed = ParseHexRecord(line, &why);
        ASSERT_TRUE(parsed) << "line " << i + 1 << ": " << line << ": " << why;
        ASSERT_FALSE(endSeen) << "line " << i + 1 << " after the end-of-file record";
        const SHexRecord& rec = *parsed;
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
            default: FAIL() << "record type " << int{rec.type} << " at line " << i + 1;
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
    EXPECT_EQ(std::string(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(header.size())),
              header);
}

}  // namespace
}  // namespace morvane
