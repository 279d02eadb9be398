// The newer ways of running the CLI: the exit status of probes and verifications, the worst of
// several outcomes, the events for programs, and several ports run and summed up side by side.
#include "cli/multi_load.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/exit_status.h"
#include "cli/json_events.h"
#include "record/loader_status.h"
#include "session/load_outcome.h"
#include "tests/support/refusing_device.h"

namespace morvane {
namespace {

DetectionFacts Answered(std::string firmware, std::string bootLoader = "") {
    DetectionFacts f;
    f.answered = true;
    f.attempt = 6;
    f.attempts = 20;
    f.bytesHeard = 180;
    f.firmware = std::move(firmware);
    f.bootLoader = std::move(bootLoader);
    return f;
}

TEST(ExitStatus, OutcomesOfProbesVerificationsAndSeveralPorts) {
    LoadRequest probe;
    probe.probeOnly = true;
    LoadRequest verify;
    verify.verify = true;
    LoadOutcome found;
    found.status = STATUS_CONNECTED;
    found.detection = Answered("1.21");
    LoadOutcome notFound;
    notFound.status = STATUS_DEVICE_NOT_DETECTED;
    LoadOutcome invalid;
    invalid.status = STATUS_INVALID_PORT;
    EXPECT_EQ(ExitStatusForOutcome(probe, found), 0);
    EXPECT_EQ(ExitStatusForOutcome(probe, notFound), 3);
    EXPECT_EQ(ExitStatusForOutcome(probe, invalid), 2);

    LoadOutcome loaded;
    loaded.status = STATUS_FIRMWARE_COMPLETE;
    EXPECT_EQ(ExitStatusForOutcome(verify, loaded), 0);  // the verification did not run
    loaded.verifyRan = true;
    loaded.detection = Answered("1.22");
    EXPECT_EQ(ExitStatusForOutcome(verify, loaded), 0);
    loaded.detection = Answered("", "2.05");
    EXPECT_EQ(ExitStatusForOutcome(verify, loaded), 5);
    LoadOutcome broken;
    broken.status = STATUS_BLOCK_FAILED;
    EXPECT_EQ(ExitStatusForOutcome(verify, broken), 4);

    EXPECT_EQ(WorstExitStatus({}), 0);
    EXPECT_EQ(WorstExitStatus({0, 0}), 0);
    EXPECT_EQ(WorstExitStatus({0, 2, 3}), 3);
    EXPECT_EQ(WorstExitStatus({3, 5, 0}), 5);
    EXPECT_EQ(WorstExitStatus({5, 4, 2}), 4);
    EXPECT_EQ(WorstExitStatus({4, 130, 0}), 130);
    EXPECT_EQ(WorstExitStatus({143, 4}), 143);
}

std::vector<nlohmann::json> Lines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

TEST(JsonEvents, OneObjectPerLineForEachChange) {
    std::ostringstream out;
    CJsonEvents events(out, "COM5", std::chrono::steady_clock::now());
    SLoaderState state;
    state.SetLoadRunning(true);
    events.Start("load", true);
    state.SetStatus(STATUS_DETECTING_BAUD);
    events.Pass(state);
    events.Pass(state);  // nothing changed: nothing written
    state.SetFirmwareText(" 1.21\r");
    state.SetFirmwareDetected(true);
    events.Pass(state);
    state.SetStatus(STATUS_UPDATING_FIRMWARE);
    state.SetTotalBytes(1000);
    for (std::uint32_t sent = 0; sent <= 1000; sent += 5) {
        state.SetSentBytes(sent);
        events.Pass(state);
    }
    events.Prompt("Load Completed\t");
    state.SetFirmwareText("\xff\xfe");  // not UTF-8
    events.Pass(state);
    const std::string verified = "1.22";
    events.Result(0, STATUS_CONNECTED, "Verified: the receiver reports firmware 1.22", &verified);

    const std::vector<nlohmann::json> lines = Lines(out.str());
    ASSERT_GE(lines.size(), 7u);
    std::vector<std::string> kinds;
    std::vector<int> percents;
    for (const nlohmann::json& e : lines) {
        EXPECT_EQ(e.at("port"), "COM5");
        EXPECT_TRUE(e.at("t").is_number());
        const std::string kind = e.at("event");
        if (kind == "progress") {
            percents.push_back(e.at("percent"));
        } else {
            kinds.push_back(kind);
        }
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"start", "status", "firmware", "status", "prompt",
                                               "firmware", "result"}));
    EXPECT_EQ(lines[2].at("version"), "1.21");
    ASSERT_EQ(percents.size(), 101u);  // each whole percent once
    for (int p = 0; p <= 100; ++p) EXPECT_EQ(percents[static_cast<std::size_t>(p)], p);
    EXPECT_EQ(lines.back().at("exit_status"), 0);
    EXPECT_EQ(lines.back().at("verified_version"), "1.22");
    EXPECT_EQ(lines.back().at("status_text"), "Status: Connected");
}

