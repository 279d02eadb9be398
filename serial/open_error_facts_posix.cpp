#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "platform/text.h"
#include "serial/open_error_facts.h"
#include "serial/tty_holders_linux.h"

namespace morvane {

std::vector<std::string> ProgramsHoldingDevice(const std::string& devicePath) {
    return ProgramsHoldingDevice(devicePath, "/proc", ::getpid());
}

OpenErrorFacts GatherOpenErrorFacts(const OpenError& error) {
    OpenErrorFacts facts;
    if (error.kind == OpenErrorKind::PermissionDenied && !error.devicePath.empty()) {
        struct stat device {};
        if (stat(error.devicePath.c_str(), &device) == 0) {
            if (const passwd* owner = getpwuid(device.st_uid); owner != nullptr)
                facts.ownerUser = owner->pw_name;
            facts.groupMayOpen = (device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
            if (const group* g = getgrgid(device.st_gid); g != nullptr) {
                facts.ownerGroup = g->gr_name;
                if (const passwd* pw = getpwuid(getuid()); pw != nullptr) {
                    for (char** member = g->gr_mem; *member != nullptr; ++member) {
                        if (std::string(*member) == pw->pw_name) facts.userListedInGroup = true;
                    }
                }
            }
        }
    }
    // The device names the holders it found when it refused the port; look again only if not.
    if (error.kind == OpenErrorKind::Busy) {
        facts.holders =
            error.holders.empty() ? ProgramsHoldingDevice(error.devicePath) : error.holders;
    }
    return facts;
}

}  // namespace morvane
