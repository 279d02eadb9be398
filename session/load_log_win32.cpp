#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/text.h"
#include "session/load_log.h"

namespace morvane {
namespace {

std::string SystemText(DWORD error) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string out(text, length);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out.empty() ? Format("error %lu", error) : out;
}

// Makes the folders above the file, in the system's own code page, as the path came. What cannot
// be made (a drive, a network share's root, a folder that is there) is left to the open to say.
void MakeFolders(const std::string& path) {
    for (std::size_t at = path.find_first_of("\\/", 1); at != std::string::npos;
         at = path.find_first_of("\\/", at + 1)) {
        (void)CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
    }
}

}  // namespace

std::string DefaultLoadLogPath() {
    const char* local = std::getenv("LOCALAPPDATA");
    if (local == nullptr || *local == '\0') return {};
    return std::string(local) + "\\Morvane\\loads.jsonl";
}

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return {};
    return std::string(name, size);
}

std::string AppendInOneWrite(const std::string& path, std::string_view text) {
    MakeFolders(path);
    // Opened for appending only, each write goes to the end of the file as one piece. Not every
    // file system keeps that promise between writers (a network share, Wine: a seek to the end,
    // then a write), so the programs sharing the file also take turns: each holds a lock on one
    // byte far past any record while it writes. Reading is asked for only because a lock needs it.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return path + ": " + SystemText(GetLastError());
    OVERLAPPED turn{};
    turn.Offset = 0xFFFFFFFEu;
    turn.OffsetHigh = 0x7FFFFFFFu;
    const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn) != FALSE;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    const DWORD error = GetLastError();
    if (locked) (void)UnlockFileEx(file, 0, 1, 0, &turn);
    CloseHandle(file);
    if (!ok) return path + ": " + SystemText(error);
    if (written != text.size())
        return path + ": only part of the record could be written (the disk may be full)";
    return {};
}

}  // namespace morvane
