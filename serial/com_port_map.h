// COM port numbers and the devices they stand for: the one place that decides which tty a
// number opens, used by the serial device and by port discovery alike.
//
// A folder named by MORVANE_DEVICES may hold entries `comN` (links to tty devices, as in a Wine
// prefix's dosdevices folder); such an entry is COM N. Otherwise the numbers follow fixed ranges
// of 32 per kind of device, so a number always means the same device on every machine.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace morvane {

struct ComRange {
    std::string_view ttyPrefix;  // "ttyS", "ttyUSB", ...
    int firstPort;               // COM number of index 0
};

// ttyS0-31 = COM1-32, ttyUSB0-31 = COM33-64, ttyACM0-31 = COM65-96, ttyAMA0-31 = COM97-128,
// ttyXRUSB0-31 = COM129-160, rfcomm0-31 = COM161-192.
inline constexpr int kPortsPerRange = 32;
inline constexpr ComRange kComRanges[] = {
    {"ttyS", 1}, {"ttyUSB", 33}, {"ttyACM", 65}, {"ttyAMA", 97}, {"ttyXRUSB", 129}, {"rfcomm", 161},
};

// The folder MORVANE_DEVICES names, or empty when unset.
[[nodiscard]] std::string DevicesDirFromEnv();

// What is wrong with the devices folder, in words for the user: it does not exist, or is no
// folder. Its entries then stand for nothing and COM numbers for their fixed-range devices.
// Empty when the folder is fine or none is named.
[[nodiscard]] std::string DevicesDirProblem(const std::string& devicesDir);

// "<devicesDir>/comN" when that entry exists, else the fixed-range device "/dev/<tty>" for the
// number; nothing when the number is in no range.
[[nodiscard]] std::optional<std::string> DevicePathForComPort(int port,
                                                              const std::string& devicesDir);
[[nodiscard]] std::optional<std::string> DevicePathForComPort(int port);

// The fixed-range device name of a number ("ttyUSB0" for 33), without any folder.
[[nodiscard]] std::optional<std::string> TtyNameForComPort(int port);

// The COM number of a kernel tty name ("ttyUSB0" gives 33); nothing for names outside the ranges.
[[nodiscard]] std::optional<int> ComPortForTtyName(std::string_view ttyName);

// The number of a devices-folder entry name ("com7" gives 7); nothing for other names.
[[nodiscard]] std::optional<int> ComPortForDevicesEntry(std::string_view entryName);

}  // namespace morvane
