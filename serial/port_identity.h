// Knowing a port again after its device went away and came back: a receiver with a USB serial
// port of its own drops the port while it restarts, and the system may give it back under another
// number when the old one was taken meanwhile.
#pragma once

#include <optional>

#include "serial/enumerate_com_ports.h"

namespace morvane {

// The COM number under which the port `was` shows in `now`. A port that names itself (its
// stable name, or its USB adapter's serial number with the same vendor and product) is that port
// under any number. Otherwise the same number on the same device path is the same port, unless
// it names itself as another one. Nothing while no record in `now` is the port.
[[nodiscard]] std::optional<int> FindPortAgain(const SSerInfo& was,
                                               const CArray<SSerInfo, SSerInfo&>& now);

}  // namespace morvane
