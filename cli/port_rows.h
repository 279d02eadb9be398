// Several ports on a terminal, one line each, redrawn in place when one changes.
//
// A port's line is its status area in brief, from a status view of its own: the port, its status,
// and during the transfer the percent and the remaining time, or before it the firmware found.
// Ports come and go: a port's line can be added while others are drawn, and taken away once its
// run has ended, or kept with a text of its own (how the run ended, a port unplugged) until the
// port's next run takes it over. Other text (a verdict, a warning) goes above the drawing, which
// is wiped first and drawn again below it: the terminal shows each line once.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "record/loader_state.h"
#include "view/status_view.h"

namespace morvane {

class CPortRows {
public:
    static constexpr std::size_t kWidth = 79;  // a line that wraps would break the redraw

    explicit CPortRows(std::ostream& out) : out_(out) {}

    // A line for `port` below the others, or the line `port` has already; `id` names it in the
    // calls that follow.
    void Add(std::size_t id, const std::string& port);
    void Pass(std::size_t id, const SLoaderState& state);
    // The line reads `text` after the port's name.
    void Set(std::size_t id, const std::string& text);
    void Draw();
    // Before other text: the lines drawn are wiped, so the text takes their place and the next
    // Draw puts them below it. Lines left standing above the text would be stale copies.
    void Clear();
    // The line leaves: it is written once more where the drawing stood, to stay there, and the
    // others are drawn below it.
    void Remove(std::size_t id);

    [[nodiscard]] static std::string Row(const std::string& port, const SStatusArea& area,
                                         const SLoaderState& state);

private:
    // On one line of the terminal, whatever it carries: control characters would break the redraw,
    // and so would a line that wraps (cut at a whole character).
    [[nodiscard]] static std::string Fit(std::string row);

    struct Line {
        std::size_t id = 0;
        std::string port;
        CStatusView view;
        std::string text;
    };
    Line* Find(std::size_t id);

    std::ostream& out_;
    std::vector<Line> lines_;
    bool dirty_ = true;
    std::size_t drawnLines_ = 0;  // lines of the drawing the cursor stands below; 0: none
};

}  // namespace morvane
