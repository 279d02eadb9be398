// morvane.exe itself, as a user starts it: the program's entry point, its command line as the
// system hands it over, its resources and manifest, the modal dialog, and its end when the
// window is closed. The dialog's behaviour is tested in dialog_test_win32.cpp; this test is
// about the program around it, and the version information it shares with morvane-cli.exe.
// MORVANE_EXE and MORVANE_CLI_EXE name the programs (a Unix path is taken as Wine's Z:).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/resource.h"
#include "tests/support/wait_until.h"

// After the product's headers: the system's macros must not rename the product's own names.
#include <windows.h>

namespace morvane::testing_win32 {
namespace {

std::string ProgramPath(const char* variable = "MORVANE_EXE") {
    const char* path = std::getenv(variable);
    if (path == nullptr) return {};
    std::string windowsPath = path;
    if (windowsPath.starts_with('/')) {
        windowsPath = "Z:" + windowsPath;
        std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
    }
    return windowsPath;
}

// The program's version information as the system reads it; empty when it has none.
std::string VersionBlock(const std::string& program) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(program.c_str(), &ignored);
    std::string block(size, '\0');
    if (size == 0 || !::GetFileVersionInfoA(program.c_str(), 0, size, block.data())) return {};
    return block;
}

std::string VersionString(const std::string& program, const char* name) {
    const std::string block = VersionBlock(program);
    char* value = nullptr;
    UINT length = 0;
    const std::string query = std::string("\\StringFileInfo\\040904e4\\") + name;
    if (block.empty() ||
        !::VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
        return {};
    return std::string(value, length > 0 ? length - 1 : 0);
}

// The version numbers Windows compares, as "1.0.0.0".
std::string FixedFileVersion(const std::string& program) {
    const std::string block = VersionBlock(program);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (block.empty() ||
        !::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
        length < sizeof *fixed) {
        return {};
    }
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
           std::to_string(LOWORD(fixed->dwFileVersionLS));
}

// The bytes of the program's resource `name` of `type`, as the system reads them; empty: none.
std::string Resource(const std::string& program, LPCSTR name, LPCSTR type) {
    HMODULE module = ::LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return {};
    std::string bytes;
    HRSRC found = ::FindResourceA(module, name, type);
    HGLOBAL data = found != nullptr ? ::LoadResource(module, found) : nullptr;
    if (data != nullptr)
        bytes.assign(static_cast<const char*>(::LockResource(data)),
                     ::SizeofResource(module, found));
    ::FreeLibrary(module);
    return bytes;
}

// The program's own manifest, as the system reads it when the program starts; empty: none.
std::string Manifest(const std::string& program) {
    return Resource(program, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
}

// The sizes of the images of the program's icon `id` (its group directory: a 6-byte header,
// then 14 bytes an image, the width first, 0 standing for 256).
std::vector<int> IconSizes(const std::string& program, int id) {
    const std::string group = Resource(program, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(14));
    std::vector<int> sizes;
    for (std::size_t at = 6; at + 14 <= group.size(); at += 14) {
        const int width = static_cast<unsigned char>(group[at]);
        sizes.push_back(width == 0 ? 256 : width);
    }
    return sizes;
}

// What Explorer's Properties show of each program: what it is, its version, maker and copyright,
// and names that are the file's own; and the manifest that has both take UTF-8.
TEST(WindowsProgram, BothProgramsCarryTheirVersionInformation) {
    struct Row {
        const char* variable;
        const char* description;
    };
    const Row rows[] = {
        {"MORVANE_EXE", "Morvane Firmware Updater"},
        {"MORVANE_CLI_EXE", "Morvane Firmware Updater, command line"},
    };
    for (const Row& row : rows) {
        const std::string program = ProgramPath(row.variable);
        if (program.empty()) GTEST_SKIP() << row.variable << " names no program";
        const std::string file = program.substr(program.find_last_of('\\') + 1);
        EXPECT_EQ(VersionString(program, "FileDescription"), row.description) << program;
        EXPECT_EQ(VersionString(program, "InternalName"), file.substr(0, file.rfind('.')))
            << program;
        EXPECT_EQ(VersionString(program, "OriginalFilename"), file) << program;
        EXPECT_NE(Manifest(program).find(">UTF-8</activeCodePage>"), std::string::npos) << program;
        EXPECT_EQ(VersionString(program, "ProductName"), "Morvane") << program;
        EXPECT_EQ(VersionString(program, "FileVersion"), MORVANE_VERSION) << program;
        EXPECT_EQ(VersionString(program, "ProductVersion"), MORVANE_VERSION) << program;
        EXPECT_EQ(FixedFileVersion(program), MORVANE_VERSION) << program;
        EXPECT_EQ(VersionString(program, "CompanyName"), MORVANE_COMPANY) << program;
        EXPECT_EQ(VersionString(program, "LegalCopyright"), MORVANE_COPYRIGHT) << program;
    }
    // Explorer, the taskbar and Alt+Tab show the window program's icon sharp at every scale.
    const std::string window = ProgramPath("MORVANE_EXE");
    EXPECT_EQ(IconSizes(window, IDI_APP), (std::vector<int>{16, 24, 32, 48, 256}));
}

TEST(WindowsProgram, StartsOnThePortOfItsCommandLineAndEndsWhenClosed) {
    const std::string built = ProgramPath();
    if (built.empty()) GTEST_SKIP() << "MORVANE_EXE names no program";
    // From a folder with a blank in its name, as "C:\Program Files\Morvane" has: the pairs after
    // the program's path must not shift.
    char temp[MAX_PATH] = {};
    ASSERT_NE(::GetTempPathA(MAX_PATH, temp), 0u);
    const std::string folder = std::string(temp) + "Morvane program test";
    const std::string program = folder + "\\morvane.exe";
    ::CreateDirectoryA(folder.c_str(), nullptr);
    ASSERT_TRUE(::CopyFileA(built.c_str(), program.c_str(), FALSE)) << built;

    std::string commandLine = "\"" + program + "\" -x 1 -com 9";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &process));
    HWND window = nullptr;
    EXPECT_TRUE(morvane::testing::WaitUntil(
        [&] {
            window = ::FindWindowA("#32770", "Tundro W6 Firmware v1.22");
            return window != nullptr;
        },
        std::chrono::seconds(30)));
    if (window != nullptr) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        EXPECT_EQ(owner, process.dwProcessId);
        HWND list = ::GetDlgItem(window, IDC_COMPORT);
        const auto count = static_cast<int>(::SendMessageA(list, CB_GETCOUNT, 0, 0));
        bool offered = false;
        for (int i = 0; i < count; ++i)
            offered = offered || ::SendMessageA(list, CB_GETITEMDATA, i, 0) == 9;
        EXPECT_TRUE(offered) << "COM9 of -com is not in the port list";
        // The port named is chosen, ready to load.
        const LRESULT chosen = ::SendMessageA(list, CB_GETCURSEL, 0, 0);
        EXPECT_EQ(::SendMessageA(list, CB_GETITEMDATA, static_cast<WPARAM>(chosen), 0), 9);
        EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(window, IDC_LOAD)));
        ::PostMessageA(window, WM_CLOSE, 0, 0);
    }
    const bool ended = ::WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0;
    if (!ended) ::TerminateProcess(process.hProcess, 1);
    EXPECT_TRUE(ended) << "morvane.exe did not end when its window was closed";
    DWORD status = 1;
    ::GetExitCodeProcess(process.hProcess, &status);
    EXPECT_EQ(status, 0u);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    ::DeleteFileA(program.c_str());
    ::RemoveDirectoryA(folder.c_str());
}

}  // namespace
}  // namespace morvane::testing_win32
