#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/wide_text_win32.h"
#include "serial/system_text_win32.h"
#include "session/load_record_file.h"

namespace morvane {
namespace {

// Makes the folders above the file (the path in UTF-8, made by its wide name). What cannot be
// made (a drive, a network share's root, a folder that is there) is left to the open to say.
void MakeFolders(const std::wstring& path) {
    for (std::size_t at = path.find_first_of(L"\\/", 1); at != std::wstring::npos;
         at = path.find_first_of(L"\\/", at + 1)) {
        (void)CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
}

}  // namespace

std::string DefaultLoadLogPath() {
    // By its wide value: the profile's folder carries the user's name ("José").
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (local == nullptr || *local == L'\0') return {};
    return Utf8FromWide(local) + "\\Morvane\\loads.jsonl";
}

std::optional<RecordError> AppendInOneWrite(const std::string& path, std::string_view text) {
    const std::wstring widePath = WideFromUtf8(path);
    MakeFolders(widePath);
    // Opened for appending only, each write goes to the end of the file as one piece. Not every
    // file system keeps that promise between writers (a network share, Wine: a seek to the end,
    // then a write), so the programs sharing the file also take turns: each holds a lock on one
    // byte far past any record while it writes. Reading is asked for only because a lock needs it.
    const HANDLE file = CreateFileW(widePath.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return RecordError{RecordErrorKind::CannotOpen, path, SystemErrorText(GetLastError())};
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
    if (!ok) return RecordError{RecordErrorKind::CannotWrite, path, SystemErrorText(error)};
    if (written != text.size()) return RecordError{RecordErrorKind::PartlyWritten, path, {}};
    return std::nullopt;
}

}  // namespace morvane
