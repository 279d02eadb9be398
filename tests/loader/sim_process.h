// Runs morvane-sim as a child process for real-time loads: a fresh devices folder (named by
// MORVANE_DEVICES, in this process too, so COM N opens the simulator's pseudo-terminal), the
// simulator started with the given options, ready once it printed its device path.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace morvane::testing {

class SimProcess {
public:
    // `simPath`: the morvane-sim program; `comPort`: the number it is linked as; `args`: more options.
    SimProcess(const std::string& simPath, int comPort, const std::vector<std::string>& args) {
        char pattern[] = "/tmp/morvane-loader-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        dir_ = pattern;
        reportPath_ = dir_ + "/report.json";
        setenv("MORVANE_DEVICES", (dir_ + "/devices").c_str(), 1);

        std::vector<std::string> argv = {simPath, "--com", std::to_string(comPort), "--report", reportPath_};
        argv.insert(argv.end(), args.begin(), args.end());
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> cargs;
            for (std::string& a : argv) cargs.push_back(a.data());
            cargs.push_back(nullptr);
            execv(cargs[0], cargs.data());
            _exit(127);
        }
        close(out[1]);
        // The first line is the device path: from then on the simulator listens.
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n') ptyPath_ += c;
        close(out[0]);
        const std::string link = dir_ + "/devices/com" + std::to_string(comPort);
        for (int i = 0; i < 500 && !std::filesystem::is_symlink(link); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ready_ = !ptyPath_.empty() && std::filesystem::is_symlink(link);
    }

    ~SimProcess() {
        Stop();
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    [[nodiscard]] bool Ready() const { return ready_; }
    [[nodiscard]] const std::string& PtyPath() const { return ptyPath_; }

    // Asks the simulator to end (if it has not already) and returns its exit status.
    int Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return exitStatus_;
    }

    [[nodiscard]] std::string Report() const {
        std::ifstream in(reportPath_);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    std::string dir_;
    std::string reportPath_;
    std::string ptyPath_;
    pid_t pid_ = -1;
    bool ready_ = false;
    int exitStatus_ = -1;
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
