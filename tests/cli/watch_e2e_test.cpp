// morvane-cli --watch against simulated receivers plugged while it runs, in real time: the loads
// run side by side, so the whole takes about as long as one verified load.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/watch.h"
#include "res/firmware_image.h"
#include "serial/com_port_tidy.h"
#include "serial/enumerate_com_ports_linux.h"
#include "session/load_record.h"
#include "tests/support/output_text.h"
#include "tests/support/sim_process.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::ChildStderr;
using testing::Events;
using testing::Has;
using testing::PlugBoard;
using testing::ReadTextFile;
using testing::SimProcess;

// Two receivers on 1.21 and one already on 1.22, plugged a few seconds apart into a running
// watch: the two are loaded and verified, the third is left alone, and each has its record.
TEST(WatchAgainstSims, LoadsEachReceiverPluggedAndSkipsTheCurrentOne) {
    SimProcess first(MORVANE_SIM_PATH, 7, {"--rate", "115200"}, ChildStderr::ToFile);
    SimProcess second(MORVANE_SIM_PATH, 8, {"--rate", "115200"}, ChildStderr::ToFile);
    SimProcess current(MORVANE_SIM_PATH, 9, {"--rate", "115200", "--firmware-version", "1.22"},
                       ChildStderr::ToFile);
    ASSERT_TRUE(first.Ready() && second.Ready() && current.Ready());
    PlugBoard board;
    const std::string log = board.Dir() + "/loads.jsonl";
    const std::string errFile = board.Dir() + "/stderr.txt";

    ChildProcess cli({MORVANE_CLI_PATH, "--watch", "--json", "--log", log},
                     {"MORVANE_DEVICES=" + board.Dir()}, ChildStderr::ToFile, errFile);
    ASSERT_TRUE(cli.Started());
    EXPECT_EQ(cli.Wait(1500ms), -1);  // watching; Wait reads its output meanwhile
    ASSERT_TRUE(board.Plug(first, 7));
    EXPECT_EQ(cli.Wait(2500ms), -1);
    ASSERT_TRUE(board.Plug(second, 8));
    EXPECT_EQ(cli.Wait(2500ms), -1);
    ASSERT_TRUE(board.Plug(current, 9));
    const auto deadline = std::chrono::steady_clock::now() + 240s;
    while (Events(cli.Out(), "result").size() < 3 && std::chrono::steady_clock::now() < deadline)
        cli.Wait(1s);
    cli.Signal(SIGINT);  // idle now: it ends at once
    EXPECT_EQ(cli.Wait(10s), 0) << ReadTextFile(errFile);

    std::map<std::string, nlohmann::json> results;
    for (const nlohmann::json& e : Events(cli.Out(), "result")) results[e.at("port")] = e;
    ASSERT_EQ(results.size(), 3u) << cli.Out() << ReadTextFile(errFile);
    for (const char* port : {"COM7", "COM8"}) {
        EXPECT_EQ(results[port].at("exit_status"), 0) << port;
        EXPECT_EQ(results[port].at("verified_version"), kFirmwareVersion) << port;
    }
    EXPECT_EQ(results["COM9"].at("exit_status"), 0);
    EXPECT_EQ(results["COM9"].at("status_text"), "Status: Update Aborted, No Update Required");
    EXPECT_EQ(Events(cli.Out(), "port-added").size(), 3u);

    first.Stop();
    second.Stop();
    current.Stop();
    for (SimProcess* loaded : {&first, &second}) {
        EXPECT_TRUE(Has(loaded->Report(), "\"complete\":true")) << loaded->Report();
        EXPECT_TRUE(Has(loaded->Report(), "\"image_matches\":true")) << loaded->Report();
    }
    EXPECT_TRUE(Has(current.Report(), "\"started\":false")) << current.Report();
    EXPECT_FALSE(Has(current.Report(), "CONNECT_TO_GPS")) << current.Report();

    std::map<std::string, SLoadRecord> records;
    std::istringstream lines(ReadTextFile(log));
    for (std::string line; std::getline(lines, line);) {
        const std::optional<SLoadRecord> record = ParseLoadRecord(line);
        ASSERT_TRUE(record) << line;
        records[record->port] = *record;
    }
    ASSERT_EQ(records.size(), 3u) << ReadTextFile(log);
    for (const char* port : {"COM7", "COM8"}) {
        const SLoadRecord& r = records[port];
        EXPECT_EQ(r.program, "morvane-cli");
        EXPECT_EQ(r.result, "verified") << port;
        EXPECT_EQ(r.firmwareBefore, "1.21") << port;
        EXPECT_EQ(r.firmwareAfter, "1.22") << port;
        EXPECT_EQ(r.bytesSent, r.bytesTotal) << port;
        EXPECT_GT(r.bytesTotal, 0u) << port;
    }
    EXPECT_EQ(records["COM8"].device, board.LinkPath(8));
    EXPECT_EQ(records["COM9"].result, "skipped");
    EXPECT_EQ(records["COM9"].firmwareBefore, "1.22");
    EXPECT_EQ(records["COM9"].bytesSent, 0u);
}