TEST(RunGroup, EveryPortIsNamedSummedUpAndReportedAsEvents) {
    std::vector<LoadRequest> requests(2);
    requests[0].comPort = 5;
    requests[1].comPort = 6;
    requests[1].probeOnly = true;
    const DeviceFactory refusing = [](const LoadRequest&) {
        return std::make_unique<testing_support::CRefusingDevice>(
            OpenError{OpenErrorKind::Busy, "/dev/ttyFAKE0", "Device or resource busy", 16, {}});
    };
    // Each port's run is recorded; a record that cannot be written is said and changes nothing.
    const auto folder = std::filesystem::temp_directory_path() /
                        ("morvane-group-log-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "a-file") << "";
    const std::string log = (folder / "loads.jsonl").string();
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "people");
        std::ostringstream out;
        std::ostringstream err;
        GroupOutput output;
        output.out = &out;
        output.err = &err;
        output.json = json;
        for (LoadRequest& r : requests) {
            r.log = {true, json ? log : (folder / "a-file" / "loads.jsonl").string()};
            r.program = "morvane-cli";
        }
        std::vector<LoadOutcome> outcomes;
        EXPECT_EQ(RunGroup(requests, output, &outcomes, refusing), (std::vector<int>{2, 2}));
        if (!json) {
            EXPECT_NE(err.str().find("COM6: morvane-cli: the record of this load could not be "
                                     "written: " +
                                     (folder / "a-file").string()),
                      std::string::npos)
                << err.str();
        }
        ASSERT_EQ(outcomes.size(), 2u);
        EXPECT_EQ(outcomes[1].openError.kind, OpenErrorKind::Busy);

        const std::string human = json ? err.str() : out.str();
        EXPECT_NE(human.find("COM5: Status: Can't Connect, Invalid COM Port\n"), std::string::npos);
        EXPECT_NE(human.find("COM6: Status: Can't Connect, Invalid COM Port\n"), std::string::npos);
        EXPECT_NE(human.find("Port  Outcome                          Exit\n"
                             "COM5  Can't Connect, Invalid COM Port  2\n"),
                  std::string::npos)
            << human;
        EXPECT_NE(err.str().find("COM6: Cannot open COM6"), std::string::npos) << err.str();
        if (json) {
            int results = 0;
            for (const nlohmann::json& e : Lines(out.str())) {
                if (e.at("event") != "result") continue;
                ++results;
                EXPECT_EQ(e.at("exit_status"), 2);
                EXPECT_EQ(e.contains("verified_version"), false);
            }
            EXPECT_EQ(results, 2);
        }
    }
    const SLoadHistory history = ReadLoadHistory(log, 10);
    ASSERT_EQ(history.records.size(), 2u);
    // Each worker appends its own record as its run ends, in whichever order they end.
    std::vector<std::string> ports = {history.records[0].port, history.records[1].port};
    std::sort(ports.begin(), ports.end());
    EXPECT_EQ(ports, (std::vector<std::string>{"COM5", "COM6"}));
    for (const SLoadRecord& r : history.records) {
        EXPECT_EQ(r.result, "open-failed");
        EXPECT_EQ(r.status, "Status: Can't Connect, Invalid COM Port");
        EXPECT_EQ(r.program, "morvane-cli");
        EXPECT_EQ(r.imageSha256.size(), 64u);
    }
    std::filesystem::remove_all(folder);
}

TEST(PortRows, OneLinePerPortRedrawnInPlace) {
    std::ostringstream out;
    CPortRows rows(out, {"COM5", "COM6"});
    SLoaderState a;
    a.SetStatus(STATUS_UPDATING_FIRMWARE);
    a.SetTotalBytes(1000);
    a.SetSentBytes(420);
    a.SetRemainingSeconds(70);
    SLoaderState b;
    b.SetStatus(STATUS_DETECTING_BAUD);
    rows.Pass(0, a);
    rows.Pass(1, b);
    rows.Draw();
    EXPECT_EQ(out.str(),
              "\rCOM5     Updating Firmware           42%  Remaining Time: 70 seconds\x1b[K\n"
              "\rCOM6     Detecting Baud Rate       \x1b[K\n");
    out.str("");
    rows.Draw();  // nothing changed
    EXPECT_EQ(out.str(), "");
    a.SetSentBytes(430);
    rows.Pass(0, a);
    rows.Draw();
    EXPECT_EQ(out.str().rfind("\x1b[2A\rCOM5 ", 0), 0u) << out.str();
    rows.Release();  // other text came between: the next draw starts below it
    out.str("");
    rows.Draw();
    EXPECT_EQ(out.str().rfind("\rCOM5", 0), 0u);
}

}  // namespace
}  // namespace morvane
