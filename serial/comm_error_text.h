// The error bits a port reports and the text the debug line "<CE-%s>" shows for them.
#pragma once

#include <cstdint>
#include <string>

namespace morvane {

// Error bits numbered as the Windows driver reports them; the Linux backend derives them from
// what the kernel counts (TIOCGICOUNT) where the driver counts anything.
inline constexpr std::uint32_t kCommErrorRxOver = 0x0001;
inline constexpr std::uint32_t kCommErrorOverrun = 0x0002;
inline constexpr std::uint32_t kCommErrorRxParity = 0x0004;
inline constexpr std::uint32_t kCommErrorFrame = 0x0008;
inline constexpr std::uint32_t kCommErrorBreak = 0x0010;
inline constexpr std::uint32_t kCommErrorTxFull = 0x0100;
inline constexpr std::uint32_t kCommErrorIo = 0x0400;
inline constexpr std::uint32_t kCommErrorMode = 0x8000;

// The text of a set of error bits: " CE_BREAK", " CE_FRAME", ... in a fixed order, cut so that
// it fits a 32-byte buffer (at most 31 characters).
[[nodiscard]] std::string CommErrorText(std::uint32_t errors);

}  // namespace morvane
