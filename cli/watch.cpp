#include "cli/watch.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "cli/json_events.h"
#include "platform/debug.h"
#include "platform/text.h"
#include "serial/comm_dev2.h"
#include "serial/port_identity.h"

namespace morvane {
namespace {

class CWatch {
public:
    CWatch(const WatchRules& rules, const LoadRequest& load, const WatchDeps& deps,
           CLoadRunner& runner)
        : rules_(rules),
          load_(load),
          deps_(deps),
          sessions_(deps.makeSession ? deps.makeSession : ProductSessions()),
          runner_(runner) {}

    // The ports there when the watch starts; false when they could not be listed.
    bool Start() {
        const std::optional<CArray<SSerInfo, SSerInfo&>> atStart = List();
        if (!atStart) return false;
        ports_.emplace(rules_, *atStart);
        runner_.OnPortEnded([this](const PortEnd& end) { Ended(end); });
        nextDiscovery_ = runner_.Now();
        return true;
    }

    // One pass of the runner's loop: once a second the ports are listed again. More may always
    // come.
    bool Pass() {
        if (runner_.Now() >= nextDiscovery_) {
            Discover();
            SayAbandonedPorts();
            nextDiscovery_ = runner_.Now() + kWatchDiscoveryPeriod;
        }
        return true;
    }

private:
    // A port whose load would not open it is tried again at the next listings: the system may
    // hold a port a moment after the plug. Once it is given up on, only a new plug helps.
    void Ended(const PortEnd& end) {
        if (end.outcome.end != LoadEnd::OpenFailed || end.outcome.detection.answered) {
            ports_->LoadEnded(end.label);
            return;
        }
        if (ports_->OpenFailed(end.label)) {
            runner_.Retrying(end.label);
            runner_.SetLine(end.label, "would not open — trying again");
        } else {
            runner_.SetLine(end.label, Format("would not open after %d tries — unplug it and plug "
                                              "it back in",
                                              kWatchOpenTries));
        }
    }

    void Load(const SSerInfo& port) {
        LoadRequest request = load_;
        request.comPort = ComNumberOf(port);
        runner_.Add(sessions_(request));
        ports_->LoadStarted(port.portName);
    }

    // An adapter pulled out under a driver that ignores cancellation leaves its port's thread and
    // handles to the driver for good: a watch that runs for days says so once several have.
    void SayAbandonedPorts() {
        const int abandoned = deps_.abandonedPorts ? deps_.abandonedPorts() : AbandonedPortCount();
        if (abandoned < kSeveralAbandonedPorts || abandoned == abandonedSaid_) return;
        abandonedSaid_ = abandoned;
        const std::string text = Format(
            "morvane-cli: the drivers of %d pulled adapters never let go of their ports; each "
            "keeps a thread and a few handles of this watch. Restart the watch while no load runs.",
            abandoned);
        OutputDebugStringA((text + "\n").c_str());
        runner_.Warn(text);
    }

    // The ports there now; nothing when they could not be listed, which is said once until a
    // listing works again: a listing that failed once (a device half-way through appearing)
    // says nothing of the ports, and the next pass asks again.
    std::optional<CArray<SSerInfo, SSerInfo&>> List() {
        try {
            std::optional<CArray<SSerInfo, SSerInfo&>> ports{std::in_place};
            if (deps_.discover) {
                *ports = deps_.discover();
            } else {
                EnumerateComPorts(*ports);
            }
            listingFailed_ = false;
            return ports;
        } catch (const ComEnumError& e) {
            OutputDebugStringA((std::string("morvane-cli: watch: the ports could not be listed: ") +
                                e.what() + "\n")
                                   .c_str());
            if (!listingFailed_)
                runner_.Warn(std::string("morvane-cli: the serial ports could not be listed: ") +
                             e.what());
            listingFailed_ = true;
            return std::nullopt;
        }
    }

    void Discover() {
        const std::optional<CArray<SSerInfo, SSerInfo&>> now = List();
        if (!now) return;
        const WatchChanges changes = ports_->Update(*now);
        for (const std::string& port : changes.removed) {
            runner_.Emit(port, {{"event", "port-removed"}});
            runner_.SetLine(port, "unplugged");
            runner_.Unplugged(port);
        }
        // A port just plugged is still being set up by the system (udev reads the adapter and
        // links it by id, and may hold it open meanwhile, which would make the load's open fail
        // as a port in use): it is loaded at the next listing, a second later, if still there.
        for (const SSerInfo& port : settling_) {
            const bool stayed = std::any_of(now->begin(), now->end(), [&](const SSerInfo& p) {
                return p.portName == port.portName && p.devicePath == port.devicePath;
            });
            if (stayed) Load(port);
        }
        for (const SSerInfo& port : changes.retried) Load(port);
        settling_ = changes.added;
        for (const SSerInfo& port : changes.added) {
            runner_.Emit(port.portName, PortAddedEvent(port));
            runner_.SetLine(port.portName, "plugged (" + port.devicePath + ")");
        }
    }

    const WatchRules& rules_;
    const LoadRequest& load_;
    const WatchDeps& deps_;
    SessionFactory sessions_;
    CLoadRunner& runner_;
    std::optional<CWatchedPorts> ports_;
    std::vector<SSerInfo> settling_;  // appeared at the last listing: loaded at this one
    std::chrono::steady_clock::time_point nextDiscovery_;
    bool listingFailed_ = false;
    int abandonedSaid_ = 0;  // the count of ports left to their drivers last said
};

}  // namespace

int RunWatch(const WatchRules& rules, const LoadRequest& load, const RunnerOutput& output,
             const WatchDeps& deps) {
    CLoadRunner runner(output, RunKind::Watch, deps.stops, deps.clock);
    CWatch watch(rules, load, deps, runner);
    if (!watch.Start()) return kExitPortFailed;
    output.Human() << "Watching for receivers: each one plugged is loaded"
                   << (load.verify ? " and verified" : "")
                   << (load.skipCurrent ? ", one already current is skipped" : "")
                   << ". Ctrl-C ends the watch.\n"
                   << std::flush;
    runner.Run([&watch] { return watch.Pass(); });
    return runner.SumUp().ExitStatus();
}

}  // namespace morvane
