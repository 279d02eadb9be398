#include "serial/system_text_win32.h"

namespace morvane {

std::string SystemErrorText(DWORD error, LANGID language) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, language, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (length > 0 && text != nullptr) {
        const int wide = static_cast<int>(length);
        const int bytes =
            ::WideCharToMultiByte(CP_UTF8, 0, text, wide, nullptr, 0, nullptr, nullptr);
        if (bytes > 0) {
            out.resize(static_cast<std::size_t>(bytes));
            (void)::WideCharToMultiByte(CP_UTF8, 0, text, wide, out.data(), bytes, nullptr,
                                        nullptr);
        }
    }
    if (text != nullptr) ::LocalFree(text);
    while (!out.empty() &&
           (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return out.empty() ? "system error " + std::to_string(error) : out;
}

}  // namespace morvane