// A fake sysfs where the pseudo-terminal `tty` sits below a USB adapter with these ids: what
// discovery reads of a real adapter, so a simulated receiver can carry a VID:PID.
void FakeUsbTty(const fs::path& root, const std::string& tty, const std::string& busPort,
                const char* vid, const char* pid) {
    const fs::path adapter = root / "sys/devices/pci0000:00/0000:00:14.0/usb1" / busPort;
    const fs::path interface = adapter / (busPort + ":1.0");
    fs::create_directories(interface);
    fs::create_directories(root / "sys/bus/usb");
    fs::create_directory_symlink(root / "sys/bus/usb", adapter / "subsystem");
    std::ofstream(adapter / "idVendor") << vid << '\n';
    std::ofstream(adapter / "idProduct") << pid << '\n';
    std::ofstream(adapter / "serial") << "SIM" << busPort << '\n';
    fs::create_directories(root / "sys/class/tty" / tty);
    fs::create_directory_symlink(interface, root / "sys/class/tty" / tty / "device");
}

// --match: of two simulated receivers plugged together, the one on another kind of adapter is
// never sent a byte, while the other one's load starts (and is stopped with two Ctrl-C).
TEST(WatchAgainstSims, MatchLeavesAnotherAdaptersReceiverUntouched) {
    SimProcess matched(MORVANE_SIM_PATH, 7, {"--rate", "115200"}, ChildStderr::ToFile);
    SimProcess other(MORVANE_SIM_PATH, 8, {"--rate", "115200"}, ChildStderr::ToFile);
    ASSERT_TRUE(matched.Ready() && other.Ready());
    PlugBoard board;
    const fs::path sysRoot = board.Dir() + "/root";
    FakeUsbTty(sysRoot, fs::path(matched.DevicePath()).filename(), "1-2", "0403", "6001");
    FakeUsbTty(sysRoot, fs::path(other.DevicePath()).filename(), "1-3", "1a86", "7523");
    // The loads open COM N where discovery found it: on the board.
    setenv("MORVANE_DEVICES", board.Dir().c_str(), 1);

    WatchRules rules;
    rules.matches = {{0x0403, 0x6001, ""}};
    LoadRequest load;
    load.verify = true;
    load.skipCurrent = true;
    std::ostringstream out;
    std::ostringstream err;
    RunnerOutput output;
    output.out = &out;
    output.err = &err;
    output.json = true;
    WatchDeps deps;
    deps.discover = [&] {
        SLinuxPortRoots roots;
        roots.sysRoot = sysRoot;
        roots.devicesDir = board.Dir();
        roots.byIdDir = sysRoot / "by-id";
        CArray<SSerInfo, SSerInfo&> ports;
        ListLinuxSerialPorts(roots, ports);
        TidyComPortList(ports);
        return ports;
    };
    const auto start = std::chrono::steady_clock::now();
    bool plugged = false;
    int interrupts = 0;
    deps.stops = [&](std::chrono::milliseconds wait) {
        std::this_thread::sleep_for(wait);
        const auto t = std::chrono::steady_clock::now() - start;
        if (!plugged && t >= 1500ms) {
            plugged = board.Plug(matched, 7) && board.Plug(other, 8);
        } else if (t >= 6s + interrupts * 500ms && interrupts < 2) {
            ++interrupts;
            return StopRequest::Interrupt;
        }
        return StopRequest::None;
    };

    EXPECT_EQ(RunWatch(rules, load, output, deps), 130) << err.str();
    const std::vector<nlohmann::json> added = Events(out.str(), "port-added");
    ASSERT_EQ(added.size(), 1u) << out.str();
    EXPECT_EQ(added[0].at("port"), "COM7");
    EXPECT_EQ(added[0].at("usb").at("vid"), "0403");
    const std::vector<nlohmann::json> results = Events(out.str(), "result");
    ASSERT_EQ(results.size(), 1u) << out.str();
    EXPECT_EQ(results[0].at("exit_status"), 130);
    EXPECT_FALSE(Has(out.str(), "\"COM8\"")) << out.str();

    matched.Stop();
    other.Stop();
    EXPECT_TRUE(Has(other.Report(), "\"commands\":[]")) << other.Report();
    EXPECT_TRUE(Has(other.Report(), "\"bytes_received\":0,")) << other.Report();
}

}  // namespace
}  // namespace morvane
