#include "serial/enumerate_com_ports_linux.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <map>
#include <system_error>

#include "serial/com_port_map.h"
#include "serial/com_port_tidy.h"
#include "serial/port_identity.h"
#include "serial/sysfs_port_text.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;

// Attributes are short; a bound keeps a strange file from being read whole.
CString ReadAttribute(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    char buffer[4096];
    in.read(buffer, sizeof buffer);
    return CString(buffer, static_cast<std::size_t>(in.gcount()));
}

CString LinkName(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? CString() : CString(LinkTargetName(target.string()));
}

struct SUsbInfo {
    bool isUsb = false;
    CString name;  // empty when no USB device record was found above the port
    SUsbIdentity identity;
};

// Walks up from the port's device towards <sysRoot>/sys/devices: the port is on USB when an
// ancestor belongs to the usb subsystem (or the path runs below a root hub); the first such
// ancestor with vendor and product ids is the adapter itself, whose strings name it and whose
// sysfs name ("1-1.2") says where it is plugged.
SUsbInfo UsbAncestry(const fs::path& device, const fs::path& devicesRoot) {
    SUsbInfo usb;
    const CString root = devicesRoot.string();
    const CString path = device.string();
    if (root.empty() || path.size() <= root.size() || path.compare(0, root.size(), root) != 0 ||
        path[root.size()] != '/') {
        return usb;
    }
    usb.isUsb = IsBelowUsbRootHub(path.substr(root.size()));
    for (fs::path dir = device; dir.string().size() > root.size(); dir = dir.parent_path()) {
        if (LinkName(dir / "subsystem") != "usb") continue;
        usb.isUsb = true;
        std::error_code ec;
        if (fs::exists(dir / "idVendor", ec)) {
            const CString vendor = ReadAttribute(dir / "idVendor");
            const CString product = ReadAttribute(dir / "idProduct");
            usb.name = UsbAdapterName(ReadAttribute(dir / "product"),
                                      ReadAttribute(dir / "manufacturer"), vendor, product);
            usb.identity.vid = ParseHexId(SysfsText(vendor)).value_or(0);
            usb.identity.pid = ParseHexId(SysfsText(product)).value_or(0);
            usb.identity.serial = SysfsText(ReadAttribute(dir / "serial"));
            usb.identity.location = dir.filename().string();
            break;
        }
    }
    if (usb.isUsb && usb.name.empty()) usb.name = UsbAdapterName({}, {}, {}, {});
    return usb;
}

void ThrowReadError(const fs::path& folder, const std::error_code& ec) {
    throw ComEnumError("Could not read " + folder.string() + ": " + ec.message());
}

// The tty each link of the by-id folder leads to, and the link's path. Links are followed by
// name only, so the folder can be read without the devices being there.
std::map<CString, CString> StableNames(const fs::path& byIdDir) {
    std::map<CString, CString> names;
    std::error_code ec;
    fs::directory_iterator it(byIdDir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const CString tty = LinkName(it->path());
        if (tty.empty()) continue;
        // Two links to one tty: the same one every time.
        const CString path = it->path().string();
        auto [at, added] = names.emplace(tty, path);
        if (!added && path < at->second) at->second = path;
    }
    return names;
}

SSerInfo PortRecord(int comPort, const CString& devicePath, const CString& name,
                    const SUsbInfo& usb, const std::map<CString, CString>& stableNames,
                    const CString& ttyName) {
    SSerInfo port = MakePortRecord(comPort, devicePath, name, usb.isUsb);
    port.usb = usb.identity;
    port.isBluetooth = ttyName.compare(0, 6, "rfcomm") == 0;
    const auto stable = stableNames.find(ttyName);
    if (stable != stableNames.end()) port.stableName = stable->second;
    return port;
}

void AddSysfsPorts(const fs::path& sysRoot, const std::map<CString, CString>& stableNames,
                   std::map<int, SSerInfo>& ports) {
    const fs::path classTty = sysRoot / "sys" / "class" / "tty";
    std::error_code ec;
    fs::directory_iterator it(classTty, ec);
    // No sysfs at all (some containers) is a machine without serial ports, not a failure.
    if (ec == std::errc::no_such_file_or_directory) return;
    if (ec) ThrowReadError(classTty, ec);
    std::error_code rootEc;
    const fs::path devicesRoot = fs::weakly_canonical(sysRoot / "sys" / "devices", rootEc);

    for (; it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path tty = it->path();
        const CString ttyName = tty.filename().string();
        const std::optional<int> comPort = ComPortForTtyName(ttyName);
        if (!comPort) continue;
        // Virtual terminals and the like have no device behind them.
        std::error_code linkEc;
        const fs::path device = fs::canonical(tty / "device", linkEc);
        if (linkEc) continue;

        if (ttyName.compare(0, 4, "ttyS") == 0 &&
            IsPlaceholderUart(SysfsNumber(ReadAttribute(tty / "type")), LinkName(device / "driver"),
                              device.string())) {
            continue;
        }
        const SUsbInfo usb = UsbAncestry(device, devicesRoot);
        const CString name = usb.isUsb ? usb.name : OnBoardPortName(ttyName);
        ports[*comPort] = PortRecord(*comPort, "/dev/" + ttyName, name, usb, stableNames, ttyName);
    }
    if (ec) ThrowReadError(classTty, ec);
}

