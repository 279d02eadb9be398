#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "session/load_record_file.h"

namespace morvane {

std::string DefaultLoadLogPath() {
    // A relative XDG_STATE_HOME is to be ignored, as if unset.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/morvane/loads.jsonl";
    const char* home = std::getenv("HOME");
    std::string homeDir = home != nullptr ? home : "";
    if (homeDir.empty()) {
        const passwd* user = ::getpwuid(::getuid());
        if (user != nullptr && user->pw_dir != nullptr) homeDir = user->pw_dir;
    }
    if (homeDir.empty()) return {};
    return homeDir + "/.local/state/morvane/loads.jsonl";
}

std::optional<RecordError> AppendInOneWrite(const std::string& path, std::string_view text) {
    const std::filesystem::path file(path);
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    if (ec)
        return RecordError{RecordErrorKind::CannotMakeFolder, file.parent_path().string(),
                           ec.message()};
    // O_APPEND makes the kernel put each write at the end as one piece, so records of programs
    // sharing the file never interleave.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return RecordError{RecordErrorKind::CannotOpen, path, std::strerror(errno)};
    const ssize_t written = ::write(fd, text.data(), text.size());
    const int writeErrno = errno;
    const bool closed = ::close(fd) == 0;
    if (written < 0)
        return RecordError{RecordErrorKind::CannotWrite, path, std::strerror(writeErrno)};
    if (static_cast<std::size_t>(written) != text.size())
        return RecordError{RecordErrorKind::PartlyWritten, path, {}};
    if (!closed) return RecordError{RecordErrorKind::CannotWrite, path, std::strerror(errno)};
    return std::nullopt;
}

}  // namespace morvane
