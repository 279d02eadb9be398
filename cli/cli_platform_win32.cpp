#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/progress_view.h"
#include "platform/arguments_win32.h"
#include "platform/debug.h"
#include "platform/system_library_win32.h"
#include "platform/text.h"
#include "platform/wide_text_win32.h"
#include "serial/port_identity.h"

namespace morvane {
namespace {

// The console's own output code page while ours is set, else 0. The console is shared with the
// shell the program was started from, which must get it back as it was.
std::atomic<UINT> g_consoleOutputCp{0};

void GiveBackConsole() {
    const UINT own = g_consoleOutputCp.exchange(0);
    if (own != 0) (void)::SetConsoleOutputCP(own);
}

}  // namespace

PortArgument ReadPortArgument(const std::string& text) {
    PortArgument port;
    const std::string devicePrefix = "\\\\.\\";
    const std::string name = text.compare(0, devicePrefix.size(), devicePrefix) == 0
                                 ? text.substr(devicePrefix.size())
                                 : text;
    // --port has always taken COM1 to COM999; --com takes the larger numbers.
    if (name.size() <= 6) port.comPort = ComNumberOfName(name).value_or(0);
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
           "  morvane-cli --line-check --com 5   (a loopback plug on the adapter)\n"
           "  morvane-cli --watch --match 0403:6001   (a bench: load every receiver plugged)";
}

const char* DefaultLogFileHelp() { return "%LOCALAPPDATA%\\Morvane\\loads.jsonl"; }

// COM numbers are the system's own: nothing to get wrong.
std::string DevicesFolderProblem() { return {}; }

// Windows offers no such request through the serial API: an FTDI adapter's latency timer is
// set in the port's advanced settings in Device Manager.
CLowLatencyRequest::CLowLatencyRequest(const std::string& devicePath) : devicePath_(devicePath) {
    said_ =
        "Reads are timed as the driver hands bytes over (an FTDI adapter's latency timer is "
        "in the port's advanced settings in Device Manager).";
}

CLowLatencyRequest::~CLowLatencyRequest() = default;

void RestrictLibrarySearch() { UseSystemLibrariesOnly(); }

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) { return ArgumentsUtf8(); }

void PrepareOutput() {
    // The progress line redraws itself with VT sequences, which a console takes only when asked.
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode))
        (void)::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    // Everything is printed in UTF-8, the device names in the user's language included; a
    // console in its own code page (850, 866, ...) would garble their letters beyond ASCII.
    // 0: there is no console.
    const UINT own = ::GetConsoleOutputCP();
    if (own == 0 || own == CP_UTF8 || g_consoleOutputCp.load() != 0) return;
    if (!::SetConsoleOutputCP(CP_UTF8)) {
        OutputDebugStringA(
            Format("morvane-cli: the console kept code page %u: error %lu\n", own, ::GetLastError())
                .c_str());
        return;
    }
    g_consoleOutputCp = own;
    static const bool givenBackAtExit = std::atexit(&GiveBackConsole) == 0;
    (void)givenBackAtExit;
}

[[noreturn]] void ExitAtOnce(int status) {
    GiveBackConsole();
    std::_Exit(status);
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

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    return local;
}

bool OpenInBrowser(const std::string& url) {
    const auto done = reinterpret_cast<INT_PTR>(ShellExecuteW(
        nullptr, L"open", WideFromUtf8(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    // Above 32 is success; below it, the shell's reason.
    if (done > 32) return true;
    OutputDebugStringA(Format("morvane-cli: the browser could not be opened (%lld)\n",
                              static_cast<long long>(done))
                           .c_str());
    return false;
}

}  // namespace morvane
