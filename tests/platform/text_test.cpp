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

TEST(TrimSpace, DropsBlanksAndLineEndsAroundTheText) {
    EXPECT_EQ(TrimSpace(" 2.3\r"), "2.3");
    EXPECT_EQ(TrimSpace("1.22"), "1.22");
    EXPECT_EQ(TrimSpace("\r\n"), "");
}

TEST(EqualsNoCase, ComparesAsciiOnly) {
    EXPECT_TRUE(EqualsNoCase("-COM", "-com"));
    EXPECT_FALSE(EqualsNoCase("-com", "-con"));
    EXPECT_FALSE(EqualsNoCase("-com", "-com "));
}

TEST(Utf8FromUtf16, EncodesEveryPlaneAndReplacesLoneSurrogates) {
    struct Case {
        std::u16string_view wide;
        std::string_view utf8;
    };
    const Case cases[] = {
        {u"COM3", "COM3"},
        {u"Serielles USB-Ger\u00e4t (COM3)", "Serielles USB-Ger\xc3\xa4t (COM3)"},
        {u"\u041f\u043e\u0440\u0442", "\xd0\x9f\xd0\xbe\xd1\x80\xd1\x82"},
        {u"\u20ac", "\xe2\x82\xac"},
        {u"\U0001F6F0", "\xf0\x9f\x9b\xb0"},
        {u"a\xd800"
         u"b",
         "a\xef\xbf\xbd"
         "b"},
        {u"\xdc00\xd83d", "\xef\xbf\xbd\xef\xbf\xbd"},
    };
    for (const Case& c : cases) EXPECT_EQ(Utf8FromUtf16(c.wide), c.utf8) << c.utf8;
}

TEST(Utf16FromUtf8, DecodesEveryPlaneAndReplacesWhatIsNotUtf8) {
    struct Case {
        std::string_view utf8;
        std::u16string_view wide;
    };
    const Case cases[] = {
        {"C:\\Users\\Jos\xc3\xa9", u"C:\\Users\\Jos\u00e9"},
        {"\xe2\x82\xac\xf0\x9f\x9b\xb0", u"\u20ac\U0001F6F0"},
        {"Jos\xe9", u"Jos\uFFFD"},                // a code page's byte, not UTF-8
        {"\xc3", u"\uFFFD"},                      // cut short
        {"\xc0\xaf", u"\uFFFD\uFFFD"},            // overlong
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},  // a surrogate
    };
    for (const Case& c : cases) EXPECT_EQ(Utf16FromUtf8(c.utf8), c.wide) << c.utf8;
}

}  // namespace
}  // namespace morvane
