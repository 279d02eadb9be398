// The status codes a load reports in SLoaderState, and the status-line text of each, shared by
// the window and the CLI so both say the same thing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

enum LoaderStatus : std::int32_t {
    STATUS_NOT_CONNECTED = 0,
    STATUS_DETECTING_BAUD = 1,
    STATUS_CONNECTED = 2,
    STATUS_INVALID_PORT = 3,
    STATUS_CODE_4 = 4,
    STATUS_VERSION_NOT_DETECTED = 5,
    STATUS_DETECTING_FIRMWARE = 6,
    STATUS_IMAGE_NOT_FOUND = 7,
    STATUS_FIRMWARE_COMPLETE = 8,
    STATUS_UPDATING_FIRMWARE = 9,
    STATUS_DEVICE_NOT_DETECTED = 10,
    STATUS_BOOTLOADER_COMPLETE = 11,
    STATUS_UPDATING_BOOTLOADER = 12,
    STATUS_WAITING = 13,
    STATUS_ENTERING_COMMAND_MODE = 14,
    STATUS_COMMAND_MODE_FAILED = 15,
    STATUS_COMMAND_MODE = 16,
    STATUS_CHECKING_FIRMWARE = 17,
    STATUS_FIRMWARE_CHECK_FAILED = 18,
    STATUS_FIRMWARE_CHECK_PASSED = 19,
    STATUS_CHECKING_COMPATIBILITY = 20,
    STATUS_COMPATIBILITY_FAILED = 21,
    STATUS_NO_UPDATE_REQUIRED = 22,
    STATUS_ACTIVATING_BOOTLOADER = 25,
    STATUS_BOOTLOADER_ACTIVATION_FAILED = 26,
    STATUS_VERIFYING = 27,
    STATUS_BLOCK_FAILED = 28,
    STATUS_RESENDING_BLOCK = 29,
    STATUS_RESENDING_IMAGE = 30,
    STATUS_CONFIGURING_RADIO = 31,
    STATUS_CONFIGURING_PORTS = 32,
    STATUS_CHECKING_ACTIVE_APP = 33,
    STATUS_CHECKING_INACTIVE_APP = 34,
    STATUS_SWITCHING_APP = 35,
    STATUS_UPDATING_SATELLITES = 36,
    STATUS_RESTORING_SETTINGS = 37,
    STATUS_WAAS_COMPLETE = 38,
    STATUS_REBOOTING = 39,
    STATUS_RESET_DEVICE = 40,
};

// How the firmware line is rewritten with a status (see StatusLines).
enum class FirmwareLineForm : std::uint8_t {
    None,  // the firmware line keeps its text
    A,     // "Firmware on Device: <text>" only when firmware was detected
    B,     // the same, else "Firmware on Device: N/A"
};

// What one status code shows: its status-line text and which further lines it rewrites.
struct StatusLines {
    std::string_view text;
    FirmwareLineForm firmwareLine = FirmwareLineForm::None;
    bool applicationsLine = false;
    bool waasLine = false;
};

// The lines of a code, or nothing when the code is not one of ours (then nothing is rewritten).
[[nodiscard]] std::optional<StatusLines> LinesForStatus(std::int32_t code);

// The status-line text of a code; nothing when the code is not one of ours.
[[nodiscard]] std::optional<std::string_view> StatusText(std::int32_t code);

// The remaining time in the window's words: "Remaining Time: %i seconds" up to 90 seconds,
// "Remaining Time: %i minutes %i seconds" above. The record's value is read as unsigned.
[[nodiscard]] std::string RemainingTimeText(std::int32_t remainingSeconds);

// The base loader's message box for a port it cannot open (the status is then
// STATUS_INVALID_PORT).
inline constexpr const char* kInvalidPortMessage = "Invalid Comport, or Comport in use!";

// The byte counter: "Progress: sent/total".
[[nodiscard]] std::string ByteCounterText(std::uint32_t sentBytes, std::uint32_t totalBytes);

}  // namespace morvane
