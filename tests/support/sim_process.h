// Child processes for the real-time tests: any program (morvane-cli, morvane-sim with options of
// the test's own) through ChildProcess, and the simulated receiver the usual way through
// SimProcess: a devices folder of its own, linked as COM N, ready once it named its device.
// posix_spawn rather than fork: the test programs run threads, and a forked copy of them may
// hold a lock that no thread of the copy will ever release.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

extern char** environ;

namespace morvane::testing {

// A whole file as it is now; empty when it cannot be read.
inline std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Where a child's stderr goes.
enum class ChildStderr {
    Inherited,  // this process's stderr: its lines show in the test's output
    Piped,      // collected, read with Err()
    ToFile,     // written to the file named when starting it
};

// A program run as a child, its stdout (and stderr when asked) read as it comes so that it
// never blocks on a full pipe while a wait runs.
class ChildProcess {
public:
    // `argv[0]`: the program's path. `extraEnv`: "NAME=value" entries over this process's
    // environment as it is now.
    explicit ChildProcess(const std::vector<std::string>& argv,
                          const std::vector<std::string>& extraEnv = {},
                          ChildStderr stderrTo = ChildStderr::Inherited,
                          const std::string& stderrFile = {}) {
        int out[2] = {-1, -1};
        int err[2] = {-1, -1};
        if (argv.empty() || pipe2(out, O_CLOEXEC) != 0) return;
        if (stderrTo == ChildStderr::Piped && pipe2(err, O_CLOEXEC) != 0) {
            close(out[0]);
            close(out[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (stderrTo == ChildStderr::Piped) {
            posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        } else if (stderrTo == ChildStderr::ToFile) {
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrFile.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<std::string> envText = extraEnv;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry(*e);
            const std::size_t nameEnd = entry.find('=');
            bool overridden = false;
            for (const std::string& extra : extraEnv) {
                overridden |= nameEnd != std::string::npos &&
                              extra.compare(0, nameEnd + 1, entry, 0, nameEnd + 1) == 0;
            }
            if (!overridden) envText.push_back(entry);
        }
        std::vector<char*> env;
        for (const std::string& e : envText) env.push_back(const_cast<char*>(e.c_str()));
        env.push_back(nullptr);
        // The child starts with no signal blocked: a child spawned once a load runner took the
        // stop signals (which it blocks, to take them between its polls) would otherwise keep
        // them blocked, and a SIGTERM would not end it until the kill that follows.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        if (posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), env.data()) != 0)
            pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        outFd_ = out[0];
        if (err[1] >= 0) close(err[1]);
        errFd_ = err[0];
    }

    ~ChildProcess() {
        if (Running()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (outFd_ >= 0) close(outFd_);
        if (errFd_ >= 0) close(errFd_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] bool Started() const { return pid_ > 0; }
    [[nodiscard]] bool Running() const { return pid_ > 0 && !exited_; }
    // The process id, as programs name a process ("morvane-sim (pid 1234)"); -1 when not started.
    [[nodiscard]] pid_t Pid() const { return pid_; }

    // The first whole line on stdout without its line end; empty when none came within `limit`.
    std::string FirstLine(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (out_.find('\n') == std::string::npos && outFd_ >= 0 &&
               std::chrono::steady_clock::now() < deadline) {
            Drain(50);
        }
        const std::size_t end = out_.find('\n');
        return end == std::string::npos ? std::string() : out_.substr(0, end);
    }

    // Waits for the child to end by itself: its exit status (128 + the signal for one that a
    // signal ended), or -1 when it still runs after `limit`. Once ended, the same status again.
    int Wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (Running()) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            Drain(50);
        }
        while (Drain(0)) {
        }
        return status_;
    }

    void Signal(int sig) {
        if (Running()) kill(pid_, sig);
    }

    // Asks the child to end with `sig` and waits for it; one that does not end within `limit` is
    // killed. Its exit status as Wait() gives it.
    int Stop(int sig = SIGTERM, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        if (!Started()) return -1;
        Signal(sig);
        const int status = Wait(limit);
        if (status != -1 || !Running()) return status;
        Signal(SIGKILL);
        return Wait(std::chrono::seconds(10));
    }

    [[nodiscard]] const std::string& Out() const { return out_; }
    [[nodiscard]] const std::string& Err() const { return err_; }

private:
    // Moves what the pipes hold into the buffers, waiting up to `timeoutMs` for something;
    // true if anything came. A pipe at its end is closed.
    bool Drain(int timeoutMs) {
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (outFd_ < 0 && errFd_ < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            return false;
        }
        if (poll(fds, 2, timeoutMs) <= 0) return false;
        bool any = false;
        int* fdsOwned[2] = {&outFd_, &errFd_};
        std::string* sinks[2] = {&out_, &err_};
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
                any = true;
            } else if (n == 0 || errno != EINTR) {
                close(*fdsOwned[i]);
                *fdsOwned[i] = -1;
            }
        }
        return any;
    }

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string out_;
    std::string err_;
};

// morvane-sim as a child: `simPath --com N --report <folder>/report.json <options>`, with
// MORVANE_DEVICES naming <folder>/devices in this process too, so that COM N opens the
// simulator's pseudo-terminal here and in the programs this process starts afterwards.
class SimProcess {
public:
    // `log`: where the simulator's log lines go; ToFile keeps them in LogPath() for Log(). Not
    // Piped: a pipe is read only while waiting, and a whole load's log would fill it.
    SimProcess(const std::string& simPath, int comPort, const std::vector<std::string>& options,
               ChildStderr log = ChildStderr::Inherited) {
        setenv("MORVANE_DEVICES", DevicesDir().c_str(), 1);

        std::vector<std::string> argv = {simPath, "--com", std::to_string(comPort), "--report",
                                         ReportPath()};
        argv.insert(argv.end(), options.begin(), options.end());
        linkPath_ = DevicesDir() + "/com" + std::to_string(comPort);
        child_ = std::make_unique<ChildProcess>(argv, std::vector<std::string>{}, log, LogPath());
        // The first line is the device's path: from then on the simulator listens.
        devicePath_ = child_->FirstLine(std::chrono::seconds(20));
        ready_ = !devicePath_.empty() &&
                 WaitUntil([this] { return std::filesystem::is_symlink(linkPath_); });
    }

