// The load runner and what it shows: several ports run side by side, each told and summed up, as
// text for people and as events; --all-probed; the terminal rows; the events themselves. The
// sessions run scripted devices with waits that take no time.
#include "cli/load_runner.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "cli/json_events.h"
#include "cli/port_rows.h"
#include "record/loader_status.h"
#include "session/load_record_file.h"
#include "tests/support/fake_power.h"
#include "tests/support/output_text.h"
#include "tests/support/scripted_device.h"
#include "tests/support/temp_dir.h"
#include "tests/support/terminal_screen.h"

namespace morvane {
namespace {

using testing::DeviceScript;
using testing::Events;
using testing::Has;
using testing::ScriptedDevice;

// The receivers of a test by COM number, and the requests their sessions were made for.
struct Receivers {
    enum Kind { Answers, Silent, SilentUntilStopped, Busy, Vanishes };
    std::map<int, Kind> kinds;
    std::map<int, testing::WireLog> logs;
    std::vector<LoadRequest> made;
    testing::VirtualClock noWaits;
    testing::CFakePower power;

    SessionFactory Factory() {
        return [this](const LoadRequest& request) {
            made.push_back(request);
            SessionDeps deps;
            deps.waits = &noWaits;
            deps.power = &power;
            DeviceScript script;
            switch (kinds.at(request.comPort)) {
                case Answers: break;
                case SilentUntilStopped: deps.waits = nullptr; [[fallthrough]];
                case Silent: script = testing::Silent(); break;
                case Busy: script = testing::RefusesOpen(); break;
                case Vanishes:  // an adapter pulled out
                    script = testing::Silent();
                    script.opensBeforeGone = 3;
                    break;
            }
            deps.device = std::make_unique<ScriptedDevice>(logs[request.comPort], script);
            return std::make_unique<CLoadSession>(request, std::move(deps));
        };
    }
};

struct Output {
    explicit Output(bool json) {
        output.out = &out;
        output.err = &err;
        output.json = json;
    }
    std::ostringstream out;
    std::ostringstream err;
    RunnerOutput output;
};

// Each port's run also leaves its record as it ends: one per port in the file named (as JSON),
// or, where the file cannot be written (for people), a line that says so and changes nothing.
TEST(RunGroup, EveryPortIsToldSummedUpRecordedAndReportedAsEvents) {
    const testing::TempDir folder("group-log");
    std::ofstream(folder / "a-file") << "";
    const std::string log = (folder / "loads.jsonl").string();
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "people");
        Receivers receivers;
        receivers.kinds = {{5, Receivers::Answers}, {6, Receivers::Busy}, {7, Receivers::Vanishes}};
        std::vector<LoadRequest> requests(3);
        requests[0].comPort = 5;
        requests[1].comPort = 6;
        requests[1].probeOnly = true;
        requests[2].comPort = 7;
        for (LoadRequest& r : requests) {
            r.log = {true, json ? log : (folder / "a-file" / "loads.jsonl").string()};
            r.program = "morvane-cli";
        }
        Output o(json);
        // The bench's page is told the same events, whatever the mode.
        std::string alsoTold;
        o.output.alsoEvents = [&](const nlohmann::ordered_json& e) { alsoTold += EventLine(e); };
        const GroupResult group = RunGroup(requests, o.output, receivers.Factory());
        EXPECT_EQ(group.ExitStatuses(), (std::vector<int>{0, 2, 3}));
        if (!json) {
            // The port takes the program's name's place at the head of the line.
            EXPECT_TRUE(
                Has(o.err.str(),
                    "COM6: " + RecordProblem(group.ports[1].outcome).substr(kProgramPrefix.size())))
                << o.err.str();
        }
        EXPECT_EQ(receivers.logs[5].Written().size() > 136352, true);  // the image went out whole

