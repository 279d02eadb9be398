// morvane-cli as a user runs it: the built program, its output in a pipe, against morvane-sim on
// a pseudo-terminal that stands in for the receiver. Real time: each load takes what a load takes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loader/firmware_image.h"
#include "serial/comm_dev2.h"
#include "sim/sha256.h"

extern char** environ;

namespace morvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A child process with stdout (and stderr) in pipes, read as they come so the child never blocks.
class CChild {
public:
    CChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, const std::string& errFile) {
        int out[2];
        int err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (errFile.empty()) {
            posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<std::string> envText = extraEnv;
        for (char** e = environ; *e != nullptr; ++e) envText.emplace_back(*e);
        std::vector<char*> env;
        for (const std::string& e : envText) env.push_back(const_cast<char*>(e.c_str()));
        env.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        outFd_ = out[0];
        errFd_ = err[0];
    }
    ~CChild() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (outFd_ >= 0) close(outFd_);
        if (errFd_ >= 0) close(errFd_);
    }

    [[nodiscard]] bool Started() const { return pid_ > 0; }

    // Reads until a whole first line arrived; the simulator's names its device.
    std::string FirstLine(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (out_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) Drain(50);
        const std::size_t end = out_.find('\n');
        return end == std::string::npos ? std::string() : out_.substr(0, end);
    }

    // The exit status (128 + signal for a signal), or -1 when it did not end in time.
    int Wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!exited_) {
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
        if (pid_ > 0 && !exited_) kill(pid_, sig);
    }

    [[nodiscard]] const std::string& Out() const { return out_; }
    [[nodiscard]] const std::string& Err() const { return err_; }

private:
    // Moves what the pipes hold into the buffers; true if anything came.
    bool Drain(int timeoutMs) {
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (poll(fds, 2, timeoutMs) <= 0) return false;
        bool any = false;
        std::string* sinks[2] = {&out_, &err_};
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
                any = true;
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

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Hex(const CSha256::Digest& digest) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : digest) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// One test's world: a devices folder of its own with the simulator as COM5 in it.
class CliAgainstSim : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/morvane-cli-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (sim_) {
            sim_->Signal(SIGTERM);
            (void)sim_->Wait(10s);
        }
        if (HasFailure()) {
            std::cerr << "--- morvane-cli stdout\n" << cliOut_ << "--- morvane-cli stderr\n" << cliErr_
                      << "--- morvane-sim log\n" << ReadFile(dir_ / "sim.log") << "--- report\n" << ReadFile(Report());
        }
        sim_.reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void StartSim(std::vector<std::string> options) {
        std::vector<std::string> argv = {MORVANE_SIM_PATH, "--com", "5", "--report", Report().string()};
        argv.insert(argv.end(), options.begin(), options.end());
        sim_ = std::make_unique<CChild>(argv, Env(), (dir_ / "sim.log").string());
        ASSERT_TRUE(sim_->Started());
        ASSERT_NE(sim_->FirstLine(10s), "") << ReadFile(dir_ / "sim.log");
        ASSERT_TRUE(fs::exists(fs::symlink_status(Com5())));
    }

    // Runs morvane-cli to its end; its exit status.
    int RunCli(std::vector<std::string> options, std::chrono::seconds limit) {
        std::vector<std::string> argv = {MORVANE_CLI_PATH};
        argv.insert(argv.end(), options.begin(), options.end());
        CChild cli(argv, Env(), "");
        EXPECT_TRUE(cli.Started());
        const int status = cli.Wait(limit);
        cliOut_ = cli.Out();
        cliErr_ = cli.Err();
        return status;
    }

    // Ends the simulator and hands back its report (written at exit at the latest).
    std::string FinishSim() {
        sim_->Signal(SIGTERM);
        simStatus_ = sim_->Wait(10s);
        return ReadFile(Report());
    }

    [[nodiscard]] std::vector<std::string> Env() const { return {"MORVANE_DEVICES=" + dir_.string(), "NO_COLOR="}; }
    [[nodiscard]] fs::path Report() const { return dir_ / "report.json"; }
    [[nodiscard]] fs::path Com5() const { return dir_ / "com5"; }

    fs::path dir_;
    std::unique_ptr<CChild> sim_;
    int simStatus_ = -1;
    std::string cliOut_;
    std::string cliErr_;
};

