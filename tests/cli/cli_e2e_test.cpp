// morvane-cli as a user runs it: the built program, its output in a pipe, against morvane-sim on
// a pseudo-terminal that stands in for the receiver. Real time: each load takes what a load takes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/line_check.h"
#include "platform/sha256.h"
#include "res/firmware_image.h"
#include "serial/comm_dev2.h"
#include "session/load_outcome.h"
#include "tests/support/mock_system_bus.h"
#include "tests/support/output_text.h"
#include "tests/support/pty_line.h"
#include "tests/support/sim_process.h"
#include "tests/support/temp_dir.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;

using testing::ChildProcess;
using testing::ChildStderr;
using testing::CMockSystemBus;
using testing::CPtyLine;
using testing::Has;
using testing::SimProcess;
using testing::SPtyLineStyle;

// One test's world: the simulator as COM5 in a devices folder of its own, its log kept in a file.
class CliAgainstSim : public ::testing::Test {
protected:
    void TearDown() override {
        if (!sim_) return;
        sim_->Stop();
        if (HasFailure()) {
            std::cerr << "--- morvane-cli stdout\n"
                      << cliOut_ << "--- morvane-cli stderr\n"
                      << cliErr_ << "--- morvane-sim log\n"
                      << sim_->Log() << "--- report\n"
                      << sim_->Report();
        }
        sim_.reset();
    }

    void StartSim(std::vector<std::string> options) {
        sim_ = std::make_unique<SimProcess>(MORVANE_SIM_PATH, 5, options, ChildStderr::ToFile);
        ASSERT_TRUE(sim_->Ready()) << sim_->Log();
    }

    // Runs morvane-cli to its end, `whileRunning` once it started; its exit status.
    int RunCli(std::vector<std::string> options, std::chrono::seconds limit,
               const std::function<void()>& whileRunning = {}) {
        std::vector<std::string> argv = {MORVANE_CLI_PATH};
        argv.insert(argv.end(), options.begin(), options.end());
        ChildProcess cli(argv, Env(), ChildStderr::Piped);
        EXPECT_TRUE(cli.Started());
        if (whileRunning) whileRunning();
        const int status = cli.Wait(limit);
        cliOut_ = cli.Out();
        cliErr_ = cli.Err();
        return status;
    }

    // Ends the simulator and hands back its report (written at exit at the latest).
    std::string FinishSim() {
        simStatus_ = sim_->Stop();
        return sim_->Report();
    }

    // The record of loads goes to the test's own folder, never to the home folder of whoever runs
    // the tests.
    [[nodiscard]] std::vector<std::string> Env() const {
        std::vector<std::string> env = {"MORVANE_DEVICES=" + sim_->DevicesDir(),
                                        "NO_COLOR=", "XDG_STATE_HOME=" + StateDir()};
        if (bus_) env.push_back(bus_->Env().front());
        return env;
    }
    [[nodiscard]] std::string StateDir() const {
        return (std::filesystem::path(sim_->DevicesDir()).parent_path() / "state").string();
    }
    // logind and UPower stood in on a bus of the test's own, for morvane-cli to find.
    void StartSystemBus() {
        bus_ = std::make_unique<CMockSystemBus>();
        ASSERT_TRUE(bus_->StartLogind());
        ASSERT_TRUE(bus_->StartUPower());
    }
    [[nodiscard]] const std::string& Com5() const { return sim_->LinkPath(); }

    std::unique_ptr<CMockSystemBus> bus_;
    std::unique_ptr<SimProcess> sim_;
    int simStatus_ = -1;
    std::string cliOut_;
    std::string cliErr_;
};

// What the program writes as its result after a verification: the verdict's first line.
DetectionFacts Reported(const std::string& firmware) {
    DetectionFacts facts;
    facts.answered = true;
    facts.firmware = firmware;
    return facts;
}
std::string VerdictLine(const DetectionFacts& facts) {
    const std::string verdict = VerifyVerdict(facts, "COM5", kFirmwareVersion);
    return verdict.substr(0, verdict.find('\n') + 1);
}

