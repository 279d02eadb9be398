// Several ports on a terminal, one line each, redrawn in place when one changes.
//
// A port's line is its status area in brief, from a status view of its own: the port, its status,
// and during the transfer the percent and the remaining time, or before it the firmware found.
// Ports come and go: a port's line can be added while others are drawn, and taken away once its
// run has ended.
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

    // A line for `port` below the others; `id` names it in the calls that follow.
    void Add(std::size_t id, const std::string& port);
    void Pass(std::size_t id, const SLoaderState& state);
    void Draw();
    // Before other text: the next Draw starts below it instead of over it.
    void Release() { drawnLines_ = 0; }
    // The line leaves; what was drawn stays as it stands, and the next Draw starts below it.
    void Remove(std::size_t id);

    [[nodiscard]] static std::string Row(const std::string& port, const SStatusArea& area,
                                         const SLoaderState& state);

private:
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
