// The parts of the explanation of a port that will not open that each system words its own
// way: how the port is named, the failures whose cause and remedy are the system's (no such
// device, permission, the port in use), and two phrases. One file per system gives them
// (open_error_text_posix.cpp, open_error_text_win32.cpp); open_error_text.cpp holds the rest.
#pragma once

#include <sstream>
#include <string>

#include "view/open_error_text.h"

namespace morvane::open_error_system {

// The port as the explanation names it.
[[nodiscard]] std::string Where(const std::string& portLabel, const OpenError& error);

// Explains NoSuchDevice, PermissionDenied and Busy; writes nothing for the other kinds.
void ExplainOwnCase(std::ostringstream& text, const OpenError& error, const std::string& where,
                    int comPort, const OpenErrorFacts& facts, bool inWindow);

// morvane-cli's advice after "it is not a serial port": whole lines.
extern const char* const kNotSerialAdvice;
// Why a port may refuse the line settings: one clause.
extern const char* const kSettingsRefusedCause;

// " (the system's own words)", or nothing when the system gave none (open_error_text.cpp).
[[nodiscard]] std::string WithOsText(const OpenError& error);

}  // namespace morvane::open_error_system