// Whether `entry` leads to a tty. Where the system does not say which numbers its tty drivers
// own, any character device is taken to be one.
bool LeadsToTty(const fs::path& entry, const std::optional<std::vector<STtyDriverRange>>& drivers) {
    struct stat st {};
    if (::stat(entry.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    return !drivers || IsTtyDevice(major(st.st_rdev), minor(st.st_rdev), *drivers);
}

std::optional<std::vector<STtyDriverRange>> TtyDrivers(const fs::path& sysRoot) {
    std::vector<STtyDriverRange> drivers =
        ParseTtyDrivers(ReadAttribute(sysRoot / "proc" / "tty" / "drivers"));
    if (drivers.empty()) return std::nullopt;
    return drivers;
}

void AddDevicesFolderPorts(const SLinuxPortRoots& roots,
                           const std::map<CString, CString>& stableNames,
                           std::map<int, SSerInfo>& ports) {
    const std::string& devicesDir = roots.devicesDir;
    const fs::path& sysRoot = roots.sysRoot;
    if (devicesDir.empty()) return;
    std::error_code ec;
    fs::directory_iterator it(devicesDir, ec);
    // A folder that is not there, or a file in its place, holds no entries: a load then opens
    // the fixed-range devices, and the list shows those (the programs say what is wrong with it).
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) return;
    if (ec) ThrowReadError(devicesDir, ec);
    const auto drivers = TtyDrivers(sysRoot);
    std::error_code rootEc;
    const fs::path devicesRoot = fs::weakly_canonical(sysRoot / "sys" / "devices", rootEc);

    for (; it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path entry = it->path();
        const std::optional<int> comPort = ComPortForDevicesEntry(entry.filename().string());
        if (!comPort) continue;
        // The entry is what this number opens even when its target has gone or is no tty, so
        // then the number opens no port and is not offered at all.
        if (!LeadsToTty(entry, drivers)) {
            ports.erase(*comPort);
            continue;
        }
        fs::path target = entry;
        std::error_code linkEc;
        if (fs::is_symlink(fs::symlink_status(entry, linkEc))) {
            target = fs::read_symlink(entry, linkEc);
            if (target.is_relative()) target = (entry.parent_path() / target).lexically_normal();
        }
        // A link to a USB adapter's tty is still a USB port, the same adapter.
        const CString ttyName = target.filename().string();
        std::error_code deviceEc;
        const fs::path device =
            fs::canonical(sysRoot / "sys" / "class" / "tty" / ttyName / "device", deviceEc);
        const SUsbInfo usb = deviceEc ? SUsbInfo{} : UsbAncestry(device, devicesRoot);
        ports[*comPort] =
            PortRecord(*comPort, entry.string(), target.string(), usb, stableNames, ttyName);
    }
    if (ec) ThrowReadError(devicesDir, ec);
}

}  // namespace

void ListLinuxSerialPorts(const SLinuxPortRoots& roots, CArray<SSerInfo, SSerInfo&>& list) {
    const std::map<CString, CString> stableNames = StableNames(roots.byIdDir);
    std::map<int, SSerInfo> ports;  // ordered by COM number
    AddSysfsPorts(roots.sysRoot, stableNames, ports);
    AddDevicesFolderPorts(roots, stableNames, ports);
    for (auto& [number, port] : ports) list.push_back(std::move(port));
}

void EnumerateComPorts(CArray<SSerInfo, SSerInfo&>& list) {
    list.clear();
    try {
        SLinuxPortRoots roots;
        roots.devicesDir = DevicesDirFromEnv();
        ListLinuxSerialPorts(roots, list);
        TidyComPortList(list);
    } catch (const fs::filesystem_error& e) {
        list.clear();
        throw ComEnumError(e.what());
    } catch (...) {
        list.clear();
        throw;
    }
}

}  // namespace morvane
