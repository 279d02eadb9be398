// Why a port would not open on Linux, and what to do about it.
#include <sstream>
#include <vector>

#include "view/open_error_text_system.h"

namespace morvane::open_error_system {
namespace {

std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ", ";
        out += items[i];
    }
    return out;
}

// Serial ports belong to the group 'dialout' (Debian, Ubuntu, Fedora) or 'uucp' (Arch, Gentoo).
// A device of another group is no reason to join that group: 'tty', the terminals' group, would
// let the user write to everyone's terminals and still not open a serial port.
bool IsSerialGroup(const std::string& group) { return group == "dialout" || group == "uucp"; }

}  // namespace

const char* const kNotSerialAdvice =
    "  Name the receiver's port with --com N or --port /dev/tty...; morvane-cli --list\n"
    "  shows the serial ports of this machine.\n";
const char* const kSettingsRefusedCause =
    "The device may not be a serial port this program can drive";

std::string Where(const std::string& portLabel, const OpenError& error) {
    if (error.devicePath.empty() || error.devicePath == portLabel) return portLabel;
    return portLabel + " (" + error.devicePath + ")";
}

void ExplainOwnCase(std::ostringstream& text, const OpenError& error, const std::string& where,
                    int comPort, const OpenErrorFacts& facts, bool inWindow) {
    switch (error.kind) {
        case OpenErrorKind::NoSuchDevice:
            if (error.devicePath.empty() && comPort != 0) {
                text
                    << "Cannot open " << where << ": that number stands for no serial device.\n"
                    << "  COM numbers: ttyS0-31 = COM1-32, ttyUSB0-31 = COM33-64, ttyACM0-31 = COM65-96,\n"
                    << "  ttyAMA0-31 = COM97-128, ttyXRUSB0-31 = COM129-160, rfcomm0-31 = COM161-192.\n";
            } else {
                text << "Cannot open " << where << ": there is no such device" << WithOsText(error)
                     << ".\n";
            }
            text
                << (inWindow ? "  The Com Port list shows the serial ports of this machine.\n"
                             : "  List the serial ports of this machine with: morvane-cli --list\n")
                << "  Check that the receiver's cable (or its USB serial adapter) is plugged in.\n";
            break;
        case OpenErrorKind::PermissionDenied:
            text << "Cannot open " << where << ": permission denied" << WithOsText(error) << ".\n";
            if (!facts.ownerUser.empty() && (!facts.groupMayOpen || facts.ownerGroup == "root")) {
                // Such a device (root:root 0600) opens for its owner alone: no group helps.
                text << "  The device belongs to the user '" << facts.ownerUser
                     << "' and the group '" << facts.ownerGroup << "', and only\n"
                     << "  '" << facts.ownerUser
                     << "' may open it: joining the group 'dialout' would not help.\n"
                     << "  Run the load as '" << facts.ownerUser
                     << "', or have the administrator give the device to the group\n"
                     << "  'dialout' with read and write for it (a udev rule).\n";
            } else if (!IsSerialGroup(facts.ownerGroup)) {
                text
                    << "  Your user may not read and write this device. On most systems serial ports\n"
                    << "  belong to the group 'dialout'; join it with:\n"
                    << "      sudo usermod -aG dialout $USER\n"
                    << "  then log out and log in again.\n";
            } else if (facts.userListedInGroup) {
                text << "  The device belongs to the group '" << facts.ownerGroup
                     << "'. You are a member, but this\n"
                     << "  login session started before you joined: log out and log in again\n"
                     << "  (or start a shell with: newgrp " << facts.ownerGroup << ").\n";
            } else {
                text << "  The device belongs to the group '" << facts.ownerGroup
                     << "', and you are not in it.\n"
                     << "  Join it with:\n"
                     << "      sudo usermod -aG " << facts.ownerGroup << " $USER\n"
                     << "  then log out and log in again.\n";
            }
            break;
        case OpenErrorKind::Busy:
            text << "Cannot open " << where << ": the port is in use" << WithOsText(error) << ".\n";
            if (facts.holders.empty()) {
                text
                    << "  Another program holds it: close it (a terminal such as minicom or screen, a GPS\n"
                    << "  daemon such as gpsd, or ModemManager), then run the load again.\n";
            } else {
                text << "  It is held by " << Join(facts.holders)
                     << ": close that program, then run the\n"
                     << "  load again.\n";
            }
            break;
        default: break;
    }
}

}  // namespace morvane::open_error_system
