#include "record/loader_status.h"

#include <array>

#include "platform/text.h"

namespace morvane {
namespace {

struct Row {
    std::int32_t code;
    StatusLines lines;
};

using F = FirmwareLineForm;

// Codes 23 and 24 are not used by the receiver family; every other code up to 40 is.
constexpr std::array kRows{
    Row{STATUS_NOT_CONNECTED, {"Status: Not Connected"}},
    Row{STATUS_DETECTING_BAUD, {"Status: Detecting Baud Rate"}},
    Row{STATUS_CONNECTED, {"Status: Connected", F::A}},
    Row{STATUS_INVALID_PORT, {"Status: Can't Connect, Invalid COM Port"}},
    Row{STATUS_CODE_4, {"Status: Updating Firmware"}},
    Row{STATUS_VERSION_NOT_DETECTED, {"Status: Firmware Version Not Detected"}},
    Row{STATUS_DETECTING_FIRMWARE, {"Status: Detecting Firmware", F::B}},
    Row{STATUS_IMAGE_NOT_FOUND, {"Status: Firmware Image File Not Found"}},
    Row{STATUS_FIRMWARE_COMPLETE, {"Status: Firmware Update Complete"}},
    Row{STATUS_UPDATING_FIRMWARE, {"Status: Updating Firmware"}},
    Row{STATUS_DEVICE_NOT_DETECTED, {"Status: Device Not Detected"}},
    Row{STATUS_BOOTLOADER_COMPLETE, {"Status: Bootloader Update Complete"}},
    Row{STATUS_UPDATING_BOOTLOADER, {"Status: Updating Bootloader"}},
    Row{STATUS_WAITING, {"Status: Waiting.."}},
    Row{STATUS_ENTERING_COMMAND_MODE, {"Status: Entering Command Mode"}},
    Row{STATUS_COMMAND_MODE_FAILED, {"Status: Failed to Enter Command Mode"}},
    Row{STATUS_COMMAND_MODE, {"Status: Command Mode"}},
    Row{STATUS_CHECKING_FIRMWARE, {"Status: Checking Firmware"}},
    Row{STATUS_FIRMWARE_CHECK_FAILED, {"Status: Failed Firmware Check"}},
    Row{STATUS_FIRMWARE_CHECK_PASSED, {"Status: Passed Firmware Check"}},
    Row{STATUS_CHECKING_COMPATIBILITY, {"Status: Checking Firmware Compatibility"}},
    Row{STATUS_COMPATIBILITY_FAILED, {"Status: Failed Compatibility Check"}},
    Row{STATUS_NO_UPDATE_REQUIRED, {"Status: Update Aborted, No Update Required"}},
    Row{STATUS_ACTIVATING_BOOTLOADER, {"Status: Activating Bootloader"}},
    Row{STATUS_BOOTLOADER_ACTIVATION_FAILED, {"Status: Bootloader Activation Failed"}},
    Row{STATUS_VERIFYING, {"Status: Verifying"}},
    Row{STATUS_BLOCK_FAILED, {"Status: Firmware Block Failed"}},
    Row{STATUS_RESENDING_BLOCK, {"Status: Resending Firmware Block"}},
    Row{STATUS_RESENDING_IMAGE, {"Status: Resending Entire Firmware Image"}},
    Row{STATUS_CONFIGURING_RADIO, {"Status: Configuring Radio Parameters"}},
    Row{STATUS_CONFIGURING_PORTS, {"Status: Configuring Ports"}},
    Row{STATUS_CHECKING_ACTIVE_APP, {"Checking Active Application", F::None, true, true}},
    Row{STATUS_CHECKING_INACTIVE_APP, {"Checking Inactive Application", F::None, true, true}},
    Row{STATUS_SWITCHING_APP, {"Switching Active Application", F::None, true, false}},
    Row{STATUS_UPDATING_SATELLITES, {"Updating Satellites", F::None, false, true}},
    Row{STATUS_RESTORING_SETTINGS, {"Restoring Settings", F::A, true, true}},
    Row{STATUS_WAAS_COMPLETE, {"WAAS Update Complete."}},
    Row{STATUS_REBOOTING, {"Rebooting.."}},
    Row{STATUS_RESET_DEVICE, {"Status: Please reset the device now"}},
};

}  // namespace

std::optional<StatusLines> LinesForStatus(std::int32_t code) {
    for (const Row& row : kRows) {
        if (row.code == code) return row.lines;
    }
    return std::nullopt;
}

std::optional<std::string_view> StatusText(std::int32_t code) {
    if (auto lines = LinesForStatus(code)) return lines->text;
    return std::nullopt;
}

std::string RemainingTimeText(std::int32_t remainingSeconds) {
    const auto s = static_cast<std::uint32_t>(remainingSeconds);
    if (s <= 90) return Format("Remaining Time: %u seconds", s);
    return Format("Remaining Time: %u minutes %u seconds", s / 60, s % 60);
}

std::string ByteCounterText(std::uint32_t sentBytes, std::uint32_t totalBytes) {
    return Format("Progress: %u/%u", sentBytes, totalBytes);
}

}  // namespace morvane
