#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "session/load_record_file.h"

namespace morvane {
namespace {

// The XDG rule: an absolute XDG_STATE_HOME, else the home folder's .local/state.
TEST(LoadRecordFilePosix, TheDefaultFileFollowsXdgStateHome) {
    struct Row {
        const char* state;  // null: unset
        const char* home;
        const char* path;
    };
    const Row rows[] = {
        {"/var/bench", "/home/ann", "/var/bench/morvane/loads.jsonl"},
        {nullptr, "/home/ann", "/home/ann/.local/state/morvane/loads.jsonl"},
        {"", "/home/ann", "/home/ann/.local/state/morvane/loads.jsonl"},
        {"relative/state", "/home/ann", "/home/ann/.local/state/morvane/loads.jsonl"},
    };
    const char* savedState = std::getenv("XDG_STATE_HOME");
    const std::string state = savedState != nullptr ? savedState : "";
    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    for (const Row& r : rows) {
        if (r.state != nullptr) {
            ::setenv("XDG_STATE_HOME", r.state, 1);
        } else {
            ::unsetenv("XDG_STATE_HOME");
        }
        ::setenv("HOME", r.home, 1);
        EXPECT_EQ(DefaultLoadLogPath(), r.path) << (r.state != nullptr ? r.state : "unset");
        EXPECT_EQ(LoadLogPath({}), r.path);
    }
    EXPECT_EQ(LoadLogPath({true, "/srv/bench/loads.jsonl"}), "/srv/bench/loads.jsonl");
    EXPECT_EQ(LoadLogPath({false, "/srv/bench/loads.jsonl"}), "");
    if (savedState != nullptr) {
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    } else {
        ::unsetenv("XDG_STATE_HOME");
    }
    ::setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace morvane
