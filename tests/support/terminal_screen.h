// A terminal in memory: what a person would see after a program wrote `text` to it. Knows the
// few controls morvane-cli draws with (carriage return, line feed, cursor up, erase to the end
// of the line or of the screen); a line holds bytes, which is columns for the text drawn here as
// long as a line is overwritten whole.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace morvane::testing {

// The screen's lines, top to bottom, each ending in a line feed; trailing blank lines dropped.
inline std::string ScreenAfter(const std::string& text) {
    std::vector<std::string> lines(1);
    std::size_t row = 0;
    std::size_t column = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            column = 0;
            if (++row == lines.size()) lines.emplace_back();
        } else if (c == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            std::size_t end = i + 2;
            std::size_t count = 0;
            while (end < text.size() && text[end] >= '0' && text[end] <= '9')
                count = count * 10 + static_cast<std::size_t>(text[end++] - '0');
            if (end == text.size()) break;
            if (text[end] == 'A') row -= std::min(row, count == 0 ? 1 : count);
            if (text[end] == 'K' || text[end] == 'J')
                lines[row].resize(std::min(column, lines[row].size()));
            if (text[end] == 'J') lines.resize(row + 1);
            i = end;
        } else {
            std::string& line = lines[row];
            if (line.size() < column) line.resize(column, ' ');
            if (column < line.size()) {
                line[column] = c;
            } else {
                line += c;
            }
            ++column;
        }
    }
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    std::string screen;
    for (const std::string& line : lines) screen += line + '\n';
    return screen;
}

}  // namespace morvane::testing
