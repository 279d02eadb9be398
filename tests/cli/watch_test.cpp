// morvane-cli --watch: which ports it may touch, what becomes of each one from the moment it
// appears to the moment it goes away, and the watch on the load runner's loop, on made-up port
// lists, scripted loads and a virtual clock.
#include "cli/watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "cli/exit_status.h"
#include "cli/summary_table.h"
#include "loader/loader_w6.h"
#include "record/loader_status.h"
#include "tests/support/debug_capture.h"
#include "tests/support/output_text.h"
#include "tests/support/ports.h"
#include "tests/support/scripted_loader.h"
#include "tests/support/terminal_screen.h"

namespace morvane {
namespace {

using testing::Has;
using testing::Port;

TEST(PortMatch, ReadsTheIdsAndPicksOnlyTheBenchsAdapters) {
    struct Text {
        const char* text;
        std::optional<SPortMatch> match;
    };
    const Text texts[] = {
        {"0403:6001", SPortMatch{0x0403, 0x6001, ""}},
        {"10C4:ea60:0001", SPortMatch{0x10c4, 0xea60, "0001"}},
        {"0403", std::nullopt},
        {"0403:6001:", std::nullopt},
    };
    for (const Text& t : texts) {
        std::string error;
        EXPECT_EQ(ParsePortMatch(t.text, error), t.match) << t.text;
        EXPECT_EQ(error.empty(), t.match.has_value()) << t.text;
    }

    const std::vector<SPortMatch> bench = {{0x0403, 0x6001, ""}, {0x10c4, 0xea60, "A1"}};
    struct Case {
        SSerInfo port;
        bool matches;
    };
    const Case cases[] = {
        {Port(33).Device("/dev/ttyUSB0").Usb(0x0403, 0x6001, "X9"), true},
        {Port(34).Device("/dev/ttyUSB1").Usb(0x10c4, 0xea60, "a1"), true},  // letter case aside
        {Port(35).Device("/dev/ttyUSB2").Usb(0x10c4, 0xea60, "A2"), false},
        {Port(36).Device("/dev/ttyUSB3").Usb(0x1a86, 0x7523), false},
        {Port(37).Device("/dev/ttyUSB4").Usb(0x0403, 0x6015),
         false},                                // the vendor alone is not enough
        {Port(1).Device("/dev/ttyS0"), false},  // not USB: never a bench adapter
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PortMatches(bench, c.port), c.matches) << c.port.portName;
        EXPECT_TRUE(PortMatches({}, c.port)) << c.port.portName;
    }
}

// One discovery pass after another, and the loads the watch starts and ends between them.
TEST(WatchedPorts, APortGoesFromAddedToHandledToRemoved) {
    const SSerInfo onBoard = Port(1).Device("/dev/ttyS0");
    const SSerInfo modem = Port(65).Device("/dev/ttyACM0").Usb(0x1199, 0x9071);
    const SSerInfo named = Port(5).Device("/dev/ttyS4");
    const SSerInfo adapter = Port(33).Device("/dev/ttyUSB0").Usb(0x0403, 0x6001, "A1");
    const SSerInfo other = Port(34).Device("/dev/ttyUSB1").Usb(0x1a86, 0x7523);
    SSerInfo moved = adapter;  // the same number, now another device
    moved.devicePath = "/dev/ttyUSB7";
    moved.usb.serial = "B2";
    SSerInfo renumbered = moved;  // back from its restart under another number
    renumbered.portName = "COM40";
    renumbered.devicePath = "/dev/ttyUSB6";
    const SSerInfo ownUsb = Port(66).Device("/dev/ttyACM1").Usb(0x1199, 0x9071, "W6A", "3-1");
    SSerInfo elsewhere = ownUsb;  // back from its restart on another hub port
    elsewhere.usb.location = "4-1";

    WatchRules rules;
    rules.named = {5};
    rules.matches = {{0x0403, 0x6001, ""}, {0x1199, 0x9071, ""}};
    CWatchedPorts ports(rules, {onBoard, modem, named});

    struct Step {
        const char* what;
        CArray<SSerInfo, SSerInfo&> now;
        std::vector<std::string> added;
        std::vector<std::string> removed;
        std::function<void()> then;  // the loop's doings after the pass
    };
    const std::vector<Step> steps = {
        {"start: only the named port",
         {onBoard, modem, named},
         {"COM5"},
         {},
         [&] { ports.LoadStarted("COM5"); }},
        {"an adapter of the bench and another",
         {onBoard, modem, named, adapter, other},
         {"COM33"},
         {},
         [&] { ports.LoadStarted("COM33"); }},
        {"gone while it loads: the load follows it",
         {onBoard, modem, named, other},
         {},
         {},
         [&] { ports.LoadEnded("COM5"); }},
        {"back after the restart",
         {onBoard, modem, named, adapter, other},
         {},
         {},
         [&] { ports.LoadEnded("COM33"); }},
        {"handled ones stay handled", {onBoard, modem, named, adapter, other}, {}, {}, [] {}},
        {"unplugged", {onBoard, modem, other}, {}, {"COM33", "COM5"}, [] {}},
        {"the modem re-enumerates: new, and matched", {onBoard, other}, {}, {"COM65"}, [] {}},
        {"both back, in the order listed",
         {onBoard, modem, other, adapter},
         {"COM65", "COM33"},
         {},
         [&] { ports.LoadEnded("COM33"); }},
        {"the number stands for another device",
         {onBoard, modem, other, moved},
         {"COM33"},
         {"COM33"},
         [&] { ports.LoadStarted("COM33"); }},
        {"it restarts and comes back under another number: not a new receiver",
         {onBoard, modem, other, renumbered},
         {},
         {},
         [&] { ports.LoadEnded("COM33"); }},
        {"a receiver with a USB port of its own; the old number is gone for good",
         {onBoard, modem, other, renumbered, ownUsb},
         {"COM66"},
         {"COM33"},
         [&] { ports.LoadStarted("COM66"); }},
        {"back from its restart at another place on the bus",
         {onBoard, modem, other, renumbered, elsewhere},
         {},
         {},
         [&] { ports.LoadEnded("COM66"); }},
        {"its serial number says it is the receiver loaded there",
         {onBoard, modem, other, renumbered, elsewhere},
         {},
         {},
         [] {}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const WatchChanges changes = ports.Update(step.now);
        std::vector<std::string> added;
        for (const SSerInfo& p : changes.added) added.push_back(p.portName);
        EXPECT_EQ(added, step.added);
        EXPECT_EQ(changes.removed, step.removed);
        step.then();
    }
}

// The system may hold a port a moment after the plug: its open is tried at the next listings,
// kWatchOpenTries times in all from each plug, and never for a port that went away meanwhile.
TEST(WatchedPorts, APortThatWouldNotOpenIsTriedAgainAtTheNextListings) {
    const SSerInfo adapter = Port(33).Device("/dev/ttyUSB0");
    CWatchedPorts ports({}, {});
    auto names = [](const std::vector<SSerInfo>& list) {
        std::vector<std::string> out;
        for (const SSerInfo& p : list) out.push_back(p.portName);
        return out;
    };
    const std::vector<std::string> com33 = {"COM33"};
    EXPECT_EQ(names(ports.Update({adapter}).added), com33);
    for (int tried = 1; tried < kWatchOpenTries; ++tried) {
        ports.LoadStarted("COM33");
        EXPECT_TRUE(ports.OpenFailed("COM33")) << tried;
        EXPECT_EQ(names(ports.Update({adapter}).retried), com33) << tried;
    }
    ports.LoadStarted("COM33");
    EXPECT_FALSE(ports.OpenFailed("COM33"));
    const WatchChanges givenUp = ports.Update({adapter});
    EXPECT_TRUE(givenUp.retried.empty() && givenUp.added.empty());

    EXPECT_EQ(ports.Update({}).removed, com33);  // replugged: tried afresh
    EXPECT_EQ(names(ports.Update({adapter}).added), com33);
    ports.LoadStarted("COM33");
    EXPECT_TRUE(ports.OpenFailed("COM33"));
    const WatchChanges gone = ports.Update({});
    EXPECT_EQ(gone.removed, com33);
    EXPECT_TRUE(gone.retried.empty());
}

// What the receiver on a port does in a load.
struct Script {
    std::int32_t status = STATUS_FIRMWARE_COMPLETE;
    const char* firmware = "1.21";
    bool holds = false;  // runs until the load is cancelled
};

// The loop on a virtual clock: ports come and go on a timeline, each load is scripted by its
// port, and the stop requests come at chosen moments.
class WatchLoop : public ::testing::Test {
protected:
    using Clock = std::chrono::steady_clock;

    WatchDeps Deps() {
        WatchDeps deps;
        deps.discover = [this] {
            CArray<SSerInfo, SSerInfo&> now;
            for (const auto& [com, plugs] : plugged_) {
                for (const Plugged& plug : plugs)
                    if (now_ >= plug.from && now_ < plug.to) now.push_back(plug.info);
            }
            return now;
        };
        deps.makeSession = [this](const LoadRequest& request) {
            // The port's scripts in turn, the last one for every load after.
            const std::vector<Script>& turns = scripts_[request.comPort];
            const Script script = turns[std::min(loadsOf_[request.comPort]++, turns.size() - 1)];
            requests_.push_back(request);
            if (!script.holds) ++unfinished_;
            SessionDeps session;
            // Writes what its port's script says, or waits to be cancelled.
            session.makeLoader = [script](SLoaderState* state, LoaderDeps loaderDeps) {
                return std::make_unique<testing::CScriptedLoader>(
                    state, std::move(loaderDeps), [script](SLoaderState& s, LoaderDeps& d) {
                        s.SetFirmwareText(script.firmware);
                        s.SetFirmwareDetected(true);
                        if (script.holds) d.waits->Sleep(3600000);
                        s.SetStatus(script.status);
                    });
            };
            session.onEnded = [this, script](const LoadOutcome&) {
                if (!script.holds) --unfinished_;
            };
            return std::make_unique<CLoadSession>(request, std::move(session));
        };
        deps.stops = [this](std::chrono::milliseconds wait) {
            // Every load that runs by itself has ended before virtual time goes on.
            while (unfinished_.load() > 0) std::this_thread::yield();
            now_ += wait;
            const auto due = stops_.find(now_);
            return due == stops_.end() ? StopRequest::None : due->second;
        };
        deps.clock = [this] { return now_; };
        deps.abandonedPorts = abandoned_;
        return deps;
    }

    // Plugged from `from` to `to`; a port plugged again keeps its scripts, given once for all.
    void Plug(int com, std::chrono::milliseconds from, std::chrono::milliseconds to,
              std::vector<Script> scripts = {{}}, SSerInfo info = {}) {
        if (info.portName.empty()) info = Port(com).Device(Format("/dev/ttyUSB%d", com - 33));
        plugged_[com].push_back({info, start_ + from, start_ + to});
        if (scripts_.count(com) == 0) scripts_[com] = std::move(scripts);
    }
    void StopAt(std::chrono::milliseconds at, StopRequest request) {
        stops_[start_ + at] = request;
    }

    // Runs the watch to its end: its exit status; what it wrote in `out_`, and as JSON events in
    // `events_`, else for a terminal.
    int Run(const LoadRequest& load, bool json = true) {
        std::ostringstream out;
        RunnerOutput output;
        output.out = &out;
        output.err = &err_;
        output.json = json;
        output.style.terminal = !json;
        const int status = RunWatch({}, load, output, Deps());
        out_ = out.str();
        std::istringstream in(json ? out_ : "");
        for (std::string line; std::getline(in, line);) {
            const nlohmann::json e = nlohmann::json::parse(line);
            if (e.at("event") == "status" || e.at("event") == "firmware") continue;
            events_.push_back(
                e.at("port").get<std::string>() + " " + e.at("event").get<std::string>() +
                (e.contains("exit_status") ? " " + std::to_string(e.at("exit_status").get<int>())
                                           : ""));
        }
        return status;
    }

    const Clock::time_point start_{std::chrono::hours(1)};
    Clock::time_point now_ = start_;
    struct Plugged {
        SSerInfo info;
        Clock::time_point from;
        Clock::time_point to;
    };
    std::map<int, std::vector<Plugged>> plugged_;
    std::map<int, std::vector<Script>> scripts_;
    std::map<int, std::size_t> loadsOf_;
    std::map<Clock::time_point, StopRequest> stops_;
    std::vector<LoadRequest> requests_;
    std::atomic<int> unfinished_{0};
    std::string out_;
    std::vector<std::string> events_;
    std::ostringstream err_;
    std::function<int()> abandoned_ = [] { return 0; };
};

using namespace std::chrono_literals;

TEST_F(WatchLoop, LoadsEachReceiverPluggedAndEndsAtOnceWhenIdle) {
    Plug(1, 0ms, 1h, {{}}, Port(1).Device("/dev/ttyS0"));  // the PC's own: never touched
    Plug(33, 2s, 9s);
    Plug(34, 4s, 1h, {{STATUS_DEVICE_NOT_DETECTED}});  // no receiver: left alone
    Plug(35, 7s, 1h, {{STATUS_NO_UPDATE_REQUIRED, "1.22"}});
    // Gone before the next listing: a port still being set up is not loaded at once.
    Plug(36, 12s, 12500ms);
    StopAt(20s, StopRequest::Interrupt);
    LoadRequest load;
    load.skipCurrent = true;

    EXPECT_EQ(Run(load), kExitLoaded);
    EXPECT_EQ(events_, (std::vector<std::string>{
                           "COM33 port-added", "COM33 start", "COM33 result 0", "COM34 port-added",
                           "COM34 start", "COM34 result 3", "COM35 port-added", "COM35 start",
                           "COM35 result 0", "COM33 port-removed", "COM36 port-added",
                           "COM36 port-removed"}))
        << err_.str();
    ASSERT_EQ(requests_.size(), 3u);
    EXPECT_TRUE(requests_[0].skipCurrent);
    EXPECT_FALSE(requests_[0].verify);
    EXPECT_EQ(now_, start_ + 20s);  // ended at the first Ctrl-C, with no warning
    EXPECT_EQ(err_.str().find("WARNING"), std::string::npos) << err_.str();
}

// Each port left to its driver keeps a thread and handles of the watch: once several are, the
// watch says so on its screen and in the debug channel, and again at each one more.
TEST_F(WatchLoop, SaysWhenSeveralPortsWereLeftToTheirDrivers) {
    abandoned_ = [this] { return now_ < start_ + 3s ? 2 : now_ < start_ + 9s ? 3 : 4; };
    StopAt(12s, StopRequest::Interrupt);
    const testing::CDebugCapture debug;
    EXPECT_EQ(Run(LoadRequest{}, false), kExitLoaded);
    for (const std::string& said : {err_.str(), debug.Text()}) {
        std::size_t times = 0;
        for (auto at = said.find("never let go"); at != std::string::npos;
             at = said.find("never let go", at + 1))
            ++times;
        EXPECT_EQ(times, 2u) << said;
        EXPECT_NE(said.find("drivers of 3 pulled adapters"), std::string::npos) << said;
        EXPECT_NE(said.find("drivers of 4 pulled adapters"), std::string::npos) << said;
    }
}

// On a terminal each port keeps its line, which ends with what became of the receiver; results
// go above the lines, which stand once on the screen; the closing table says what became of
// each port, and a port where nothing answered is left alone without a word and not counted.
TEST_F(WatchLoop, OnATerminalEachPortKeepsItsLine) {
    Plug(33, 2s, 9s);
    Plug(34, 4s, 1h, {{STATUS_DEVICE_NOT_DETECTED}});
    Plug(35, 5s, 1h, {{STATUS_NO_UPDATE_REQUIRED, "1.22"}});
    StopAt(20s, StopRequest::Interrupt);
    LoadRequest load;
    load.skipCurrent = true;
    EXPECT_EQ(Run(load, false), kExitLoaded);
    // What each port's run comes to, as the port's verdict tells it; COM33 was unplugged.
    std::map<int, PortVerdict> v;
    std::vector<PortSummary> table;
    for (const auto& [com, scripts] : scripts_) {
        LoadOutcome outcome;
        outcome.status = scripts[0].status;
        outcome.end = LoadEndOf(load, outcome);
        v[com] = JudgePort(load, outcome, {Format("COM%d", com), "", {}, true});
        table.push_back({Format("COM%d", com), com == 33 ? v[com].wordUnplugged : v[com].word,
                         v[com].exitStatus, v[com].counts,
                         std::string("1 ") + LoadEndRowOf(outcome.end).record});
    }
    EXPECT_EQ(testing::ScreenAfter(out_),
              "Watching for receivers: each one plugged is loaded, one already current is "
              "skipped. Ctrl-C ends the watch.\n"
              "COM35: " +
                  v[35].result +
                  "COM33    unplugged\n"
                  "COM34    " +
                  v[34].word +
                  "\n"
                  "COM35    " +
                  v[35].word + "\n\n" + SummaryTable(table));
    // The silent port reads as no failure of the run.
    EXPECT_NE(SummaryTable(table).find("left alone  -     1 not-detected\n"), std::string::npos);
    EXPECT_NE(SummaryTable(table).find("\n1 port where no receiver answered was left alone"),
              std::string::npos);
    EXPECT_EQ(err_.str(), "");
}

// A bench runs all day: the closing table has one row per port, its last outcome and its runs
// counted, and the exit status is the worst of them. A port that would not open is tried again,
// and only the run that came of it counts; one given up on says to plug it again.
TEST_F(WatchLoop, TheClosingTableSumsUpEachPortAndABusyPortIsTriedAgain) {
    const Script refused{STATUS_INVALID_PORT};
    Plug(33, 1s, 5s, {{STATUS_DEVICE_NOT_DETECTED}, {}, {STATUS_BLOCK_FAILED}, {}});
    Plug(33, 7s, 11s);
    Plug(33, 13s, 17s);
    Plug(33, 19s, 1h);
    Plug(34, 1s, 1h, {refused, {}});
    Plug(35, 1s, 1h, {refused});
    StopAt(30s, StopRequest::Interrupt);
    EXPECT_EQ(Run(LoadRequest{}, false), kExitLoadFailed);
    EXPECT_EQ(loadsOf_, (std::map<int, std::size_t>{{33, 4}, {34, 2}, {35, kWatchOpenTries}}));
    const std::string screen = testing::ScreenAfter(out_);
    const std::string table = screen.substr(screen.rfind("\nPort ") + 1);
    EXPECT_EQ(table,
              "Port   Outcome                          Exit  Runs\n"
              "COM33  done 1.22 — unplug               4     1 not-detected, 2 loaded, 1 failed\n"
              "COM34  done 1.22 — unplug               0     1 loaded\n"
              "COM35  failed: the port would not open  2     1 open-failed\n");
    EXPECT_TRUE(Has(screen,
                    "COM35    would not open after 4 tries — unplug it and plug it back "
                    "in\n"))
        << screen;
    EXPECT_TRUE(Has(out_, "COM34    would not open — trying again")) << screen;
}

// While loads run: the receiver on COM33 drops its port as it restarts and its load follows it,
// and COM35's second try, after its port would not open, is not started again at the listings
// that follow; neither is taken for a new receiver.
TEST_F(WatchLoop, CtrlCDuringALoadWarnsThenStopsIt) {
    const Script holds{STATUS_FIRMWARE_COMPLETE, "1.21", true};
    Plug(33, 1s, 5s, {holds});
    Plug(33, 6s, 1h);
    Plug(34, 1s, 1h, {{STATUS_BLOCK_FAILED}});
    Plug(35, 1s, 1h, {{STATUS_INVALID_PORT}, holds});
    StopAt(10s, StopRequest::Interrupt);
    StopAt(12s, StopRequest::Interrupt);
    LoadRequest load;
    load.verify = true;
    EXPECT_EQ(Run(load), kExitInterrupted);
    EXPECT_NE(err_.str().find("Press Ctrl-C again within 5 seconds"), std::string::npos);
    EXPECT_NE(err_.str().find("Stopping every load..."), std::string::npos);
    EXPECT_EQ(loadsOf_, (std::map<int, std::size_t>{{33, 1}, {34, 1}, {35, 2}}));
    // Both stopped at once: they end in whichever order their workers do.
    const std::set<std::string> results = {events_[events_.size() - 2], events_.back()};
    EXPECT_EQ(results, (std::set<std::string>{"COM33 result 130", "COM35 result 130"}));
}

}  // namespace
}  // namespace morvane
