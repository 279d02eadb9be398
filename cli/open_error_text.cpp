#include "cli/open_error_text.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/text.h"
#include "serial/com_port_map.h"

namespace morvane {
namespace {

constexpr std::size_t kMaxHolders = 3;

std::string Where(const std::string& portLabel, const OpenError& error) {
    if (error.devicePath.empty() || error.devicePath == portLabel) return portLabel;
    return portLabel + " (" + error.devicePath + ")";
}

std::string WithOsText(const OpenError& error) {
    return error.osText.empty() ? std::string() : " (" + error.osText + ")";
}

std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ", ";
        out += items[i];
    }
    return out;
}

std::string ProcessName(const std::string& pid) {
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? std::string("unknown program") : name;
}

// Serial ports belong to the group 'dialout' (Debian, Ubuntu, Fedora) or 'uucp' (Arch, Gentoo).
// A device of another group is no reason to join that group: 'tty', the terminals' group, would
// let the user write to everyone's terminals and still not open a serial port.
bool IsSerialGroup(const std::string& group) { return group == "dialout" || group == "uucp"; }

bool IsNumber(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

}  // namespace

std::string ExplainOpenError(const OpenError& error, const std::string& portLabel, int comPort,
                             const OpenErrorFacts& facts) {
    std::ostringstream text;
    const std::string where = Where(portLabel, error);
    switch (error.kind) {
        case OpenErrorKind::NoSuchDevice:
            if (error.devicePath.empty() && comPort != 0) {
                text
                    << "Cannot open " << portLabel << ": that number stands for no serial device.\n"
                    << "  COM numbers: ttyS0-31 = COM1-32, ttyUSB0-31 = COM33-64, ttyACM0-31 = COM65-96,\n"
                    << "  ttyAMA0-31 = COM97-128, ttyXRUSB0-31 = COM129-160, rfcomm0-31 = COM161-192.\n";
            } else {
                text << "Cannot open " << where << ": there is no such device" << WithOsText(error)
                     << ".\n";
            }
            text
                << "  List the serial ports of this machine with: morvane-cli --list\n"
                << "  Check that the receiver's cable (or its USB serial adapter) is plugged in.\n";
            break;
        case OpenErrorKind::PermissionDenied:
            text << "Cannot open " << where << ": permission denied" << WithOsText(error) << ".\n";
            if (!IsSerialGroup(facts.ownerGroup)) {
                text
                    << "  Your user may not read and write this device. On most systems serial ports\n"
                    << "  belong to the group 'dialout'; join it with:\n"
                    << "      sudo usermod -aG dialout $USER\n"
                    << "  then log out and log in again.\n";
            } else if (facts.userListedInGroup) {
                text << "  The device belongs to the group '" << facts.ownerGroup
                     << "'. You are a member, but this\n"
                     << "  login session started before you joined: log out and log in again\n"
                     << "  (or start a shell with: newgrp " << facts.ownerGroup << ").\n";
            } else {
                text << "  The device belongs to the group '" << facts.ownerGroup
                     << "', and you are not in it.\n"
                     << "  Join it with:\n"
                     << "      sudo usermod -aG " << facts.ownerGroup << " $USER\n"
                     << "  then log out and log in again.\n";
            }
            break;
        case OpenErrorKind::Busy:
            text << "Cannot open " << where << ": the port is in use" << WithOsText(error) << ".\n";
            if (facts.holders.empty()) {
                text
                    << "  Another program holds it: close it (a terminal such as minicom or screen, a GPS\n"
                    << "  daemon such as gpsd, or ModemManager), then run the load again.\n";
            } else {
                text << "  It is held by " << Join(facts.holders)
                     << ": close that program, then run the\n"
                     << "  load again.\n";
            }
            break;
        case OpenErrorKind::NotSerial:
            text
                << "Cannot open " << where << ": it is not a serial port" << WithOsText(error)
                << ".\n"
                << "  Name the receiver's port with --com N or --port /dev/tty...; morvane-cli --list\n"
                << "  shows the serial ports of this machine.\n";
            break;
        case OpenErrorKind::SettingsRefused:
            text << "Cannot open " << where << ": the port refused the line settings"
                 << WithOsText(error) << ".\n"
                 << "  The device may not be a serial port this program can drive; check --list.\n";
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
