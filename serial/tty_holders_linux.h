// Which other programs hold a tty, as the user should hear it: "ModemManager (pid 812)".
//
// A tty has no list of who has it open; the process table does. Only the processes whose
// descriptors this user may look into can be found: run as an ordinary user, a program of
// another user (a daemon of root's, another login's terminal) holding the port stays invisible,
// and the port then looks free here until the open itself is refused or the lines collide.
#pragma once

#include <string>
#include <vector>

namespace morvane {

// The processes other than `ownPid` that hold `devicePath`: those with a lock on it, or failing
// that, those with a descriptor open on it. At most three, each as "name (pid N)". `procRoot`
// is where the process table is ("/proc"; tests give a folder laid out the same way).
[[nodiscard]] std::vector<std::string> ProgramsHoldingDevice(const std::string& devicePath,
                                                             const std::string& procRoot,
                                                             int ownPid);

}  // namespace morvane
