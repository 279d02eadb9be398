// Where the user picks a port. What a program tells the user about a port (why it would not open,
// what to check after a load that found nothing) sends them back to that place, in its own words.
#pragma once

#include <cstdint>

namespace morvane {

enum class PortChoice : std::uint8_t {
    CommandLine,  // morvane-cli: --com, --port and --list
    PortList,     // the window's Com Port list
};

}  // namespace morvane
