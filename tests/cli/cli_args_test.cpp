#include "cli/cli_args.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

CliOptions Parse(std::vector<std::string> words) {
    words.insert(words.begin(), "morvane-cli");
    return ParseCommandLine(words);
}

// A bench's watch verifies and leaves current receivers alone unless told otherwise.
TEST(CliArgs, WatchDefaultsAndTheirOpposites) {
    struct Row {
        std::vector<std::string> words;
        bool verify;
        bool skipCurrent;
    };
    const Row rows[] = {
        {{"--watch"}, true, true},
        {{"--watch", "--no-verify"}, false, true},
        {{"--watch", "--force"}, true, false},
    };
    for (const Row& r : rows) {
        const CliOptions o = Parse(r.words);
        EXPECT_TRUE(o.watch);
        EXPECT_EQ(o.verify, r.verify) << r.words.back();
        EXPECT_EQ(o.skipCurrent, r.skipCurrent) << r.words.back();
    }
    const CliOptions two = Parse({"--watch", "--match", "0403:6001", "--match", "10c4:ea60:A1"});
    EXPECT_EQ(two.matches, (std::vector<SPortMatch>{{0x0403, 0x6001, ""}, {0x10c4, 0xea60, "A1"}}));
}

TEST(CliArgs, CombinationsOfOptions) {
    struct Row {
        std::vector<std::string> words;
        CliAction action;
        int exitStatus;  // for Exit only
        int comPort;
        const char* portPath;
        bool trace;
    };
    const Row rows[] = {
        {{"--com", "5"}, CliAction::Load, 0, 5, "", false},
        {{"--com=7"}, CliAction::Load, 0, 7, "", false},
        {{"-com", "3"}, CliAction::Load, 0, 3, "", false},
        {{"-COM", "3"}, CliAction::Load, 0, 3, "", false},
        {{"-Com", "192", "--trace"}, CliAction::Load, 0, 192, "", true},
        {{"--COM", "4"}, CliAction::Load, 0, 4, "", false},
        {{"--com", "4", "-com", "6"}, CliAction::Load, 0, 4, "", false},   // loaded side by side
        {{"--com", "4", "--com", "4"}, CliAction::Exit, 1, 0, "", false},  // one load per port
        {{"--probe", "--com", "4"}, CliAction::Load, 0, 4, "", false},
        {{"--verify", "--json", "--com", "4"}, CliAction::Load, 0, 4, "", false},
        {{"--all-probed", "--verify"}, CliAction::Load, 0, 0, "", false},
        {{"--probe", "--verify", "--com", "4"}, CliAction::Exit, 1, 0, "", false},
        {{"--all-probed", "--com", "4"}, CliAction::Exit, 1, 0, "", false},
        {{"--all-probed", "--probe"}, CliAction::Exit, 1, 0, "", false},
        {{"--list", "--json"}, CliAction::List, 0, 0, "", false},
        {{"--com", "4", "--no-log"}, CliAction::Load, 0, 4, "", false},
        {{"--log", "/srv/loads.jsonl", "--com", "4"}, CliAction::Load, 0, 4, "", false},
        {{"--history"}, CliAction::History, 0, 0, "", false},
        {{"--history", "5", "--log", "/srv/loads.jsonl"}, CliAction::History, 0, 0, "", false},
        {{"--history", "0"}, CliAction::Exit, 1, 0, "", false},
        {{"--history", "x"}, CliAction::Exit, 1, 0, "", false},
        {{"--history", "--com", "5"}, CliAction::Exit, 1, 0, "", false},
        {{"--history", "--no-log"}, CliAction::Exit, 1, 0, "", false},
        {{"--log", "/srv/loads.jsonl", "--no-log", "--com", "5"}, CliAction::Exit, 1, 0, "", false},
        {{"--log", "", "--com", "5"}, CliAction::Exit, 1, 0, "", false},
        {{"--list", "--log", "/srv/loads.jsonl"}, CliAction::Exit, 1, 0, "", false},
        {{"--skip-current", "--verify", "--com", "4"}, CliAction::Load, 0, 4, "", false},
        {{"--force", "--all-probed"}, CliAction::Load, 0, 0, "", false},
        {{"--skip-current", "--force", "--com", "4"}, CliAction::Exit, 1, 0, "", false},
        {{"--probe", "--skip-current", "--com", "4"}, CliAction::Exit, 1, 0, "", false},
        {{"--list", "--force"}, CliAction::Exit, 1, 0, "", false},
        {{"--port", "/dev/ttyUSB0"}, CliAction::Load, 0, 0, "/dev/ttyUSB0", false},
        {{"--trace", "--port", "/tmp/dev/com5"}, CliAction::Load, 0, 0, "/tmp/dev/com5", true},
        {{"--list"}, CliAction::List, 0, 0, "", false},
        {{"--ignore-battery", "--com", "5"}, CliAction::Load, 0, 5, "", false},
        {{"--line-check", "--com", "5"}, CliAction::LineCheck, 0, 5, "", false},
        {{"--line-check", "--port", "/dev/ttyUSB0"},
         CliAction::LineCheck,
         0,
         0,
         "/dev/ttyUSB0",
         false},
        {{"--line-check"}, CliAction::Exit, 1, 0, "", false},
        {{"--line-check", "--com", "5", "--com", "6"}, CliAction::LineCheck, 0, 5, "", false},
        {{"--line-check", "--com", "5", "--com", "6", "--com", "7"},
         CliAction::Exit,
         1,
         0,
         "",
         false},
        {{"--line-check", "--verify", "--com", "5"}, CliAction::Exit, 1, 0, "", false},
        {{"--list", "--ignore-battery"}, CliAction::Exit, 1, 0, "", false},
        {{"--watch", "--json"}, CliAction::Load, 0, 0, "", false},
        {{"--watch", "--com", "4", "--match", "0403:6001"}, CliAction::Load, 0, 4, "", false},
        {{"--watch", "--match", "0403"}, CliAction::Exit, 1, 0, "", false},
        {{"--match", "0403:6001", "--com", "4"}, CliAction::Exit, 1, 0, "", false},
        {{"--no-verify", "--com", "4"}, CliAction::Exit, 1, 0, "", false},
        {{"--watch", "--verify", "--no-verify"}, CliAction::Exit, 1, 0, "", false},
        {{"--watch", "--probe"}, CliAction::Exit, 1, 0, "", false},
        {{"--watch", "--all-probed"}, CliAction::Exit, 1, 0, "", false},
        {{"--watch", "--port", "/dev/ttyUSB0"}, CliAction::Exit, 1, 0, "", false},
        {{"--watch", "--list"}, CliAction::Exit, 1, 0, "", false},
        {{"--watch", "--line-check", "--com", "5"}, CliAction::Exit, 1, 0, "", false},
        {{"--watch", "--serve", "8080"}, CliAction::Load, 0, 0, "", false},
        {{"--watch", "--serve", "localhost"}, CliAction::Exit, 1, 0, "", false},
        {{"--serve", "8080", "--com", "4"}, CliAction::Exit, 1, 0, "", false},
        {{"--watch", "--serve", "8080", "--open"}, CliAction::Load, 0, 0, "", false},
        {{"--watch", "--open"}, CliAction::Exit, 1, 0, "", false},
        // Usage errors.
        {{}, CliAction::Exit, 1, 0, "", false},
        {{"--trace"}, CliAction::Exit, 1, 0, "", false},
        {{"--com"}, CliAction::Exit, 1, 0, "", false},
        {{"-com"}, CliAction::Exit, 1, 0, "", false},
        {{"--port"}, CliAction::Exit, 1, 0, "", false},
        {{"--port", ""}, CliAction::Exit, 1, 0, "", false},
        {{"--com", "0"}, CliAction::Exit, 1, 0, "", false},
        {{"--com", "-1"}, CliAction::Exit, 1, 0, "", false},
        {{"--com", "x3"}, CliAction::Exit, 1, 0, "", false},
        {{"--com", "3x"}, CliAction::Exit, 1, 0, "", false},
        {{"--com", "5", "--port", "/dev/ttyS0"}, CliAction::Exit, 1, 0, "", false},
        {{"--list", "--com", "5"}, CliAction::Exit, 1, 0, "", false},
        {{"--list", "--trace"}, CliAction::Exit, 1, 0, "", false},
        {{"--com", "5", "extra"}, CliAction::Exit, 1, 0, "", false},
        {{"--bogus"}, CliAction::Exit, 1, 0, "", false},
        {{"-c", "5"}, CliAction::Exit, 1, 0, "", false},
    };
    for (const Row& r : rows) {
        std::string words;
        for (const std::string& w : r.words) words += "[" + w + "] ";
        SCOPED_TRACE(words);
        const CliOptions o = Parse(r.words);
        EXPECT_EQ(o.action, r.action);
        if (r.action == CliAction::Exit) {
            EXPECT_EQ(o.exitStatus, r.exitStatus);
            // The parser's errors and ours alike.
            EXPECT_EQ(o.errText.rfind("morvane-cli: ", 0), 0u) << o.errText;
            EXPECT_EQ(o.outText, "");
        } else if (r.action != CliAction::History) {
            EXPECT_EQ(o.comPort, r.comPort);
            EXPECT_EQ(o.portPath, r.portPath);
            EXPECT_EQ(o.trace, r.trace);
        }
    }
}

