#include "cli/runner_view.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <streambuf>
#include <string_view>
#include <utility>

#include "cli/exit_status.h"
#include "cli/json_events.h"
#include "cli/port_rows.h"

namespace morvane {
namespace {

// Lines written through it reach the target each with the port in front ("COM5: ...").
class CPrefixedLines : public std::streambuf {
public:
    CPrefixedLines(std::ostream& target, std::string prefix)
        : target_(target), prefix_(std::move(prefix)) {}

protected:
    int_type overflow(int_type c) override {
        if (c == traits_type::eof()) return traits_type::not_eof(c);
        line_ += static_cast<char>(c);
        if (c == '\n') {
            target_ << prefix_ << line_;
            target_.flush();
            line_.clear();
        }
        return c;
    }

private:
    std::ostream& target_;
    std::string prefix_;
    std::string line_;
};

// Each port's load as lines for people, a reporter of its own per port.
class CProgressLinesView final : public IRunnerView {
public:
    // `style`: of `human`; only a lone port on the terminal itself redraws its progress line.
    CProgressLinesView(std::ostream& human, std::ostream& err, ReporterStyle style, RunKind kind)
        : human_(human),
          err_(err),
          style_(kind == RunKind::OnePort ? style : ReporterStyle{}),
          kind_(kind) {}

    void Added(std::size_t id, const std::string& port, const LoadRequest& /*request*/) override {
        auto shown = std::make_unique<Shown>();
        std::ostream* target = &human_;
        if (kind_ != RunKind::OnePort) {
            shown->prefixBuf = std::make_unique<CPrefixedLines>(human_, port + ": ");
            shown->prefixed = std::make_unique<std::ostream>(shown->prefixBuf.get());
            target = shown->prefixed.get();
        }
        shown->reporter = std::make_unique<CLoadReporter>(*target, err_, style_);
        ports_[id] = std::move(shown);
    }
    void Pass(std::size_t id, const SLoaderState& state) override {
        ports_.at(id)->reporter->Pass(state);
    }
    void Prompt(std::size_t id, const std::string& text) override {
        ports_.at(id)->reporter->Prompt(text);
    }
    void Ended(const PortEnd& end) override {
        ports_.at(end.index)->reporter->Finish();
        ports_.erase(end.index);
        if (kind_ == RunKind::Watch) Line(end.label, end.verdict.word);
    }
    void Line(const std::string& port, const std::string& text) override {
        human_ << PortPrefix(kind_, port) << text << '\n' << std::flush;
    }
    void Event(const std::string& /*port*/, const nlohmann::ordered_json& /*event*/) override {}
    void Release() override {
        for (auto& [id, shown] : ports_) shown->reporter->Finish();
    }
    void Draw() override {}

private:
    struct Shown {
        std::unique_ptr<CPrefixedLines> prefixBuf;
        std::unique_ptr<std::ostream> prefixed;
        std::unique_ptr<CLoadReporter> reporter;
    };

    std::ostream& human_;
    std::ostream& err_;
    ReporterStyle style_;
    RunKind kind_;
    std::map<std::size_t, std::unique_ptr<Shown>> ports_;
};

// Several ports on a terminal: a row each.
class CRowsView final : public IRunnerView {
public:
    CRowsView(std::ostream& out, RunKind kind) : rows_(out), kind_(kind) {}

    void Added(std::size_t id, const std::string& port, const LoadRequest& /*request*/) override {
        rows_.Add(id, port);
    }
    void Pass(std::size_t id, const SLoaderState& state) override { rows_.Pass(id, state); }
    // A row has no room for a box's text; the verdict says how the load ended.
    void Prompt(std::size_t /*id*/, const std::string& /*text*/) override {}
    void Ended(const PortEnd& end) override {
        // A watched port's line stays among the others, saying what became of the receiver;
        // another port's last line stays on the screen above its verdict, the others below it.
        if (kind_ == RunKind::Watch) {
            rows_.Set(end.index, end.verdict.word);
        } else {
            rows_.Remove(end.index);
        }
    }
    void Line(const std::string& port, const std::string& text) override {
        // Sessions are numbered up from 0; a line of no session takes a number from the top.
        const std::size_t id = freeLine_--;
        rows_.Add(id, port);
        rows_.Set(id, text);
    }
    void Event(const std::string& /*port*/, const nlohmann::ordered_json& /*event*/) override {}
    void Release() override { rows_.Clear(); }
    void Draw() override { rows_.Draw(); }

private:
    CPortRows rows_;
    RunKind kind_;
    std::size_t freeLine_ = std::numeric_limits<std::size_t>::max();
};

// Every port's events, as --json writes them, handed on.
class CEventsView final : public IRunnerView {
public:
    CEventsView(EventSink sink, std::chrono::steady_clock::time_point start)
        : sink_(std::move(sink)), start_(start) {}

