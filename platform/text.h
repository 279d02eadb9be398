// Text and container types of the updater, and the few helpers the rest of the code needs.
//
// Everything the program exchanges with the receiver and the system is 8-bit text, so a
// CString is a std::string: bytes, not characters. The aliases keep the names the loader,
// parsers and port discovery are written in, without dragging in a framework.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

using CString = std::string;
using CStringArray = std::vector<std::string>;

// An ordered, growable array of records. The second parameter is the argument type of the
// framework's container and has no meaning here; it is kept so declarations read the same.
template <class T, class ArgT = T&>
using CArray = std::vector<T>;

// The formats are the C99 ones (%zu, %llu) on every platform. On Windows the C++ runtime
// formats with MinGW's own functions, which have them, so the checks follow those rather than
// the system's older set.
#ifdef __MINGW32__
#define MORVANE_PRINTF_FORMAT(fmtIndex, firstArg) \
    __attribute__((format(gnu_printf, fmtIndex, firstArg)))
#else
#define MORVANE_PRINTF_FORMAT(fmtIndex, firstArg) \
    __attribute__((format(printf, fmtIndex, firstArg)))
#endif

// printf-style formatting into a string of any length.
[[nodiscard]] std::string Format(const char* fmt, ...) MORVANE_PRINTF_FORMAT(1, 2);
[[nodiscard]] std::string FormatV(const char* fmt, std::va_list args) MORVANE_PRINTF_FORMAT(1, 0);

// Reads a number the way atoi does: leading white space, an optional sign, decimal digits up
// to the first other character; 0 when there are none. Never fails: values beyond int
// saturate instead of being undefined.
[[nodiscard]] int AtoI(std::string_view text);

// The text without the blanks, tabs and line ends around it (a receiver's version reply may carry
// them around the number).
[[nodiscard]] std::string_view TrimSpace(std::string_view text);

// ASCII-only case handling; text from the receiver and the command line is never localised.
[[nodiscard]] bool EqualsNoCase(std::string_view a, std::string_view b);

// Text the system hands out in UTF-16 (Windows' wide calls: device names in the user's
// language) as the UTF-8 the rest of the program prints. A lone surrogate, which UTF-8 cannot
// carry, becomes U+FFFD.
[[nodiscard]] std::string Utf8FromUtf16(std::u16string_view text);

// The program's UTF-8 as the UTF-16 that Windows' wide calls take (a window's texts, a path in a
// profile named "José"). What is not UTF-8 becomes U+FFFD, a byte at a time.
[[nodiscard]] std::u16string Utf16FromUtf8(std::string_view text);

}  // namespace morvane
