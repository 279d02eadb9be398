// The box the window shows is the explanation morvane-cli prints, rewrapped; the explanation
// itself is each platform's own (open_error_text_posix.cpp, open_error_text_win32.cpp).
#include "view/open_error_text.h"

#include <sstream>
#include <vector>

#include "platform/text.h"
#include "record/loader_status.h"

namespace morvane {
namespace {

std::size_t Indent(const std::string& line) {
    const std::size_t first = line.find_first_not_of(' ');
    return first == std::string::npos ? line.size() : first;
}

// The explanation is wrapped for a terminal of 80 columns; a box wraps its text itself. Lines
// that go on with the same sentence are joined, and the two-blank indent of the advice goes;
// a command to type keeps a line of its own.
std::string UnwrapForBox(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const bool command = Indent(line) > 2;
        out += command ? line : line.substr(Indent(line));
        const bool next = i + 1 < lines.size();
        const bool goesOn = next && !command && Indent(lines[i + 1]) <= 2 && !line.empty() &&
                            line.back() != '.' && line.back() != ':';
        out += goesOn ? ' ' : '\n';
    }
    return out;
}

}  // namespace

SNotice OpenFailureNotice(const OpenError& error, int comPort, const OpenErrorFacts& facts) {
    return {kInvalidPortMessage,
            UnwrapForBox(ExplainOpenError(error, Format("COM%d", comPort), comPort, facts,
                                          PortChoice::PortList))};
}

}  // namespace morvane
