// What the updater's status area shows, worked out from the load progress record without any
// toolkit. The window copies these texts into its controls (Qt on Linux, a Win32 dialog on
// Windows), and morvane-cli prints them, so every program says the same thing in the same words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/power.h"
#include "record/loader_state.h"

namespace morvane {

// The lines as they read before any load.
inline constexpr const char* kStatusStartText = "Status: Not Connected";
inline constexpr const char* kFirmwareOnDeviceStartText = "Firmware on Device: N/A";
inline constexpr const char* kProgressStartText = "Progress: N/A";
inline constexpr const char* kPercentStartText = "0%";
inline constexpr const char* kRemainingTimeStartText = "Remaining Time: N/A";
inline constexpr const char* kWaasPrnsStartText = "WAAS PRNS: N/A";

// What the user is told to do, and what not to do while a load runs.
inline constexpr const char* kInstructionsText =
    "1. Connect the Tundro W6 to the PC with a serial cable\n2. Select the PC Comport\n3. Click Load\n"
    "4. Wait for load to Complete.";
inline constexpr const char* kDamageWarning =
    "WARNING: If the device is disconnected from the PC, powered off, or this program is shutdown it could "
    "damage the device!";
// Why a load does not start on a PC whose battery is nearly flat: the window's box and
// morvane-cli's message.
inline constexpr const char* kLowBatteryText =
    "The PC runs on its battery, and less than 10 % is left. Plug in the charger before you load: "
    "a PC that shuts down during a load could leave the receiver without firmware.";
static_assert(kLowestBatteryPercentForLoad == 10, "kLowBatteryText names the lowest charge");
// Why the window does not close while a load runs.
inline constexpr const char* kCloseRefusedText =
    "A load is running. Closing Morvane now could leave the receiver without firmware: wait until "
    "the load has ended.";

// "Tundro W6 Firmware v1.22": the window's caption.
[[nodiscard]] std::string WindowCaption();
// "Firmware to be Loaded: 1.22".
[[nodiscard]] std::string FirmwareToLoadText();
// "Firmware on Device: " followed by the version text the receiver reported.
[[nodiscard]] std::string FirmwareOnDeviceText(const std::string& firmwareText);

// The status line `code` shows; nothing for a code of no known meaning, which leaves the line as
// it was.
[[nodiscard]] std::optional<std::string> StatusLineFor(std::int32_t code);
// A status line without the "Status: " that leads most of them, for where it stands beside the
// port's name (a row of several ports, the closing table): "Connected", "Rebooting..".
[[nodiscard]] std::string StatusWords(std::string_view statusLine);

// Whole percent of the transfer, truncated; 0 while the total is not known, never above 100.
// Worked out in 64 bits, so the count times 100 cannot wrap for any image size.
[[nodiscard]] unsigned ProgressPercent(std::uint32_t sentBytes, std::uint32_t totalBytes);

// Every line of the status area as it reads now, the bar's position included. The applications
// and WAAS lines have no place in the window's layout; they are kept all the same, so the codes
// that write them work with or without a place to show them.
struct SStatusArea {
    std::string status = kStatusStartText;
    std::string firmwareOnDevice = kFirmwareOnDeviceStartText;
    std::string applications;
    std::string waasPrns = kWaasPrnsStartText;
    std::string progress = kProgressStartText;
    std::string percent = kPercentStartText;
    int bar = 0;  // 0 to 100
    std::string remainingTime = kRemainingTimeStartText;

    bool operator==(const SStatusArea&) const = default;
};

// Which of the window's controls take input.
struct SControlStates {
    bool load = false;  // Load waits for the user's choice of port, even when the list shows one
    bool exit = true;
    bool portList = true;

    bool operator==(const SControlStates&) const = default;
};

class CStatusView {
public:
    [[nodiscard]] const SStatusArea& Area() const { return area_; }
    [[nodiscard]] const SControlStates& Controls() const { return controls_; }

    // The window's display pass: nothing while no load runs, while it is verified, or when
    // nothing was written since the last pass (between loads every line keeps how the last load
    // ended); otherwise Show.
    // True when a line changed.
    bool Refresh(SLoaderState& state);
    // Rewrites the lines from the record. The progress lines change only once bytes went out;
    // a status code of no known meaning leaves the status and its further lines alone. True
    // when a line changed.
    bool Show(const SLoaderState& state);

    // The user confirmed an item of the port list: Load may be pressed.
    void SelectionConfirmed();
    // The selection moved to the item of `port` (0 for an item that is not a port).
    void SelectionChanged(int port);
    // A load starts: every control is locked until it ends, and the progress lines and the
    // firmware found go back to how they read before any load, so no figure of the last load
    // stands beside the new one: the receiver on the port now may not be the one measured then.
    void LoadStarted();
    // The image is out and the window waits for the restarted receiver to name its firmware:
    // the status line says so until the verification is over, whatever the detection writes
    // meanwhile, and the firmware line no longer shows the version measured before the load.
    // Exit takes input again (nothing is cut off by leaving now); Load and the list stay locked.
    void VerifyStarted();
    // The verification is over: the firmware line shows what the receiver reports now
    // (`firmware`, empty for nothing). A verified load reads as the complete load it was;
    // otherwise the status line is the one the detection ended on (`detectionStatus`).
    void VerifyEnded(bool verified, std::int32_t detectionStatus, const std::string& firmware);
    // The load's worker is done, the load having ended on `finalStatus`: the controls take input
    // again. A complete transfer keeps its figures (100%, no time left); after any other end
    // they go back to their start, since a load that is over has no time remaining, and the
    // next load starts from the first byte again whatever this one reached.
    void LoadEnded(std::int32_t finalStatus);

private:
    void ClearProgress();

    SStatusArea area_;
    SControlStates controls_;
    bool verifying_ = false;
};

}  // namespace morvane
