// Ids of the window's resources and controls, and the main dialog's layout in dialog units.
// The warning icon's id lives in the Windows resources alone: IDI_WARNING is also a system macro.
//
// The numbers are the ones the Windows build of the updater uses, so both builds name every
// control the same way and a layout change is made in one table.
#pragma once

#include <array>

#include "view/status_view.h"

namespace morvane {

inline constexpr int IDD_MAIN_DIALOG = 102;
inline constexpr int IDI_APP = 149;
inline constexpr int IDB_BANNER = 1000;

inline constexpr int IDC_BANNER = 1000;
inline constexpr int IDC_LOAD = 1001;
inline constexpr int IDC_EXIT = 1002;
inline constexpr int IDC_COMPORT = 1003;
inline constexpr int IDC_COMPORT_LABEL = 1004;
inline constexpr int IDC_STATUS = 1005;
inline constexpr int IDC_FIRMWARE_ON_DEVICE = 1006;
inline constexpr int IDC_PROGRESS_TEXT = 1007;
inline constexpr int IDC_PROGRESS = 1008;
inline constexpr int IDC_STATUS_GROUP = 1009;
inline constexpr int IDC_SETUP_GROUP = 1010;
inline constexpr int IDC_INSTRUCTIONS_GROUP = 1011;
inline constexpr int IDC_FIRMWARE_TO_LOAD = 1012;
inline constexpr int IDC_INSTRUCTIONS = 1013;
inline constexpr int IDC_WARNING = 1014;
inline constexpr int IDC_PERCENT = 1015;
inline constexpr int IDC_WARNING_ICON = 1018;
inline constexpr int IDC_REMAINING_TIME = 1023;

inline constexpr int IDT_STATUS = 1;
inline constexpr int IDT_PORT_SCAN = 2;

// Where the artwork lives in the program's Qt resources.
inline constexpr const char* kAppIconPath = ":/morvane/app_icon.png";
inline constexpr const char* kWarningIconPath = ":/morvane/warning_icon.png";
inline constexpr const char* kBannerPath = ":/morvane/banner.png";

enum class ControlKind {
    DefaultButton,
    Button,
    Text,
    CentredText,
    Picture,
    ComboBox,
    ProgressBar,
    GroupBox,
    Icon
};

struct SControlLayout {
    int id;
    const char* name;
    ControlKind kind;
    const char* text;  // the text the control starts with; nullptr for controls without one
    int x, y, cx, cy;  // dialog units
    // What a screen reader calls a control that shows no text of its own; a text row right
    // before a control that takes the focus names that control instead.
    const char* accessibleName = nullptr;
};

// IDD_MAIN_DIALOG. The order is the creation order and the tab order: the port list and its
// label come first, so the keyboard goes where the user goes (port, Load, Exit), and the label
// right before the list is, on Windows too, the name a screen reader gives the list.
inline constexpr int kDialogWidthDlu = 374;
inline constexpr int kDialogHeightDlu = 290;
inline constexpr std::array<SControlLayout, 18> kMainDialogLayout{{
    // 40 wide, into the free space beside it: at 120 and 144 dots per inch the font's text
    // grows faster than the rounded dialog units, and 30 cut "Com Port" to "Com".
    {IDC_COMPORT_LABEL, "IDC_COMPORT_LABEL", ControlKind::Text, "Com Port", 17, 89, 40, 8},
    {IDC_COMPORT, "IDC_COMPORT", ControlKind::ComboBox, nullptr, 16, 100, 171, 50},
    {IDC_LOAD, "IDC_LOAD", ControlKind::DefaultButton, "Load", 40, 127, 50, 16},
    {IDC_EXIT, "IDC_EXIT", ControlKind::Button, "Exit", 119, 127, 50, 16},
    {IDC_STATUS, "IDC_STATUS", ControlKind::Text, kStatusStartText, 210, 82, 142, 8},
    {IDC_BANNER, "IDC_BANNER", ControlKind::Picture, nullptr, 6, 5, 333, 62,
     "Morvane Firmware Updater - Tundro W6"},
    {IDC_FIRMWARE_ON_DEVICE, "IDC_FIRMWARE_ON_DEVICE", ControlKind::Text,
     kFirmwareOnDeviceStartText, 210, 94, 113, 8},
    {IDC_PROGRESS_TEXT, "IDC_PROGRESS_TEXT", ControlKind::Text, kProgressStartText, 210, 128, 122,
     8},
    {IDC_PROGRESS, "IDC_PROGRESS", ControlKind::ProgressBar, nullptr, 235, 143, 80, 14, "Progress"},
    {IDC_STATUS_GROUP, "IDC_STATUS_GROUP", ControlKind::GroupBox, "Status", 199, 70, 168, 95},
    {IDC_SETUP_GROUP, "IDC_SETUP_GROUP", ControlKind::GroupBox, "Setup", 7, 70, 188, 95},
    {IDC_FIRMWARE_TO_LOAD, "IDC_FIRMWARE_TO_LOAD", ControlKind::Text, "Firmware to be Loaded: N/A",
     210, 106, 137, 8},
    {IDC_PERCENT, "IDC_PERCENT", ControlKind::Text, kPercentStartText, 210, 147, 22, 8},
    {IDC_INSTRUCTIONS, "IDC_INSTRUCTIONS", ControlKind::Text, "Instructions", 28, 217, 302, 59},
    {IDC_WARNING, "IDC_WARNING", ControlKind::CentredText, "Warning", 36, 188, 285, 29},
    {IDC_INSTRUCTIONS_GROUP, "IDC_INSTRUCTIONS_GROUP", ControlKind::GroupBox, "Instructions", 7,
     168, 360, 114},
    {IDC_WARNING_ICON, "IDC_WARNING_ICON", ControlKind::Icon, nullptr, 18, 188, 20, 20, "Warning"},
    {IDC_REMAINING_TIME, "IDC_REMAINING_TIME", ControlKind::Text, kRemainingTimeStartText, 210, 117,
     141, 8},
}};

}  // namespace morvane