        const std::string human = json ? o.err.str() : o.out.str();
        EXPECT_TRUE(Has(human, "COM5: Status: Firmware Update Complete\n")) << human;
        EXPECT_TRUE(Has(human, "COM5: Load Completed\t\n")) << human;
        EXPECT_TRUE(Has(human, "COM6: Status: Can't Connect, Invalid COM Port\n")) << human;
        EXPECT_TRUE(Has(human,
                        "Port  Outcome                          Exit\n"
                        "COM5  Firmware Update Complete         0\n"
                        "COM6  Can't Connect, Invalid COM Port  2\n"
                        "COM7  went away                        3\n"))
            << human;
        // What to do goes to stderr, whatever the outcome.
        EXPECT_TRUE(Has(o.err.str(), "COM6: Cannot open COM6")) << o.err.str();
        EXPECT_TRUE(Has(o.err.str(), "COM7: COM7 (")) << o.err.str();
        EXPECT_TRUE(Has(o.err.str(), "went away during detection: the device is gone"))
            << o.err.str();
        if (!json) {
            EXPECT_FALSE(Has(o.out.str(), "Cannot open")) << o.out.str();
            EXPECT_FALSE(Has(o.out.str(), "went away during")) << o.out.str();
        } else {
            // The same events, each taken at its own moment.
            auto untimed = [](const std::string& text) {
                std::vector<nlohmann::json> events = Events(text);
                for (nlohmann::json& e : events) e.erase("t");
                return events;
            };
            EXPECT_EQ(untimed(alsoTold), untimed(o.out.str()));
        }
        // Each port's result as the record of loads words it.
        std::map<std::string, std::pair<int, std::string>> results;
        for (const nlohmann::json& e : Events(alsoTold)) {
            if (e.at("event") == "result")
                results[e.at("port")] = {e.at("exit_status"), e.at("result")};
        }
        EXPECT_EQ(
            results,
            (std::map<std::string, std::pair<int, std::string>>{
                {"COM5", {0, "loaded"}}, {"COM6", {2, "open-failed"}}, {"COM7", {3, "failed"}}}));
    }
    // One record per port, in whichever order their runs ended.
    const SLoadHistory history = ReadLoadHistory(log, 10);
    EXPECT_EQ(history.records.size(), 3u);
    std::map<std::string, std::string> recorded;
    for (const SLoadRecord& r : history.records) {
        EXPECT_EQ(r.program, "morvane-cli");
        recorded[r.port] = r.result;
    }
    EXPECT_EQ(recorded, (std::map<std::string, std::string>{
                            {"COM5", "loaded"}, {"COM6", "open-failed"}, {"COM7", "failed"}}));
}

// Programs read what a probe and a verification heard in events of their own, before the result.
TEST(RunGroup, JsonTellsWhatTheProbeAndTheVerificationHeard) {
    Receivers receivers;
    receivers.kinds = {{5, Receivers::Answers}, {6, Receivers::Answers}};
    std::vector<LoadRequest> requests(2);
    requests[0].comPort = 5;
    requests[0].verify = true;
    requests[1].comPort = 6;
    requests[1].probeOnly = true;
    Output o(true);
    (void)RunGroup(requests, o.output, receivers.Factory());
    std::map<std::string, std::vector<std::string>> told;
    for (const nlohmann::json& e : Events(o.out.str())) {
        const std::string kind = e.at("event");
        if (kind == "probe" || kind == "verify") {
            told[e.at("port")].push_back(kind + " " + e.at("version").get<std::string>());
        } else if (kind == "start" || kind == "result") {
            told[e.at("port")].push_back(kind);
        }
    }
    EXPECT_EQ(told["COM5"], (std::vector<std::string>{"start", "verify 1.10", "result"}));
    EXPECT_EQ(told["COM6"], (std::vector<std::string>{"start", "probe 1.10", "result"}));
}

TEST(LoadWhereProbed, LoadsWhereAReceiverAnsweredAndNamesThePort) {
    Receivers receivers;
    receivers.kinds = {{5, Receivers::Silent}, {6, Receivers::Answers}};
    Output o(false);
    LoadRequest load;
    load.verify = false;
    EXPECT_EQ(LoadWhereProbed({5, 6}, load, o.output, receivers.Factory()), 0);
    EXPECT_TRUE(Has(o.out.str(), "Looking for receivers on 2 port(s)...\n")) << o.out.str();
    EXPECT_TRUE(Has(o.out.str(), "\nLoading COM6...\n")) << o.out.str();
    ASSERT_EQ(receivers.made.size(), 3u);
    EXPECT_FALSE(receivers.made[2].probeOnly);
    EXPECT_EQ(receivers.made[2].comPort, 6);
}

