// How morvane-cli shows a load: the status view's lines printed as they change.
//
// On a terminal the progress is one line redrawn in place; in a log or a pipe it is one plain
// line at each tenth of the transfer, so the output reads well when it is kept. Status and
// firmware lines are printed once each, as they change.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "record/loader_state.h"
#include "view/status_view.h"

namespace morvane {

// A bar of `width` cells, the first percent*width/100 of them full: "[#####-----]".
[[nodiscard]] std::string ProgressBar(unsigned percent, unsigned width);

struct ReporterStyle {
    bool terminal = false;  // stdout is a terminal: redraw the progress line in place
    bool colour = false;    // terminal that may be coloured (NO_COLOR unset, TERM not "dumb")
};

// The style for the process's stdout, from what it is (a terminal, or a console, or not) and the
// environment; each platform's cli_platform file decides.
[[nodiscard]] ReporterStyle StyleForStdout();

class CLoadReporter {
public:
    CLoadReporter(std::ostream& out, std::ostream& err, ReporterStyle style);

    // One display pass over the record (the caller polls and decides when).
    void Pass(const SLoaderState& state);
    // A message box of the load, shown as a line.
    void Prompt(const std::string& text);
    // A warning on stderr, after ending the progress line so the two do not run together.
    void Warn(const std::string& text);
    // Ends the progress line if one is being redrawn.
    void Finish();

private:
    void ShowProgress();
    void ShowLine(const std::string& text);
    void EndProgressLine();

    std::ostream& out_;
    std::ostream& err_;
    ReporterStyle style_;
    CStatusView view_;
    std::int32_t shownStatus_ = -1000;  // no status shown yet
    std::string shownFirmware_;
    std::string drawnLine_;  // the progress line on the terminal now
    bool lineOpen_ = false;  // the cursor stands at the end of that line
    int shownTenth_ = -1;    // the last tenth printed in plain mode
};

}  // namespace morvane
