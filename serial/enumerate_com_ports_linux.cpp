#include "serial/enumerate_com_ports_linux.h"

#include <fstream>
#include <map>
#include <system_error>

#include "serial/com_port_map.h"
#include "serial/com_port_tidy.h"
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
};

// Walks up from the port's device towards <sysRoot>/sys/devices: the port is on USB when an
// ancestor belongs to the usb subsystem (or the path runs below a root hub); the first such
// ancestor with vendor and product ids is the adapter itself, whose strings name it.
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
            usb.name =
                UsbAdapterName(ReadAttribute(dir / "product"), ReadAttribute(dir / "manufacturer"),
                               ReadAttribute(dir / "idVendor"), ReadAttribute(dir / "idProduct"));
            break;
        }
    }
    if (usb.isUsb && usb.name.empty()) usb.name = UsbAdapterName({}, {}, {}, {});
    return usb;
}

void ThrowReadError(const fs::path& folder, const std::error_code& ec) {
    throw ComEnumError("Could not read " + folder.string() + ": " + ec.message());
}

void AddSysfsPorts(const fs::path& sysRoot, std::map<int, SSerInfo>& ports) {
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
        ports[*comPort] = MakePortRecord(*comPort, "/dev/" + ttyName, name, usb.isUsb);
    }
    if (ec) ThrowReadError(classTty, ec);
}

void AddDevicesFolderPorts(const fs::path& sysRoot, const std::string& devicesDir,
                           std::map<int, SSerInfo>& ports) {
    if (devicesDir.empty()) return;
    std::error_code ec;
    fs::directory_iterator it(devicesDir, ec);
    if (ec == std::errc::no_such_file_or_directory) return;
    if (ec) ThrowReadError(devicesDir, ec);
    std::error_code rootEc;
    const fs::path devicesRoot = fs::weakly_canonical(sysRoot / "sys" / "devices", rootEc);

    for (; it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path entry = it->path();
        const std::optional<int> comPort = ComPortForDevicesEntry(entry.filename().string());
        if (!comPort) continue;
        // The entry is what this number opens even when its target has gone, so then the
        // number opens nothing and is not offered at all.
        std::error_code existsEc;
        if (!fs::exists(entry, existsEc)) {
            ports.erase(*comPort);
            continue;
        }
        fs::path target = entry;
        std::error_code linkEc;
        if (fs::is_symlink(fs::symlink_status(entry, linkEc))) {
            target = fs::read_symlink(entry, linkEc);
            if (target.is_relative()) target = (entry.parent_path() / target).lexically_normal();
        }
        // A link to a USB adapter's tty is still a USB port.
        std::error_code deviceEc;
        const fs::path device = fs::canonical(
            sysRoot / "sys" / "class" / "tty" / target.filename() / "device", deviceEc);
        const bool isUsb = !deviceEc && UsbAncestry(device, devicesRoot).isUsb;
        ports[*comPort] = MakePortRecord(*comPort, entry.string(), target.string(), isUsb);
    }
    if (ec) ThrowReadError(devicesDir, ec);
}

}  // namespace

void ListLinuxSerialPorts(const fs::path& sysRoot, const std::string& devicesDir,
                          CArray<SSerInfo, SSerInfo&>& list) {
    std::map<int, SSerInfo> ports;  // ordered by COM number
    AddSysfsPorts(sysRoot, ports);
    AddDevicesFolderPorts(sysRoot, devicesDir, ports);
    for (auto& [number, port] : ports) list.push_back(std::move(port));
}

void EnumerateComPorts(CArray<SSerInfo, SSerInfo&>& list) {
    list.clear();
    try {
        ListLinuxSerialPorts("/", DevicesDirFromEnv(), list);
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