// SIGTERM while the ports are probed: a receiver found before it came is not loaded.
TEST(LoadWhereProbed, NothingIsLoadedOnceAStopWasAskedFor) {
    Receivers receivers;
    receivers.kinds = {{5, Receivers::Answers}, {6, Receivers::SilentUntilStopped}};
    const CStopRequests takenHere;  // the signal waits for the runner instead of ending the test
    pthread_kill(pthread_self(), SIGTERM);
    Output o(false);
    EXPECT_EQ(LoadWhereProbed({5, 6}, LoadRequest{}, o.output, receivers.Factory()), 143);
    EXPECT_EQ(receivers.made.size(), 2u);
    EXPECT_FALSE(Has(o.out.str(), "Loading")) << o.out.str();
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
    state.SetFirmwareText("1.\xff\xfe");  // not UTF-8
    events.Pass(state);

    const std::vector<nlohmann::json> lines = Events(out.str());
    ASSERT_GE(lines.size(), 6u);
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
                                               "firmware"}));
    EXPECT_EQ(lines[1].at("text"), "Status: Detecting Baud Rate");
    EXPECT_EQ(lines[2].at("version"), "1.21");
    ASSERT_EQ(percents.size(), 101u);  // each whole percent once
    for (int p = 0; p <= 100; ++p) EXPECT_EQ(percents[static_cast<std::size_t>(p)], p);
    // Each byte that is not UTF-8 stands as U+FFFD; the rest of the text stays.
    EXPECT_EQ(lines.back().at("version"), "1.\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(PortRows, OneLinePerPortRedrawnInPlaceWhilePortsComeAndGo) {
    std::ostringstream out;
    CPortRows rows(out);
    rows.Add(0, "COM5");
    rows.Add(1, "COM6");
    SLoaderState a;
    a.SetStatus(STATUS_UPDATING_FIRMWARE);
    a.SetTotalBytes(1000);
    a.SetSentBytes(420);
    a.SetRemainingSeconds(70);
    SLoaderState b;
    b.SetStatus(STATUS_CONNECTED);
    b.SetFirmwareText(" 1.21\r");
    b.SetFirmwareDetected(true);
    rows.Pass(0, a);
    rows.Pass(1, b);
    rows.Draw();
    EXPECT_EQ(out.str(),
              "\rCOM5     Updating Firmware           42%  Remaining Time: 70 seconds\x1b[K\n"
              "\rCOM6     Connected                   Firmware on Device:  1.21 \x1b[K\n");
    out.str("");
    rows.Draw();  // nothing changed
    EXPECT_EQ(out.str(), "");
    a.SetSentBytes(430);
    rows.Pass(0, a);
    rows.Draw();
    EXPECT_EQ(out.str().rfind("\x1b[2A\rCOM5 ", 0), 0u) << out.str();
    // Other text comes between: it takes the lines' place, and they are drawn below it. COM5
    // ends, its last line written once to stay; COM7 joins below COM6. Each line stands once.
    const std::string row5 = CPortRows::Row(
        "COM5",
        [&] {
            CStatusView view;
            view.Show(a);
            return view.Area();
        }(),
        a);
    rows.Clear();
    out << "COM6: a verdict\n";
    rows.Remove(0);
    rows.Add(2, "COM7");
    rows.Draw();
    EXPECT_EQ(testing::ScreenAfter(out.str()),
              "COM6: a verdict\n" + row5 +
                  "\nCOM6     Connected                   Firmware on Device:  1.21 \nCOM7\n");
    out.str("");
    rows.Pass(2, b);
    rows.Draw();
    EXPECT_EQ(out.str().rfind("\x1b[2A\rCOM6", 0), 0u) << out.str();
    // Lines with texts of their own, cut before the letter that would wrap, not through it; COM7's
    // next run takes its line over.
    rows.Set(1, std::string(66, 'x') + "——");
    rows.Set(2, "done 1.22 — unplug");
    rows.Add(3, "COM7");
    rows.Clear();
    out.str("");
    rows.Draw();
    EXPECT_EQ(out.str(),
              "\rCOM6     " + std::string(66, 'x') + "\xe2\x80\x94\x1b[K\n\rCOM7\x1b[K\n");
}

}  // namespace
}  // namespace morvane
