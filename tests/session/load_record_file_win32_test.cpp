// The record of loads in a profile whose name is not in the machine's code page ("José" on a
// Windows 7 PC, where the programs' texts are not the system's ANSI): the default file follows
// LOCALAPPDATA, and the folders, the file and the history are made and read by their wide names.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "session/load_record_file.h"

namespace morvane {
namespace {

TEST(LoadRecordFileWin32, AProfileNamedOutsideTheCodePageKeepsItsRecord) {
    wchar_t temp[MAX_PATH] = {};
    ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring profile = std::wstring(temp) + L"Jos\u00e9-" +
                                 std::to_wstring(::GetCurrentProcessId()) + L"\\AppData\\Local";
    wchar_t saved[MAX_PATH] = {};
    const bool had = ::GetEnvironmentVariableW(L"LOCALAPPDATA", saved, MAX_PATH) > 0;
    ASSERT_TRUE(::SetEnvironmentVariableW(L"LOCALAPPDATA", profile.c_str()));
    (void)_wputenv_s(L"LOCALAPPDATA", profile.c_str());
    const std::string path = DefaultLoadLogPath();
    (void)_wputenv_s(L"LOCALAPPDATA", had ? saved : L"");

    EXPECT_NE(path.find("Jos\xc3\xa9-"), std::string::npos) << path;
    const std::string line = "{\"result\":\"loaded\"}\n";
    EXPECT_FALSE(AppendInOneWrite(path, line));
    const std::wstring file = profile + L"\\Morvane\\loads.jsonl";
    EXPECT_NE(::GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(ReadLoadHistory(path, 10).found);
    ::DeleteFileW(file.c_str());
}

}  // namespace
}  // namespace morvane
