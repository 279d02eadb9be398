#include "serial/tty_holders_linux.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

// A process table laid out as /proc is: <pid>/comm, <pid>/fd/<n> links to what the process has
// open, and the locks file; two regular files stand for ttys.
class FakeProc {
public:
    FakeProc() {
        std::ofstream(Device()) << "";
        std::ofstream(Other()) << "";
    }

    [[nodiscard]] std::string Root() const { return root_.string(); }
    [[nodiscard]] std::string Device() const { return (root_ / "ttyUSB0").string(); }
    [[nodiscard]] std::string Other() const { return (root_ / "ttyUSB1").string(); }

    // `name` empty: the process left no readable name.
    void Process(const std::string& pid, const std::string& name,
                 const std::vector<std::string>& open) {
        const fs::path dir = root_ / pid;
        fs::create_directories(dir / "fd");
        if (!name.empty()) std::ofstream(dir / "comm") << name << "\n";
        int fd = 3;
        for (const std::string& target : open)
            fs::create_symlink(target, dir / "fd" / std::to_string(fd++));
    }

    // A lock line as the kernel writes it, for `path` held by `pid`.
    void Lock(const std::string& prefix, const std::string& pid, const std::string& path) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        char line[160];
        std::snprintf(line, sizeof line, "%s FLOCK  ADVISORY  WRITE %s %02x:%02x:%llu 0 EOF\n",
                      prefix.c_str(), pid.c_str(), major(st.st_dev), minor(st.st_dev),
                      static_cast<unsigned long long>(st.st_ino));
        std::ofstream(root_ / "locks", std::ios::app) << line;
    }

private:
    testing::TempDir folder_{"proc"};
    const fs::path root_ = folder_.Path();
};

std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

TEST(TtyHolders, ProcessesWithTheDeviceOpenAreNamedButNotThisOne) {
    FakeProc proc;
    proc.Process("812", "ModemManager", {proc.Other(), proc.Device()});
    proc.Process("900", "bash", {proc.Other()});
    proc.Process("4242", "", {proc.Device()});
    proc.Process("77", "morvane", {proc.Device()});  // this program
    proc.Process("self", "morvane", {proc.Device()});
    EXPECT_EQ(Sorted(ProgramsHoldingDevice(proc.Device(), proc.Root(), 77)),
              (std::vector<std::string>{"ModemManager (pid 812)", "unknown program (pid 4242)"}));
    EXPECT_TRUE(ProgramsHoldingDevice(proc.Other() + "-gone", proc.Root(), 77).empty());
    EXPECT_TRUE(ProgramsHoldingDevice("", proc.Root(), 77).empty());

    for (const char* pid : {"501", "502", "503"}) proc.Process(pid, "screen", {proc.Device()});
    EXPECT_EQ(ProgramsHoldingDevice(proc.Device(), proc.Root(), 77).size(), 3u);
}

// A lock names the program that took it, even beside others that only have the device open.
// This program's own lock (taken before it looks) names nobody, and leaves the search to the
// open descriptors.
TEST(TtyHolders, ALockNamesItsHolder) {
    FakeProc proc;
    proc.Process("812", "ModemManager", {proc.Device()});
    proc.Process("77", "morvane", {proc.Device()});
    proc.Lock("1:", "77", proc.Device());
    EXPECT_EQ(ProgramsHoldingDevice(proc.Device(), proc.Root(), 77),
              std::vector<std::string>{"ModemManager (pid 812)"});

    proc.Process("555", "minicom", {proc.Device()});
    proc.Process("600", "waiting", {proc.Device()});
    proc.Lock("2:", "555", proc.Device());
    proc.Lock("2: ->", "600", proc.Device());
    proc.Lock("3:", "812", proc.Other());
    EXPECT_EQ(Sorted(ProgramsHoldingDevice(proc.Device(), proc.Root(), 77)),
              (std::vector<std::string>{"minicom (pid 555)", "waiting (pid 600)"}));
}

}  // namespace
}  // namespace morvane
