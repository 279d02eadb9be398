// The few things morvane-cli does differently on each platform: what --port names, the help
// texts that name ports, how the console is prepared and what it is, and which device a COM
// number stands for. cli_platform_posix.cpp and cli_platform_win32.cpp implement them.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace morvane {

// What the text given with --port names: a device path (Linux: a tty, taken as it is), or a
// COM port number (Windows: COMn or \\.\COMn). `error` is set when the text names no port.
struct PortArgument {
    int comPort = 0;
    std::string path;
    std::string error;
};
[[nodiscard]] PortArgument ReadPortArgument(const std::string& text);

// The --port option's value name and help line; in --help after the options, the exit statuses
// only this system has (its signals) and the examples in its own port names.
[[nodiscard]] const char* PortOptionValueName();
[[nodiscard]] const char* PortOptionHelp();
[[nodiscard]] const char* HelpSignalExits();
[[nodiscard]] const char* HelpExamples();
// Where the record of loads goes unless --log names another file, as --help says it.
[[nodiscard]] const char* DefaultLogFileHelp();

// What is wrong with how this system is told which device a COM number stands for (Linux: a
// MORVANE_DEVICES that names no folder), in words for the user; empty when nothing is. A load
// and the port list say it alike.
[[nodiscard]] std::string DevicesFolderProblem();

// While it lives, the driver of the port at `devicePath` is asked to hand received bytes over at
// once (Linux: ASYNC_LOW_LATENCY, which sets an FTDI adapter's latency timer to 1 ms), so that a
// line check times what the line carried; its own setting is given back at the end. Asked
// before the port is opened for the check, which holds it exclusively.
class CLowLatencyRequest {
public:
    explicit CLowLatencyRequest(const std::string& devicePath);
    ~CLowLatencyRequest();
    CLowLatencyRequest(const CLowLatencyRequest&) = delete;
    CLowLatencyRequest& operator=(const CLowLatencyRequest&) = delete;

    // What was asked and what came of it, a line for the check's report; empty when the port
    // would not open (the check says why).
    [[nodiscard]] const std::string& Said() const { return said_; }

private:
    std::string devicePath_;
    bool changed_ = false;
    std::string said_;
};

// `when` in the PC's own time zone (the bench's page shows the day and the time of its clock).
[[nodiscard]] std::tm LocalTime(std::time_t when);

// Opens `url` in the user's default browser (Linux: xdg-open; Windows: the shell), without
// waiting for it; false when it could not even be asked.
bool OpenInBrowser(const std::string& url);

// The first thing the program does (Windows: every library it loads later comes from the
// system's folder only, never from the folder it was started from; elsewhere nothing).
void RestrictLibrarySearch();

// The program's arguments as UTF-8 texts, its own path first (Windows: read again from the wide
// command line, which keeps every letter whatever the code page).
[[nodiscard]] std::vector<std::string> ProgramArguments(int argc, char** argv);

// Once at the program's start: output that keeps working when its reader goes away, and a
// console that shows UTF-8 (port names come in the user's language) and understands the
// progress line's control sequences. What it changes of the console is given back at exit.
void PrepareOutput();

// Ends the program at once, without unwinding (a load's worker may still hold the port),
// giving the console back first.
[[noreturn]] void ExitAtOnce(int status);

}  // namespace morvane