// The PC is held awake for the load (on the mains, a laptop's battery does not matter) and let
// go after it.
TEST_F(CliAgainstSim, LoadsTheWholeImageAndLogsProgressInPlainLines) {
    StartSim({"--rate", "115200", "--exit-after-transfer"});
    StartSystemBus();
    ASSERT_TRUE(bus_->SetDisplayDevice(true, 2, 1, 4.0));  // a battery charging at 4 %
    EXPECT_EQ(RunCli({"--com", "5"}, 240s,
                     [&] { EXPECT_TRUE(bus_->WaitForInhibitor("Morvane", "sleep", true)); }),
              0);
    EXPECT_TRUE(bus_->WaitForInhibitor("Morvane", "sleep", false));

    EXPECT_TRUE(Has(cliOut_, "Status: Detecting Baud Rate\n"));
    EXPECT_TRUE(Has(cliOut_, "Status: Firmware Update Complete\n"));
    EXPECT_TRUE(Has(cliOut_, "Load Completed"));
    EXPECT_EQ(cliOut_.find('\r'), std::string::npos);
    EXPECT_EQ(cliOut_.find('\x1b'), std::string::npos);
    // One line in each tenth of the transfer, the last at 100%.
    const std::regex progress(R"(Progress: (\d+)/(\d+) \((\d+)%\), Remaining Time: [^\n]*\n)");
    std::vector<int> tenths;
    for (std::sregex_iterator it(cliOut_.begin(), cliOut_.end(), progress), end; it != end; ++it) {
        tenths.push_back(std::stoi((*it)[3]) / 10);
    }
    EXPECT_EQ(tenths, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10})) << cliOut_;
    const std::string size = std::to_string(EmbeddedFirmwareImage().size());
    EXPECT_TRUE(Has(cliOut_, "Progress: " + size + "/" + size + " (100%)"));

    simStatus_ = sim_->WaitForExit(30s);  // it ends by itself once the port is closed
    EXPECT_EQ(simStatus_, 0);
    const std::string report = sim_->Report();
    EXPECT_TRUE(Has(report, "\"complete\":true")) << report;
    EXPECT_TRUE(Has(report, "\"image_matches\":true")) << report;
    EXPECT_TRUE(Has(report, "\"bytes_received\":" + size)) << report;
    const std::string digest = Sha256Hex(EmbeddedFirmwareImage());
    EXPECT_TRUE(Has(report, "\"sha256\":\"" + digest + "\"")) << report;

    // The load left one record, appended to the default file, with this load's facts (what the
    // recorder makes of them is its own test's).
    std::ifstream logFile(StateDir() + "/morvane/loads.jsonl");
    std::vector<std::string> records;
    for (std::string line; std::getline(logFile, line);) records.push_back(line);
    ASSERT_EQ(records.size(), 1u);
    const nlohmann::json record = nlohmann::json::parse(records[0]);
    EXPECT_EQ(record.at("program"), "morvane-cli");
    EXPECT_EQ(record.at("port"), "COM5");
    EXPECT_EQ(record.at("device"), Com5());
    EXPECT_EQ(record.at("firmware_before"), "1.21");
    EXPECT_EQ(record.at("result"), "loaded");
    EXPECT_EQ(record.at("bytes_sent"), EmbeddedFirmwareImage().size());
    EXPECT_EQ(record.at("image_sha256"), digest);
    EXPECT_GT(record.at("duration_s").get<double>(), 20.0);
}

// A PC on a nearly flat battery opens no port and sends nothing unless told to go on.
TEST_F(CliAgainstSim, ALoadOnANearlyFlatBatteryIsRefused) {
    StartSim({});
    StartSystemBus();
    ASSERT_TRUE(bus_->SetDisplayDevice(true, 2, 2, 7.0));  // discharging, 7 % left
    EXPECT_EQ(RunCli({"--com", "5"}, 30s), 2);
    EXPECT_TRUE(Has(cliErr_, "Plug in the charger before you load")) << cliErr_;
    EXPECT_TRUE(Has(cliErr_, "The battery is at 7 %; --ignore-battery loads all the same."))
        << cliErr_;
    EXPECT_FALSE(Has(cliOut_, "Status:")) << cliOut_;
    // --ignore-battery goes past the refusal to the port, here one that is not there.
    EXPECT_EQ(RunCli({"--com", "250", "--ignore-battery"}, 30s), 2);
    EXPECT_FALSE(Has(cliErr_, "Plug in the charger")) << cliErr_;
    const std::string report = FinishSim();
    EXPECT_TRUE(Has(report, "\"commands\":[]")) << report;
}

// A receiver that answers "$JI" with six fields instead of seven is heard but never detected.
TEST_F(CliAgainstSim, AReceiverThatAnswersWrongIsHeardButNotDetected) {
    StartSim({"--fields", "6"});
    EXPECT_EQ(RunCli({"-com", "5"}, 120s), 3);
    EXPECT_TRUE(Has(cliOut_, "Status: Device Not Detected\n"));
    EXPECT_FALSE(Has(cliOut_, "Load Completed"));
    EXPECT_FALSE(Has(cliOut_, "Progress:"));
    EXPECT_TRUE(Has(cliErr_, "Bytes came back on COM5 (" + Com5() + ")")) << cliErr_;
    EXPECT_TRUE(Has(cliErr_, "never a valid answer")) << cliErr_;
}

