// Why a COM port would not open on Windows, and what to do about it, in Windows' terms.
#include <sstream>

#include "view/open_error_text.h"

namespace morvane {
namespace {

// Windows answers "access denied" when another program holds the COM port.
constexpr int kErrorAccessDenied = 5;

std::string WithOsText(const OpenError& error) {
    return error.osText.empty() ? std::string() : " (" + error.osText + ")";
}

}  // namespace

std::string ExplainOpenError(const OpenError& error, const std::string& portLabel, int /*comPort*/,
                             const OpenErrorFacts& /*facts*/, PortChoice choice) {
    const bool inWindow = choice == PortChoice::PortList;
    std::ostringstream text;
    const std::string& where = portLabel;
    switch (error.kind) {
        case OpenErrorKind::NoSuchDevice:
            text << "Cannot open " << where << ": there is no such port on this PC"
                 << WithOsText(error) << ".\n"
                 << (inWindow ? "  The Com Port list shows the COM ports of this PC.\n"
                              : "  List the COM ports of this PC with: morvane-cli --list\n")
                 << "  Check that the receiver's cable (or its USB serial adapter) is plugged in;\n"
                 << "  Device Manager shows an adapter's number under \"Ports (COM & LPT)\".\n";
            break;
        case OpenErrorKind::Busy:
            text
                << "Cannot open " << where << ": "
                << (error.osError == kErrorAccessDenied ? "access denied, " : "")
                << "the port is in use by another program" << WithOsText(error) << ".\n"
                << "  Windows gives a COM port to one program at a time: close the other one (a\n"
                << "  terminal such as PuTTY or Tera Term, or the receiver's own tools), then run\n"
                << "  the load again.\n";
            break;
        case OpenErrorKind::PermissionDenied:
            text << "Cannot open " << where << ": access denied" << WithOsText(error) << ".\n"
                 << "  Windows refused this program the port. Close any program that uses it, or\n"
                 << "  run the load from an account that may use the port.\n";
            break;
        case OpenErrorKind::NotSerial:
            text << "Cannot open " << where << ": it is not a serial port" << WithOsText(error)
                 << ".\n"
                 << (inWindow ? "  Pick the receiver's port in the Com Port list.\n"
                              : "  morvane-cli --list shows the COM ports of this PC.\n");
            break;
        case OpenErrorKind::SettingsRefused:
            text << "Cannot open " << where << ": the port refused the line settings"
                 << WithOsText(error) << ".\n"
                 << "  Its driver may not offer the rates the receiver needs; check "
                 << (inWindow ? "the Com Port list.\n" : "--list.\n");
            break;
        case OpenErrorKind::Other:
            text << "Cannot open " << where << WithOsText(error) << ".\n";
            break;
        case OpenErrorKind::None:
            text
                << "Cannot open " << where
                << ": the port could not be opened, or was lost while the\n"
                << "  load reopened it. Check the cable and that no other program uses the port.\n";
            break;
    }
    return text.str();
}

}  // namespace morvane
