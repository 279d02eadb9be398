#include "serial/tty_holders_linux.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace morvane {
namespace {

constexpr std::size_t kMaxHolders = 3;

std::string ProcessName(const std::string& procRoot, const std::string& pid) {
    std::ifstream comm(procRoot + "/" + pid + "/comm");
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

std::vector<std::string> ProgramsHoldingDevice(const std::string& devicePath,
                                               const std::string& procRoot, int ownPid) {
    std::vector<std::string> holders;
    struct stat device {};
    if (devicePath.empty() || stat(devicePath.c_str(), &device) != 0) return holders;
    const std::string self = std::to_string(ownPid);
    std::set<std::string> seen;
    auto add = [&](const std::string& pid) {
        if (pid == self || holders.size() >= kMaxHolders || !seen.insert(pid).second) return;
        holders.push_back(ProcessName(procRoot, pid) + " (pid " + pid + ")");
    };

    // A lock names its holder exactly. Lines read "1: FLOCK  ADVISORY  WRITE 1234 00:18:5 0 EOF",
    // the device field being the file system's major:minor (hex) and the inode.
    std::ifstream locks(procRoot + "/locks");
    std::string line;
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

    // Otherwise any process with the device open, among those this user may look into.
    DIR* proc = opendir(procRoot.c_str());
    if (proc == nullptr) return holders;
    while (dirent* entry = readdir(proc)) {
        if (!IsNumber(entry->d_name) || entry->d_name == self) continue;
        const std::string fdDir = procRoot + "/" + entry->d_name + "/fd";
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

}  // namespace morvane
