#include "serial/com_port_map.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "serial/com_port_path.h"
#include "serial/port_identity.h"

namespace morvane {
namespace {

// A run of decimal digits that is the whole text, without leading zeros (so "ttyS01" is not
// ttyS1: two spellings of one port would let the same device be listed twice).
std::optional<int> WholeNumber(std::string_view digits) {
    if (digits.empty() || digits.size() > 6) return std::nullopt;
    if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::string DevicesDirFromEnv() {
    const char* dir = std::getenv("MORVANE_DEVICES");
    return dir != nullptr ? std::string(dir) : std::string();
}

std::string DevicesDirProblem(const std::string& devicesDir) {
    if (devicesDir.empty()) return {};
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(devicesDir, ec);
    const char* what = nullptr;
    if (status.type() == std::filesystem::file_type::not_found) {
        what = "which does not exist";
    } else if (!ec && status.type() != std::filesystem::file_type::directory) {
        what = "which is not a folder";
    }
    if (what == nullptr) return {};
    return "MORVANE_DEVICES names " + devicesDir + ", " + what +
           ": COM numbers stand for their fixed devices (ttyS0 is COM1, ttyUSB0 COM33, ...)";
}

std::optional<std::string> TtyNameForComPort(int port) {
    for (const ComRange& range : kComRanges) {
        if (port >= range.firstPort && port < range.firstPort + kPortsPerRange) {
            return std::string(range.ttyPrefix) + std::to_string(port - range.firstPort);
        }
    }
    return std::nullopt;
}

std::optional<std::string> DevicePathForComPort(int port, const std::string& devicesDir) {
    if (port <= 0) return std::nullopt;
    if (!devicesDir.empty()) {
        const std::filesystem::path entry =
            std::filesystem::path(devicesDir) / ("com" + std::to_string(port));
        std::error_code ec;
        // symlink_status: a link whose target has gone is still this port's entry, and opening
        // it then fails with "no such device" rather than silently opening another device.
        if (std::filesystem::exists(std::filesystem::symlink_status(entry, ec)))
            return entry.string();
    }
    if (auto name = TtyNameForComPort(port)) return "/dev/" + *name;
    return std::nullopt;
}

std::optional<std::string> DevicePathForComPort(int port) {
    return DevicePathForComPort(port, DevicesDirFromEnv());
}

std::string ComPortDevicePath(int port) { return DevicePathForComPort(port).value_or(""); }

std::optional<int> ComPortForTtyName(std::string_view ttyName) {
    // Longest prefix first would matter if one prefix began another; "ttyS" and "ttyUSB" do
    // not collide because the rest must be digits only.
    for (const ComRange& range : kComRanges) {
        if (ttyName.substr(0, range.ttyPrefix.size()) != range.ttyPrefix) continue;
        auto index = WholeNumber(ttyName.substr(range.ttyPrefix.size()));
        if (index && *index < kPortsPerRange) return range.firstPort + *index;
    }
    return std::nullopt;
}

std::optional<int> ComPortForDevicesEntry(std::string_view entryName) {
    // Wine writes its entries in lower case, and only those are the folder's ports.
    if (entryName.substr(0, 3) != "com") return std::nullopt;
    return ComNumberOfName(entryName);
}

}  // namespace morvane
