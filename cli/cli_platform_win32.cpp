#include <windows.h>

#include <cstdlib>
#include <string>

#include "cli/cli_platform.h"
#include "cli/progress_view.h"
#include "platform/text.h"

namespace morvane {
namespace {

// The number of "COMn" (any letter case), or 0 when the text is not one.
int ComNumberOf(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || !EqualsNoCase(name.substr(0, 3), "COM")) return 0;
    const std::string digits = name.substr(3);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits[0] == '0') return 0;
    return std::atoi(digits.c_str());
}

}  // namespace

PortArgument ReadPortArgument(const std::string& text) {
    PortArgument port;
    const std::string devicePrefix = "\\\\.\\";
    const std::string name = text.compare(0, devicePrefix.size(), devicePrefix) == 0
                                 ? text.substr(devicePrefix.size())
                                 : text;
    port.comPort = ComNumberOf(name);
    if (port.comPort == 0)
        port.error = "--port takes a COM port, as COM5 or \\\\.\\COM5, not '" + text + "'";
    return port;
}

const char* PortOptionValueName() { return "COMn"; }

const char* PortOptionHelp() { return "Load the receiver on this COM port (COM5 or \\\\.\\COM5)"; }

const char* HelpSignalExits() {
    return "  143  stopped because Windows logged off or shut down all the same: while it works,\n"
           "       morvane-cli asks Windows to wait and shows why (129: the console was closed)\n";
}

const char* HelpExamples() {
    return "Examples:\n"
           "  morvane-cli --list\n"
           "  morvane-cli --com 5\n"
           "  morvane-cli --port COM12 --trace 2>trace.txt\n"
           "  morvane-cli --probe --com 5       (is a receiver there, and which firmware does it run?)\n"
           "  morvane-cli --com 5 --verify      (load, then check that it runs the new firmware)\n"
           "  morvane-cli --com 5 --com 6 --com 7   (three receivers at once)\n"
           "  morvane-cli --all-probed --verify --json >events.jsonl\n"
           "  morvane-cli --line-check --com 5   (a loopback plug on the adapter)";
}

void PrepareOutput() {
    // The progress line redraws itself with VT sequences, which a console takes only when asked.
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode))
        (void)::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

ReporterStyle StyleForStdout() {
    ReporterStyle style;
    // Output to a console redraws the progress line; to a file or a pipe, it writes plain lines.
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // A console too old for VT sequences gets plain lines as well.
    style.terminal = out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode) != FALSE &&
                     (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    const char* noColor = std::getenv("NO_COLOR");
    style.colour = style.terminal && (noColor == nullptr || *noColor == '\0');
    return style;
}

}  // namespace morvane
