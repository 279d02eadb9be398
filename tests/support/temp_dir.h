// A folder of the test's own under the system's temporary folder, gone with it. Named by the
// clock's count and a running number, as the tests also run where there is no getpid.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

namespace morvane::testing {

class TempDir {
public:
    explicit TempDir(const std::string& prefix) {
        static std::atomic<int> made{0};
        path_ = std::filesystem::temp_directory_path() /
                ("morvane-" + prefix + "-" +
                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
                 std::to_string(made++));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
    [[nodiscard]] std::filesystem::path operator/(const std::string& name) const {
        return path_ / name;
    }

private:
    std::filesystem::path path_;
};

}  // namespace morvane::testing