// The simulator only stands on the line here: no load and no detection, so it ends at once.
using CliAgainstAHeldPort = CliAgainstSim;

TEST_F(CliAgainstAHeldPort, APortHeldByAnotherProgramFailsAtOnceAndSendsNothing) {
    StartSim({});
    CPathCommDev holder(Com5());
    ASSERT_TRUE(holder.Open(5));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunCli({"--com", "5"}, 30s), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(Has(cliOut_, "Status: Can't Connect, Invalid COM Port\n")) << cliOut_;
    EXPECT_TRUE(Has(cliErr_, "Cannot open COM5 (" + Com5() + "): the port is in use")) << cliErr_;
    // The lock names this test program as the holder.
    EXPECT_TRUE(Has(cliErr_, "It is held by test_cli_e2e (pid " + std::to_string(getpid()) + ")"))
        << cliErr_;

    holder.Close();
    const std::string report = FinishSim();
    EXPECT_TRUE(Has(report, "\"commands\":[]")) << report;
    EXPECT_FALSE(Has(report, "\"started\":true")) << report;
}

// The simulator's end of the line closes, as a pulled adapter's tty hangs up: the load says the
// port went away in the image, not that a cable needs checking.
TEST_F(CliAgainstSim, AHangUpInTheTransferFailsTheLoad) {
    StartSim({"--rate", "115200", "--hangup-after-bytes", "20000"});
    EXPECT_EQ(RunCli({"--com", "5"}, 240s), 4);
    EXPECT_TRUE(Has(cliOut_, "Status: Updating Firmware\n"));
    EXPECT_TRUE(Has(cliOut_, "Status: Firmware Block Failed\n")) << cliOut_;
    EXPECT_FALSE(Has(cliOut_, "Load Completed"));
    EXPECT_FALSE(Has(cliOut_, "(100%)"));
    // The port is named as it was when the load started, the simulator's link included.
    EXPECT_TRUE(Has(cliErr_, "COM5 (" + Com5() + ") went away during the image")) << cliErr_;
    EXPECT_FALSE(Has(cliErr_, "check the cable")) << cliErr_;
}

TEST_F(CliAgainstSim, AProbeFindsTheReceiverAndSendsNothingAfterDetection) {
    StartSim({"--rate", "115200"});
    EXPECT_EQ(RunCli({"--probe", "--com", "5"}, 120s), 0);
    EXPECT_TRUE(Has(cliOut_, "Receiver found on COM5, firmware 1.21 (answered at attempt "))
        << cliOut_;
    const std::string report = FinishSim();
    EXPECT_TRUE(Has(report, "\"started\":false")) << report;
    EXPECT_FALSE(Has(report, "CONNECT_TO_GPS")) << report;
}

// Two receivers loaded side by side and verified: the one whose image arrived whole runs the new
// firmware; the other had a digit altered on the line, stayed in its boot loader, and is caught.
TEST_F(CliAgainstSim, VerifyPassesAGoodTransferAndCatchesACorruptedOne) {
    StartSim({"--rate", "115200"});
    SimProcess corrupted(MORVANE_SIM_PATH, 6, {"--corrupt-after-bytes", "50000"},
                         ChildStderr::ToFile);
    ASSERT_TRUE(corrupted.Ready()) << corrupted.Log();
    std::filesystem::create_symlink(corrupted.DevicePath(), sim_->DevicesDir() + "/com6");

    EXPECT_EQ(RunCli({"--com", "5", "--com", "6", "--verify", "--json"}, 300s), 5);
    std::istringstream lines(cliOut_);
    std::map<std::string, nlohmann::json> results;
    std::map<std::string, nlohmann::json> verifications;
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json event = nlohmann::json::parse(line);
        if (event.at("event") == "result") results[event.at("port")] = event;
        if (event.at("event") == "verify") verifications[event.at("port")] = event;
    }
    ASSERT_EQ(results.size(), 2u) << cliOut_;
    ASSERT_EQ(verifications.size(), 2u) << cliOut_;
    // What the restarted receiver named, not what it named before the load.
    EXPECT_EQ(verifications["COM5"].at("version"), kFirmwareVersion);
    EXPECT_FALSE(verifications["COM6"].at("boot_loader").is_null());
    EXPECT_EQ(results["COM5"].at("exit_status"), 0);
    EXPECT_EQ(results["COM5"].at("verified_version"), kFirmwareVersion);
    EXPECT_EQ(results["COM6"].at("exit_status"), 5);
    EXPECT_TRUE(results["COM6"].at("verified_version").is_null());
    DetectionFacts stayed = Reported("");
    stayed.bootLoader = verifications["COM6"].at("boot_loader");
    EXPECT_TRUE(Has(cliErr_, "COM5: " + VerdictLine(Reported(kFirmwareVersion)))) << cliErr_;
    EXPECT_TRUE(Has(cliErr_, "COM6: " + VerdictLine(stayed))) << cliErr_;
    corrupted.Stop();
    if (HasFailure()) std::cerr << "--- corrupted receiver's log\n" << corrupted.Log();
}

