#include <fcntl.h>
#include <linux/serial.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cli/cli_platform.h"
#include "cli/progress_view.h"
#include "platform/debug.h"
#include "platform/text.h"
#include "serial/com_port_map.h"

namespace morvane {

PortArgument ReadPortArgument(const std::string& text) {
    PortArgument port;
    port.path = text;
    if (text.empty()) port.error = "--port needs a device path";
    return port;
}

const char* PortOptionValueName() { return "PATH"; }

const char* PortOptionHelp() { return "Load the receiver on this tty device, as it is"; }

const char* HelpSignalExits() {
    return "  143  stopped by SIGTERM (129: SIGHUP, the terminal went away)\n";
}

const char* HelpExamples() {
    return "Examples:\n"
           "  morvane-cli --list\n"
           "  morvane-cli --com 33              (COM33 is /dev/ttyUSB0)\n"
           "  morvane-cli --port /dev/ttyUSB0 --trace 2>trace.txt\n"
           "  morvane-cli --probe --com 33      (is a receiver there, and which firmware does it run?)\n"
           "  morvane-cli --com 33 --verify     (load, then check that it runs the new firmware)\n"
           "  morvane-cli --com 33 --com 34 --com 35   (three receivers at once)\n"
           "  morvane-cli --all-probed --verify --json >events.jsonl\n"
           "  morvane-cli --line-check --com 33  (a loopback plug on the adapter)\n"
           "  morvane-cli --watch --match 0403:6001   (a bench: load every receiver plugged)\n"
           "\n"
           "COM numbers: ttyS0-31 = COM1-32, ttyUSB0-31 = COM33-64, ttyACM0-31 = COM65-96,\n"
           "ttyAMA0-31 = COM97-128, ttyXRUSB0-31 = COM129-160, rfcomm0-31 = COM161-192;\n"
           "entries comN in the folder named by MORVANE_DEVICES take precedence.";
}

const char* DefaultLogFileHelp() {
    return "$XDG_STATE_HOME/morvane/loads.jsonl (~/.local/state/morvane/loads.jsonl)";
}

std::string DevicesFolderProblem() { return DevicesDirProblem(DevicesDirFromEnv()); }

namespace {

// Sets or clears the driver's low-latency flag; 0, or the errno of what failed.
int SetLowLatency(const std::string& devicePath, bool on, bool* wasOn) {
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    serial_struct serial{};
    int error = 0;
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        error = errno;
    } else {
        if (wasOn != nullptr) *wasOn = (serial.flags & ASYNC_LOW_LATENCY) != 0;
        const int flags = on ? serial.flags | ASYNC_LOW_LATENCY : serial.flags & ~ASYNC_LOW_LATENCY;
        if (flags != serial.flags) {
            serial.flags = flags;
            if (::ioctl(fd, TIOCSSERIAL, &serial) != 0) error = errno;
        }
    }
    ::close(fd);
    return error;
}

}  // namespace

CLowLatencyRequest::CLowLatencyRequest(const std::string& devicePath) : devicePath_(devicePath) {
    bool wasOn = false;
    const int error = SetLowLatency(devicePath, true, &wasOn);
    if (error != 0) {
        OutputDebugStringA(Format("morvane-cli: low latency on %s: %s (error %d)\n",
                                  devicePath.c_str(), std::strerror(error), error)
                               .c_str());
    }
    if (error == 0) {
        changed_ = !wasOn;
        said_ = wasOn ? Format("The driver of %s already hands bytes over at once (low latency).",
                               devicePath.c_str())
                      : Format("Asked the driver of %s for low latency (ASYNC_LOW_LATENCY): done.",
                               devicePath.c_str());
    } else if (error == ENOENT || error == EACCES || error == EBUSY) {
        // The port will not open: the check says why when it tries.
    } else if (error == ENOTTY || error == EINVAL) {
        said_ = Format(
            "Asked the driver of %s for low latency (ASYNC_LOW_LATENCY): it has no "
            "such setting.",
            devicePath.c_str());
    } else {
        said_ = Format("Asked the driver of %s for low latency (ASYNC_LOW_LATENCY): refused (%s).",
                       devicePath.c_str(), std::strerror(error));
    }
}

CLowLatencyRequest::~CLowLatencyRequest() {
    if (changed_) (void)SetLowLatency(devicePath_, false, nullptr);
}

[[noreturn]] void ExitAtOnce(int status) { std::_Exit(status); }

// Linux programs take their libraries by the dynamic loader's own paths.
void RestrictLibrarySearch() {}

std::vector<std::string> ProgramArguments(int argc, char** argv) { return {argv, argv + argc}; }

void PrepareOutput() {
    // A reader of our output that went away (`| head`) must not end the load half-way.
    std::signal(SIGPIPE, SIG_IGN);
}

ReporterStyle StyleForStdout() {
    ReporterStyle style;
    style.terminal = isatty(STDOUT_FILENO) == 1;
    const char* noColor = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    const bool dumb = term == nullptr || std::string(term) == "dumb";
    style.colour = style.terminal && (noColor == nullptr || *noColor == '\0') && !dumb;
    return style;
}

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return local;
}

bool OpenInBrowser(const std::string& url) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // What the desktop's opener says is its own; the watch's terminal stays the watch's.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    pid_t pid = -1;
    const int failed =
        posix_spawnp(&pid, "xdg-open", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        OutputDebugStringA(("morvane-cli: xdg-open could not be started: " +
                            std::string(std::strerror(failed)) + "\n")
                               .c_str());
        return false;
    }
    // Reaped when it ends, so that it leaves no zombie behind for the watch's whole day.
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    return true;
}

}  // namespace morvane