TEST(CliArgs, TheRecordOfLoadsGoesWhereItIsSent) {
    EXPECT_EQ(Parse({"--history"}).historyCount, kDefaultHistoryCount);
    EXPECT_EQ(Parse({"--history", "5"}).historyCount, 5u);
    const SLoadLogTarget standard = LogTargetOf(Parse({"--com", "4"}));
    EXPECT_TRUE(standard.enabled);
    EXPECT_EQ(standard.file, "");
    EXPECT_TRUE(standard.systemLog);
    const SLoadLogTarget bench = LogTargetOf(Parse({"--com", "4", "--log", "/srv/loads.jsonl"}));
    EXPECT_TRUE(bench.enabled);
    EXPECT_EQ(bench.file, "/srv/loads.jsonl");
    const SLoadLogTarget none = LogTargetOf(Parse({"--com", "4", "--no-log"}));
    EXPECT_FALSE(none.enabled);
    EXPECT_FALSE(none.systemLog);
}

TEST(CliArgs, HelpDocumentsTheExitStatuses) {
    const CliOptions o = Parse({"--help"});
    EXPECT_EQ(o.action, CliAction::Exit);
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_EQ(o.errText, "");
    for (const char* needle : {"--com",
                               "--port",
                               "--list",
                               "--trace",
                               "--version",
                               "-com N",
                               "0 ",
                               "1 ",
                               "2 ",
                               "3 ",
                               "4 ",
                               "5 ",
                               "130",
                               "not detected",
                               "transfer failed",
                               "--probe",
                               "--verify",
                               "--json",
                               "--all-probed",
                               "worst",
                               "--log",
                               "--no-log",
                               "--history",
                               "--line-check",
                               "--ignore-battery",
                               "battery below 10 %"}) {
        EXPECT_NE(o.outText.find(needle), std::string::npos) << needle;
    }
}

TEST(CliArgs, VersionNamesTheProgramAndTheFirmwareItCarries) {
    const CliOptions o = Parse({"--version"});
    EXPECT_EQ(o.action, CliAction::Exit);
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_EQ(o.outText.rfind("Morvane Firmware Updater 1.0.0.0\n", 0), 0U) << o.outText;
    EXPECT_NE(o.outText.find("Tundro W6"), std::string::npos);
    EXPECT_NE(o.outText.find("1.22"), std::string::npos);
}

TEST(CliArgs, OnlyTheComKeyIsRewritten) {
    const std::vector<std::string> in = {"-com",  "-com", "-COM", "-cOm", "--com",
                                         "-comx", "-c",   "--",   "-com"};
    const std::vector<std::string> out = {"-com",  "--com", "--com", "--com", "--com",
                                          "-comx", "-c",    "--",    "-com"};
    EXPECT_EQ(NormaliseArguments(in),
              out);  // the program name and what follows "--" stay as they are
}

}  // namespace
}  // namespace morvane
