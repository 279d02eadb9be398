// The explanation of a port that will not open, where every system says the same; what each
// says its own way comes from open_error_text_system.h. The box the window shows is the
// explanation morvane-cli prints, rewrapped.
#include "view/open_error_text.h"

#include <sstream>
#include <vector>

#include "platform/text.h"
#include "record/loader_status.h"
#include "serial/port_identity.h"
#include "view/open_error_text_system.h"

namespace morvane {

std::string open_error_system::WithOsText(const OpenError& error) {
    return error.osText.empty() ? std::string() : " (" + error.osText + ")";
}

namespace {

std::size_t Indent(const std::string& line) {
    const std::size_t first = line.find_first_not_of(' ');
    return first == std::string::npos ? line.size() : first;
}

}  // namespace

// A box wraps its text itself.
std::string BoxText(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const bool command = Indent(line) > 2;
        out += command ? line : line.substr(Indent(line));
        const bool next = i + 1 < lines.size();
        const bool goesOn = next && !command && Indent(lines[i + 1]) <= 2 && !line.empty() &&
                            line.back() != '.' && line.back() != ':';
        out += goesOn ? ' ' : '\n';
    }
    return out;
}

std::string ExplainOpenError(const OpenError& error, const std::string& portLabel, int comPort,
                             const OpenErrorFacts& facts, PortChoice choice) {
    using namespace open_error_system;
    const bool inWindow = choice == PortChoice::PortList;
    std::ostringstream text;
    const std::string where = Where(portLabel, error);
    switch (error.kind) {
        case OpenErrorKind::NoSuchDevice:
        case OpenErrorKind::PermissionDenied:
        case OpenErrorKind::Busy:
            ExplainOwnCase(text, error, where, comPort, facts, inWindow);
            break;
        case OpenErrorKind::NotSerial:
            text << "Cannot open " << where << ": it is not a serial port" << WithOsText(error)
                 << ".\n"
                 << (inWindow ? "  Pick the receiver's port in the Com Port list.\n"
                              : kNotSerialAdvice);
            break;
        case OpenErrorKind::SettingsRefused:
            text << "Cannot open " << where << ": the port refused the line settings"
                 << WithOsText(error) << ".\n"
                 << "  " << kSettingsRefusedCause << "; check "
                 << (inWindow ? "the Com Port list.\n" : "--list.\n");
            break;
        case OpenErrorKind::Other:
            text << "Cannot open " << where << WithOsText(error) << ".\n";
            break;
        case OpenErrorKind::None:
            // The loader reports an invalid port but the device recorded no reason: say what is
            // known.
            text
                << "Cannot open " << where
                << ": the port could not be opened, or was lost while the\n"
                << "  load reopened it. Check the cable and that no other program uses the port.\n";
            break;
    }
    return text.str();
}

SNotice OpenFailureNotice(const OpenError& error, int comPort, const OpenErrorFacts& facts) {
    return {kInvalidPortMessage, BoxText(ExplainOpenError(error, ComPortName(comPort), comPort,
                                                          facts, PortChoice::PortList))};
}

}  // namespace morvane