    void Added(std::size_t id, const std::string& port, const LoadRequest& request) override {
        auto events = std::make_unique<CJsonEvents>(sink_, port, start_);
        events->Start(request.probeOnly ? "probe" : "load", request.verify);
        events_[id] = std::move(events);
    }
    void Pass(std::size_t id, const SLoaderState& state) override { events_.at(id)->Pass(state); }
    void Prompt(std::size_t id, const std::string& text) override { events_.at(id)->Prompt(text); }
    void Ended(const PortEnd& end) override {
        CJsonEvents& events = *events_.at(end.index);
        if (end.request.probeOnly) events.Detection("probe", end.outcome.detection);
        if (end.outcome.verifyRan) events.Detection("verify", end.outcome.verification);
        events.Emit(ResultEvent(end.verdict, end.outcome));
        events_.erase(end.index);
    }
    void Line(const std::string& /*port*/, const std::string& /*text*/) override {}
    void Event(const std::string& port, const nlohmann::ordered_json& event) override {
        CJsonEvents(sink_, port, start_).Emit(event);
    }
    void Release() override {}
    void Draw() override {}

private:
    EventSink sink_;
    std::chrono::steady_clock::time_point start_;
    std::map<std::size_t, std::unique_ptr<CJsonEvents>> events_;
};

// Several views told the same, in their order.
class CTeeView final : public IRunnerView {
public:
    CTeeView(std::unique_ptr<IRunnerView> first, std::unique_ptr<IRunnerView> second) {
        views_[0] = std::move(first);
        views_[1] = std::move(second);
    }

    void Added(std::size_t id, const std::string& port, const LoadRequest& request) override {
        for (auto& v : views_) v->Added(id, port, request);
    }
    void Pass(std::size_t id, const SLoaderState& state) override {
        for (auto& v : views_) v->Pass(id, state);
    }
    void Prompt(std::size_t id, const std::string& text) override {
        for (auto& v : views_) v->Prompt(id, text);
    }
    void Ended(const PortEnd& end) override {
        for (auto& v : views_) v->Ended(end);
    }
    void Line(const std::string& port, const std::string& text) override {
        for (auto& v : views_) v->Line(port, text);
    }
    void Event(const std::string& port, const nlohmann::ordered_json& event) override {
        for (auto& v : views_) v->Event(port, event);
    }
    void Release() override {
        for (auto& v : views_) v->Release();
    }
    void Draw() override {
        for (auto& v : views_) v->Draw();
    }

private:
    std::array<std::unique_ptr<IRunnerView>, 2> views_;
};

// The view of the output's mode alone.
std::unique_ptr<IRunnerView> ModeView(const RunnerOutput& output, RunKind kind) {
    if (output.json) {
        // Events for programs on stdout; the text for people goes on beside them, on stderr.
        std::ostream& out = *output.out;
        return std::make_unique<CTeeView>(
            std::make_unique<CProgressLinesView>(*output.err, *output.err, ReporterStyle{}, kind),
            std::make_unique<CEventsView>(
                [&out](const nlohmann::ordered_json& e) { out << EventLine(e) << std::flush; },
                output.start));
    }
    if (kind != RunKind::OnePort && output.style.terminal)
        return std::make_unique<CRowsView>(*output.out, kind);
    return std::make_unique<CProgressLinesView>(output.Human(), *output.err, output.style, kind);
}

}  // namespace

void SPortRuns::Add(const LoadOutcome& outcome, const PortVerdict& verdict) {
    const std::string word = LoadEndRowOf(outcome.end).record;
    const auto same =
        std::find_if(ends.begin(), ends.end(), [&word](const auto& e) { return e.first == word; });
    if (same == ends.end()) {
        ends.emplace_back(word, 1);
    } else {
        ++same->second;
    }
    if (!verdict.counts) return;
    worstExitStatus =
        counts ? WorstExitStatus({worstExitStatus, verdict.exitStatus}) : verdict.exitStatus;
    counts = true;
}

std::string SPortRuns::Text() const {
    std::string text;
    for (const auto& [word, count] : ends)
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + word;
    return text;
}

SPortRuns PortEnd::AllRuns() const {
    SPortRuns runs = earlier;
    runs.Add(outcome, verdict);
    return runs;
}

std::string PortPrefix(RunKind kind, const std::string& port) {
    return kind != RunKind::OnePort ? port + ": " : "";
}

std::string Prefixed(const std::string& text, const std::string& prefix) {
    if (prefix.empty()) return text;
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string_view line(text.data() + at, end - at);
        if (line.starts_with(kProgramPrefix)) line.remove_prefix(kProgramPrefix.size());
        out += prefix;
        out += line;
        at = end;
    }
    return out;
}

std::unique_ptr<IRunnerView> MakeRunnerView(const RunnerOutput& output, RunKind kind) {
    std::unique_ptr<IRunnerView> view = ModeView(output, kind);
    if (!output.alsoEvents) return view;
    return std::make_unique<CTeeView>(
        std::move(view), std::make_unique<CEventsView>(output.alsoEvents, output.start));
}

}  // namespace morvane
