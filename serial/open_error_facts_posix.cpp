#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/text.h"
#include "serial/open_error_facts.h"

namespace morvane {
namespace {

constexpr std::size_t kMaxHolders = 3;

std::string ProcessName(const std::string& pid) {
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? std::string("unknown program") : name;
}

bool IsNumber(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> ProgramsHoldingDevice(const std::string& devicePath) {
    std::vector<std::string> holders;
    struct stat device {};
    if (devicePath.empty() || stat(devicePath.c_str(), &device) != 0) return holders;
    const std::string self = std::to_string(getpid());
    std::set<std::string> seen;
    auto add = [&](const std::string& pid) {
        if (pid == self || holders.size() >= kMaxHolders || !seen.insert(pid).second) return;
        holders.push_back(ProcessName(pid) + " (pid " + pid + ")");
    };

    // A lock names its holder exactly. Lines read "1: FLOCK  ADVISORY  WRITE 1234 00:18:5 0 EOF",
    // the device field being the file system's major:minor (hex) and the inode.
    std::ifstream locks("/proc/locks");
    std::string line;
    const std::string wanted = Format(":%llu", static_cast<unsigned long long>(device.st_ino));
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string ordinal, kind, mode, access, pid, where;
        fields >> ordinal >> kind;
        if (kind == "->") fields >> kind;  // a waiting lock
        fields >> mode >> access >> pid >> where;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
        if (inode == device.st_ino && makedev(major, minor) == device.st_dev) add(pid);
    }
    if (!holders.empty()) return holders;

    // Otherwise any process with the device open; only the processes this user may look into.
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return holders;
    while (dirent* entry = readdir(proc)) {
        if (!IsNumber(entry->d_name) || entry->d_name == self) continue;
        const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) continue;
        while (dirent* fd = readdir(fds)) {
            struct stat target {};
            if (!IsNumber(fd->d_name) || stat((fdDir + "/" + fd->d_name).c_str(), &target) != 0)
                continue;
            if (target.st_dev == device.st_dev && target.st_ino == device.st_ino) {
                add(entry->d_name);
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return holders;
}

OpenErrorFacts GatherOpenErrorFacts(const OpenError& error) {
    OpenErrorFacts facts;
    if (error.kind == OpenErrorKind::PermissionDenied && !error.devicePath.empty()) {
        struct stat device {};
        if (stat(error.devicePath.c_str(), &device) == 0) {
            if (const group* g = getgrgid(device.st_gid); g != nullptr && device.st_gid != 0) {
                facts.ownerGroup = g->gr_name;
                if (const passwd* pw = getpwuid(getuid()); pw != nullptr) {
                    for (char** member = g->gr_mem; *member != nullptr; ++member) {
                        if (std::string(*member) == pw->pw_name) facts.userListedInGroup = true;
                    }
                }
            }
        }
    }
    if (error.kind == OpenErrorKind::Busy) facts.holders = ProgramsHoldingDevice(error.devicePath);
    return facts;
}

}  // namespace morvane