    ~SimProcess() {
        // Ended as Stop() ends it, so that it removes its link and writes its report as usual.
        Stop();
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // True once the simulator named its device and its COM link is in place.
    [[nodiscard]] bool Ready() const { return ready_; }
    // The pseudo-terminal the simulator serves, as its first line named it.
    [[nodiscard]] const std::string& DevicePath() const { return devicePath_; }
    // <devices>/comN, the link to the pseudo-terminal.
    [[nodiscard]] const std::string& LinkPath() const { return linkPath_; }
    [[nodiscard]] std::string DevicesDir() const { return (dir_ / "devices").string(); }
    [[nodiscard]] std::string ReportPath() const { return (dir_ / "report.json").string(); }
    [[nodiscard]] std::string LogPath() const { return (dir_ / "sim.log").string(); }

    // Asks the simulator to end (SIGTERM) if it has not already, kills it if it does not within a
    // few seconds; its exit status (128 + the signal for one that a signal ended).
    int Stop() { return child_ ? child_->Stop() : -1; }

    // Waits up to `limit` for the simulator to end by itself; its exit status, or -1 while it runs.
    int WaitForExit(std::chrono::milliseconds limit) { return child_ ? child_->Wait(limit) : -1; }

    // The report, complete once the simulator has ended.
    [[nodiscard]] std::string Report() const { return ReadTextFile(ReportPath()); }
    // The log lines, when they were kept in LogPath().
    [[nodiscard]] std::string Log() const { return ReadTextFile(LogPath()); }

private:
    TempDir dir_{"sim"};  // outlives the child, which writes in it to its end
    std::string devicePath_;
    std::string linkPath_;
    std::unique_ptr<ChildProcess> child_;
    bool ready_ = false;
};

// A devices folder where receivers are plugged and unplugged at the moments a test chooses:
// plugging links COM N to a terminal (a running simulator's pseudo-terminal), as a USB adapter's
// port appears when it is plugged in; unplugging removes the link. Name Dir() in MORVANE_DEVICES,
// or have the board name itself there in this process for its lifetime.
class PlugBoard {
public:
    explicit PlugBoard(bool namedHere = false) : namedHere_(namedHere) {
        if (namedHere_) setenv("MORVANE_DEVICES", dir_.c_str(), 1);
    }
    ~PlugBoard() {
        if (namedHere_) unsetenv("MORVANE_DEVICES");
    }
    PlugBoard(const PlugBoard&) = delete;
    PlugBoard& operator=(const PlugBoard&) = delete;

    [[nodiscard]] const std::string& Dir() const { return dir_; }
    [[nodiscard]] std::string LinkPath(int comPort) const {
        return dir_ + "/com" + std::to_string(comPort);
    }
    bool Plug(const SimProcess& sim, int comPort) { return Plug(sim.DevicePath(), comPort); }
    bool Plug(const std::string& terminal, int comPort) {
        std::error_code ec;
        std::filesystem::create_symlink(terminal, LinkPath(comPort), ec);
        return !ec;
    }
    void Unplug(int comPort) {
        std::error_code ec;
        std::filesystem::remove(LinkPath(comPort), ec);
    }

private:
    TempDir folder_{"plugs"};
    std::string dir_ = folder_.Path().string();
    bool namedHere_;
};

// The text of a JSON string or literal value after "key": in a flat report; empty when absent.
inline std::string JsonValue(const std::string& json, const std::string& key) {
    const std::size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return {};
    std::size_t from = at + key.size() + 3;
    if (from < json.size() && json[from] == '"') {
        const std::size_t end = json.find('"', from + 1);
        return json.substr(from + 1, end - from - 1);
    }
    const std::size_t end = json.find_first_of(",}\n", from);
    return json.substr(from, end - from);
}

}  // namespace morvane::testing
