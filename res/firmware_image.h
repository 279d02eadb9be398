// The firmware image the program installs: Tundro W6 application firmware 1.22 as Intel HEX
// text, carried inside the program and sent to the device unchanged, line ends included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace morvane {

inline constexpr const char* kModelName = "Tundro W6";
inline constexpr const char* kFirmwareVersion = "1.22";

// The image the program carries, read in place: valid for the whole run, never copied. Empty,
// with no bytes at all, when the program was built without one (a Windows program whose
// resource is missing): a load then reports the image as not found instead of sending nothing.
[[nodiscard]] std::span<const std::uint8_t> EmbeddedFirmwareImage();

}  // namespace morvane
