#include "app/command_line.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "record/loader_state.h"

namespace morvane {
namespace {

int StartPortFor(const CString& path, const CString& arguments) {
    SLoaderState state;
    CCommandLine commandLine(path, arguments);
    ApplyCommandLine(commandLine, state);
    return state.GetStartPort();
}

struct StartPortCase {
    const char* label;  // the case's name in the test list: letters, digits and '_' only
    const char* arguments;
    int startPort;
};

// How a case shows in the test list and in failures.
void PrintTo(const StartPortCase& c, std::ostream* os) {
    *os << testing::PrintToString(std::string(c.arguments)) << " gives " << c.startPort;
}

class StartPortTest : public testing::TestWithParam<StartPortCase> {};

TEST_P(StartPortTest, ReadsTheLastUsableComPair) {
    EXPECT_EQ(StartPortFor("morvane", GetParam().arguments), GetParam().startPort)
        << GetParam().arguments;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, StartPortTest,
    testing::Values(StartPortCase{"Lower", "-com 3", 3}, StartPortCase{"Upper", "-COM 3", 3},
                    StartPortCase{"NoNumber", "-com", -1}, StartPortCase{"Empty", "", -1},
                    StartPortCase{"AfterAnotherPair", "-x 1 -com 5", 5},
                    // 5 has no partner: the only pair is (foo, -com).
                    StartPortCase{"NumberOutOfPair", "foo -com 5", -1},
                    StartPortCase{"LastPairWins", "-com 4 -com 6", 6},
                    StartPortCase{"TrailingLetter", "-com 3x", 3},
                    StartPortCase{"LeadingLetter", "-com x3", -1},
                    StartPortCase{"Zero", "-com 0", -1}, StartPortCase{"MinusOne", "-com -1", -1},
                    StartPortCase{"ZeroAfterUsable", "-com 5 -com 0", 5},
                    StartPortCase{"MinusOneAfterUsable", "-com 5 -com -1", -1},
                    StartPortCase{"OtherNegative", "-com -4", -4},
                    StartPortCase{"PlusSign", "-com +12", 12},
                    StartPortCase{"BlanksTabsAndLineEnd", "  \t-com    7 \r\n", 7}),
    [](const testing::TestParamInfo<StartPortCase>& row) { return std::string(row.param.label); });

TEST(CommandLine, ProgramPathWithBlanksStaysOneToken) {
    EXPECT_EQ(StartPortFor("/opt/Morvane Updater/morvane", "-com 5"), 5);
    EXPECT_EQ(StartPortFor("\"C:\\Program Files\\Morvane\\Morvane.exe\"", "-com 5"), 5);
    EXPECT_EQ(StartPortFor("/opt/a b c/morvane", "-com 5"), 5);

    const char* argv[] = {"/home/ana/My Programs/morvane", "-com", "9"};
    CCommandLine commandLine(3, argv);
    ASSERT_EQ(commandLine.GetTokens().size(), 3u);
    EXPECT_EQ(commandLine.GetTokens()[0], "/home/ana/My Programs/morvane");
    EXPECT_EQ(commandLine.GetCommandLineText(), "/home/ana/My Programs/morvane -com 9");
    SLoaderState state;
    ApplyCommandLine(commandLine, state);
    EXPECT_EQ(state.GetStartPort(), 9);
}

TEST(CommandLine, ArgumentsAreCutAtBlanksWhateverArgvSaid) {
    // One quoted argument holding both words reads like two words.
    const char* argv[] = {"morvane", "-com 6"};
    CCommandLine commandLine(2, argv);
    SLoaderState state;
    ApplyCommandLine(commandLine, state);
    EXPECT_EQ(state.GetStartPort(), 6);
}

TEST(CommandLine, VerifyZeroTurnsTheVerificationOffAndTheLastPairWins) {
    const struct {
        const char* arguments;
        bool verify;
    } cases[] = {
        {"-com 5", true},
        {"-verify 0", false},
        {"-VERIFY 0 -com 5", false},
        {"-verify 0 -verify 1", true},
        {"-verify no", true},
    };
    for (const auto& c : cases) {
        CCommandLine commandLine("morvane", c.arguments);
        SLoaderState state;
        EXPECT_EQ(ApplyCommandLine(commandLine, state).verifyAfterLoad, c.verify) << c.arguments;
    }
}

TEST(CommandLine, PairsAreHandedOutInOrderAndNoFurther) {
    CCommandLine commandLine("morvane", "-a 1 -b 2 tail");
    CString key = "untouched";
    CString value = "untouched";
    ASSERT_TRUE(commandLine.GetFirstPair(key, value));
    EXPECT_EQ(key, "-a");
    EXPECT_EQ(value, "1");
    ASSERT_TRUE(commandLine.GetNextPair(key, value));
    EXPECT_EQ(key, "-b");
    EXPECT_EQ(value, "2");
    EXPECT_FALSE(commandLine.GetNextPair(key, value));
    EXPECT_EQ(key, "-b");

    CCommandLine tooShort("morvane", "-com");
    key = value = "untouched";
    EXPECT_FALSE(tooShort.GetFirstPair(key, value));
    EXPECT_FALSE(tooShort.GetNextPair(key, value));
    EXPECT_EQ(key, "untouched");
    EXPECT_EQ(value, "untouched");
}

struct SplitCase {
    const char* text;
    const char* separator;
    bool keepEmpty;
    CStringArray pieces;
};

TEST(SplitText, CutsAtTheWholeSeparator) {
    const SplitCase cases[] = {
        {"a b  c", " ", false, {"a", "b", "c"}},
        {"a b  c", " ", true, {"a", "b", "", "c"}},
        {" a ", " ", true, {"", "a"}},    // an empty last piece is never kept
        {"a,,b", "", false, {"a", "b"}},  // no separator means ","
        {"a,,b", "", true, {"a", "", "b"}},
        {"one::two:three", "::", false, {"one", "two:three"}},
        {"", " ", true, {}},
        {"   ", " ", false, {}},
    };
    for (const SplitCase& c : cases) {
        CStringArray out;
        SplitText(c.text, c.separator, out, c.keepEmpty);
        EXPECT_EQ(out, c.pieces) << '"' << c.text << "\" at \"" << c.separator << '"';
    }
}

TEST(SplitText, AppendsToWhatTheArrayHeld) {
    CStringArray out{"kept"};
    SplitText("x y", " ", out, false);
    EXPECT_EQ(out, (CStringArray{"kept", "x", "y"}));
}

}  // namespace
}  // namespace morvane
