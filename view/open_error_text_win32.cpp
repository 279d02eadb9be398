// Why a COM port would not open on Windows, and what to do about it, in Windows' terms.
#include <sstream>

#include "view/open_error_text_system.h"

namespace morvane::open_error_system {
namespace {

// Windows answers "access denied" when another program holds the COM port.
constexpr int kErrorAccessDenied = 5;

}  // namespace

const char* const kNotSerialAdvice = "  morvane-cli --list shows the COM ports of this PC.\n";
const char* const kSettingsRefusedCause = "Its driver may not offer the rates the receiver needs";

// Windows has no device path to add: the COM number is the port's own name.
std::string Where(const std::string& portLabel, const OpenError& /*error*/) { return portLabel; }

void ExplainOwnCase(std::ostringstream& text, const OpenError& error, const std::string& where,
                    int /*comPort*/, const OpenErrorFacts& /*facts*/, bool inWindow) {
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
                << "  the load again.\n"
                << "  When no program holds it, Windows may have taken the receiver for a serial\n"
                << "  mouse: in Device Manager, under \"Mice and other pointing devices\", disable\n"
                << "  \"Microsoft Serial BallPoint\". On an FTDI adapter, also untick\n"
                << "  \"Serial Enumerator\" in the port's Properties (Port Settings, Advanced).\n";
            break;
        case OpenErrorKind::PermissionDenied:
            text << "Cannot open " << where << ": access denied" << WithOsText(error) << ".\n"
                 << "  Windows refused this program the port. Close any program that uses it, or\n"
                 << "  run the load from an account that may use the port.\n";
            break;
        default: break;
    }
}

}  // namespace morvane::open_error_system
