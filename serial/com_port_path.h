// The device a COM number stands for, as a text to show and to explain a failed open with.
#pragma once

#include <string>

namespace morvane {

// "/dev/ttyUSB0" for COM33 on Linux, "\\.\COM5" on Windows; empty when the number stands for no
// device.
[[nodiscard]] std::string ComPortDevicePath(int port);

}  // namespace morvane
