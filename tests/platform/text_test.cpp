#include "platform/text.h"

#include <gtest/gtest.h>

#include <climits>

namespace morvane {
namespace {

TEST(AtoI, ReadsLikeTheCLibrary) {
    struct Case {
        const char* text;
        int value;
    };
    const Case cases[] = {
        {"3", 3},
        {"  12", 12},
        {"\t-4", -4},
        {"+7", 7},
        {"3x", 3},
        {"x3", 0},
        {"", 0},
        {"-", 0},
        {"0", 0},
        {"- 5", 0},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
    };
    for (const Case& c : cases) EXPECT_EQ(AtoI(c.text), c.value) << '"' << c.text << '"';
}

TEST(Format, GrowsBeyondAnyFixedBuffer) {
    EXPECT_EQ(Format("COM %i", 7), "COM 7");
    const std::string longText(5000, 'a');
    EXPECT_EQ(Format("%s!", longText.c_str()).size(), 5001u);
}

TEST(EqualsNoCase, ComparesAsciiOnly) {
    EXPECT_TRUE(EqualsNoCase("-COM", "-com"));
    EXPECT_FALSE(EqualsNoCase("-com", "-con"));
    EXPECT_FALSE(EqualsNoCase("-com", "-com "));
}

}  // namespace
}  // namespace morvane