bool Has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

TEST_F(CliAgainstSim, LoadsTheWholeImageAndLogsProgressInPlainLines) {
    StartSim({"--rate", "115200", "--exit-after-transfer"});
    EXPECT_EQ(RunCli({"--com", "5"}, 240s), 0);

    EXPECT_TRUE(Has(cliOut_, "Status: Detecting Baud Rate\n"));
    EXPECT_TRUE(Has(cliOut_, "Status: Firmware Update Complete\n"));
    EXPECT_TRUE(Has(cliOut_, "Load Completed"));
    EXPECT_EQ(cliOut_.find('\r'), std::string::npos);
    EXPECT_EQ(cliOut_.find('\x1b'), std::string::npos);
    // One line in each tenth of the transfer, the last at 100%.
    const std::regex progress(R"(Progress: (\d+)/(\d+) \((\d+)%\), Remaining Time: [^\n]*\n)");
    std::vector<int> tenths;
    for (std::sregex_iterator it(cliOut_.begin(), cliOut_.end(), progress), end; it != end; ++it) {
        tenths.push_back(std::stoi((*it)[3]) / 10);
    }
    EXPECT_EQ(tenths, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10})) << cliOut_;
    const std::string size = std::to_string(EmbeddedFirmwareImage().size());
    EXPECT_TRUE(Has(cliOut_, "Progress: " + size + "/" + size + " (100%)"));

    simStatus_ = sim_->Wait(30s);  // it ends by itself once the port is closed
    EXPECT_EQ(simStatus_, 0);
    const std::string report = ReadFile(Report());
    CSha256 sha;
    sha.Update(EmbeddedFirmwareImage());
    EXPECT_TRUE(Has(report, "\"complete\":true")) << report;
    EXPECT_TRUE(Has(report, "\"image_matches\":true")) << report;
    EXPECT_TRUE(Has(report, "\"bytes_received\":" + size)) << report;
    EXPECT_TRUE(Has(report, "\"sha256\":\"" + Hex(sha.Finish()) + "\"")) << report;
}

TEST_F(CliAgainstSim, ASilentReceiverIsNotDetected) {
    StartSim({"--silent"});
    EXPECT_EQ(RunCli({"-com", "5"}, 120s), 3);
    EXPECT_TRUE(Has(cliOut_, "Status: Device Not Detected\n"));
    EXPECT_FALSE(Has(cliOut_, "Load Completed"));
    EXPECT_FALSE(Has(cliOut_, "Progress:"));
    EXPECT_TRUE(Has(cliErr_, "did not answer on COM5 (" + Com5().string() + ")")) << cliErr_;
}

TEST_F(CliAgainstSim, APortHeldByAnotherProgramFailsAtOnceAndSendsNothing) {
    StartSim({});
    CPathCommDev holder(Com5().string());
    ASSERT_TRUE(holder.Open(5));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunCli({"--com", "5"}, 30s), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(Has(cliOut_, "Status: Can't Connect, Invalid COM Port\n")) << cliOut_;
    EXPECT_TRUE(Has(cliErr_, "Cannot open COM5 (" + Com5().string() + "): the port is in use")) << cliErr_;
    // The lock names this test program as the holder.
    EXPECT_TRUE(Has(cliErr_, "It is held by test_cli_e2e (pid " + std::to_string(getpid()) + ")")) << cliErr_;

    holder.Close();
    const std::string report = FinishSim();
    EXPECT_TRUE(Has(report, "\"commands\":[]")) << report;
    EXPECT_FALSE(Has(report, "\"started\":true")) << report;
}

TEST_F(CliAgainstSim, AHangUpInTheTransferFailsTheLoad) {
    StartSim({"--rate", "115200", "--hangup-after-bytes", "20000"});
    EXPECT_EQ(RunCli({"--com", "5"}, 240s), 4);
    EXPECT_TRUE(Has(cliOut_, "Status: Updating Firmware\n"));
    EXPECT_TRUE(Has(cliOut_, "Status: Firmware Block Failed\n")) << cliOut_;
    EXPECT_FALSE(Has(cliOut_, "Load Completed"));
    EXPECT_FALSE(Has(cliOut_, "(100%)"));
    EXPECT_TRUE(Has(cliErr_, "The transfer broke off after ")) << cliErr_;
}

}  // namespace
}  // namespace morvane