// A receiver with a USB serial port of its own drops the port while it restarts: the verification
// waits for it to come back, and says so when it does not.
TEST_F(CliAgainstSim, VerifyFollowsThePortThroughTheRestart) {
    StartSim({"--rate", "115200", "--drop-port-on-restart", "8"});
    EXPECT_EQ(RunCli({"--com", "5", "--verify"}, 300s), 0);
    EXPECT_TRUE(Has(cliOut_, VerdictLine(Reported(kFirmwareVersion)))) << cliOut_;
    EXPECT_TRUE(Has(sim_->Log(), "the port is back on ")) << sim_->Log();
}

TEST_F(CliAgainstSim, VerifySaysThePortWentAwayWhenItDoesNotComeBack) {
    StartSim({"--rate", "115200", "--drop-port-on-restart", "600"});
    EXPECT_EQ(RunCli({"--com", "5", "--verify"}, 300s), 5);
    DetectionFacts gone;
    gone.port = VerifyPort::Gone;
    EXPECT_TRUE(Has(cliOut_, VerdictLine(gone))) << cliOut_;
    EXPECT_FALSE(Has(cliOut_, "bytes were heard")) << cliOut_;
}

// A loopback plug, and two adapters crossed: every byte comes back, every pause is kept.
TEST(CliLineCheck, ALoopbackOrTwoCrossedPortsCarryEveryByte) {
    for (const bool crossed : {false, true}) {
        SCOPED_TRACE(crossed ? "two ports crossed" : "a loopback plug");
        const CPtyLine line({.crossed = crossed});
        ASSERT_TRUE(line.Ok());
        const testing::TempDir folder("line-check");
        const std::string devices = folder.Path().string();
        std::filesystem::create_symlink(line.SendingPath(), devices + "/com5");
        std::filesystem::create_symlink(line.ReadingPath(), devices + "/com6");
        std::vector<std::string> argv = {MORVANE_CLI_PATH, "--line-check", "--com", "5"};
        if (crossed) argv.insert(argv.end(), {"--com", "6"});
        ChildProcess cli(argv, {"MORVANE_DEVICES=" + devices}, ChildStderr::Piped);
        const int status = cli.Wait(60s);
        const std::string where = crossed
                                      ? "COM5 (" + devices + "/com5) to COM6 (" + devices + "/com6)"
                                      : "COM5 (" + devices + "/com5)";
        EXPECT_EQ(status, 0) << cli.Out() << cli.Err();
        EXPECT_TRUE(Has(cli.Out(), "Line check on " + where + ": 300 blocks")) << cli.Out();
        EXPECT_TRUE(Has(cli.Out(), "Line check passed: " + where)) << cli.Out();
        EXPECT_TRUE(Has(cli.Out(), "(ASYNC_LOW_LATENCY)")) << cli.Out();
    }
}

// The check's verdict on lines that misbehave as real adapters do, with fewer blocks than the
// program sends: the pauses a load needs are judged whatever the sender kept.
TEST(LineCheckOnPseudoTerminals, JudgesWhatTheLineCarried) {
    SLineCheckPlan needed;
    needed.blocks = 60;
    SLineCheckPlan noPauses = needed;
    noPauses.pauseMs = 0;
    struct Row {
        const char* what;
        SPtyLineStyle line;
        const SLineCheckPlan& sent;
        bool passes;
    };
    const Row rows[] = {
        {"an echo as the bytes come", {}, needed, true},
        {"16 ms packets, the sender paused", {.packetMs = 16}, needed, true},
        {"16 ms packets, the sender did not pause", {.packetMs = 16}, noPauses, false},
        {"a byte dropped", {.dropByte = 1234}, needed, false},
    };
    const std::vector<std::uint8_t> bytes = LineCheckBytes(needed);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const CPtyLine line(row.line);
        ASSERT_TRUE(line.Ok());
        CPathCommDev device(line.SendingPath());
        const SLineCheckRun run = RunLineCheck(device, 1, nullptr, 0, row.sent, bytes);
        ASSERT_TRUE(run.opened);
        ASSERT_EQ(run.blocksWritten, needed.blocks);
        const SLineCheckResult result = AnalyseLineCheck(needed, bytes, run.received, run.arrivals);
        EXPECT_EQ(result.Passed(needed), row.passes) << LineCheckReport(result, needed, "COM5");
    }
}

}  // namespace
}  // namespace morvane
