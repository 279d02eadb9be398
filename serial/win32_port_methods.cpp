#include "serial/win32_port_methods.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/debug.h"
#include "serial/com_port_tidy.h"
#include "serial/port_identity.h"

namespace morvane {
namespace {

constexpr std::uint32_t kDetailBufferSize = 261;  // cbSize, then a path of up to 256 characters
constexpr std::uint32_t kDetailCbSize = 5;
constexpr std::uint32_t kPropertyBufferSize = 512;  // 255 UTF-16 characters and their end
constexpr std::uint32_t kInstanceIdSize = 200;      // the system's longest device instance id
constexpr std::uint32_t kRegNameSize = 128;
constexpr std::uint32_t kCommConfigSize = 52;
constexpr int kLastProbedPort = 32;

[[noreturn]] void FailWithCode(const char* text, std::uint32_t code) {
    throw ComEnumError(Format("%s (err=%lx)", text, static_cast<unsigned long>(code)));
}

// The text of a buffer the system filled; it stops at the buffer's end even when the system left
// no terminating zero there.
CString TextIn(const void* buffer, std::size_t size) {
    const char* text = static_cast<const char*>(buffer);
    return CString(text, strnlen(text, size));
}

// The first text of a buffer of UTF-16 the system filled (a plain text, or the first of a list
// such as the hardware ids), in UTF-8.
CString WideTextIn(const std::uint8_t* buffer, std::size_t size) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto c = static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8));
        if (c == u'\0') break;
        text += c;
    }
    return Utf8FromUtf16(text);
}

// A port name as the system writes it ("COM5"): a name in another spelling ("com5") would list
// one port twice beside the same port found by another method.
bool IsComPortName(std::string_view name) {
    const std::optional<int> number = ComNumberOfName(name);
    return number && ComPortName(*number) == name;
}

// The position of `what` in `text`, letters compared without case, as the system compares ids.
std::size_t FindNoCase(std::string_view text, std::string_view what) {
    for (std::size_t at = 0; at + what.size() <= text.size(); ++at) {
        if (EqualsNoCase(text.substr(at, what.size()), what)) return at;
    }
    return std::string_view::npos;
}

// The four hex digits after `tag` ("VID_0403" gives 0x0403) in a device's id; nothing when the
// id has no such tag.
std::optional<std::uint16_t> HexAfter(std::string_view id, std::string_view tag) {
    const std::size_t at = FindNoCase(id, tag);
    if (at == std::string_view::npos || id.size() < at + tag.size() + 4) return std::nullopt;
    return ParseHexId(id.substr(at + tag.size(), 4));
}

void ReportSkipped(const char* what, std::uint32_t code) {
    OutputDebugStringA(Format("Port list: a device was left out: %s (err=%lx)\n", what,
                              static_cast<unsigned long>(code))
                           .c_str());
}

class CDevInfoSetOwner {
public:
    CDevInfoSetOwner(CWin32PortServices& os, DevInfoSet set) : os_(os), set_(set) {}
    ~CDevInfoSetOwner() { os_.SetupDiDestroyDeviceInfoList(set_); }
    CDevInfoSetOwner(const CDevInfoSetOwner&) = delete;
    CDevInfoSetOwner& operator=(const CDevInfoSetOwner&) = delete;

private:
    CWin32PortServices& os_;
    DevInfoSet set_;
};

// An open registry key, closed when it goes out of scope.
class CRegKeyOwner {
public:
    explicit CRegKeyOwner(CWin32PortServices& os) : os_(os) {}
    ~CRegKeyOwner() {
        if (open_) os_.RegCloseKey(key_);
    }
    CRegKeyOwner(const CRegKeyOwner&) = delete;
    CRegKeyOwner& operator=(const CRegKeyOwner&) = delete;

    bool Open(RegKey parent, const char* subKey) {
        open_ = os_.RegOpenKeyExA(parent, subKey, kKeyRead, key_) == kErrorSuccess;
        return open_;
    }
    // Takes a key opened otherwise; false when it is none.
    bool Adopt(RegKey key) {
        key_ = key;
        open_ = key != kInvalidRegKey;
        return open_;
    }
    // The name of subkey `index`; false at the first one that cannot be read, normally the end.
    bool SubKeyName(std::uint32_t index, CString& name) {
        char buffer[kRegNameSize] = {};
        std::uint32_t size = kRegNameSize;
        if (os_.RegEnumKeyExA(key_, index, buffer, size) != kErrorSuccess) return false;
        name = TextIn(buffer, kRegNameSize);
        return true;
    }
    bool Value(const char* valueName, CString& value) {
        std::uint8_t buffer[kRegNameSize] = {};
        std::uint32_t size = kRegNameSize;
        if (os_.RegQueryValueExA(key_, valueName, buffer, size) != kErrorSuccess) return false;
        value = TextIn(buffer, kRegNameSize);
        return true;
    }
    RegKey Key() const { return key_; }

private:
    CWin32PortServices& os_;
    RegKey key_ = 0;
    bool open_ = false;
};

// The set-up library for the length of one enumeration: loaded and its functions looked up in
// this order on every system, released at the end whatever happened in between.
class CSetupApiLibrary {
public:
    explicit CSetupApiLibrary(CWin32PortServices& os) : os_(os) {
        loaded_ = os_.LoadSetupApi();
        if (!loaded_) return;
        procs_.getClassDevs = os_.GetSetupApiProc("SetupDiGetClassDevsA");
        procs_.enumDeviceInterfaces = os_.GetSetupApiProc("SetupDiEnumDeviceInterfaces");
        procs_.getDeviceInterfaceDetail = os_.GetSetupApiProc("SetupDiGetDeviceInterfaceDetailA");
        procs_.getDeviceRegistryProperty = os_.GetSetupApiProc("SetupDiGetDeviceRegistryPropertyW");
        procs_.destroyDeviceInfoList = os_.GetSetupApiProc("SetupDiDestroyDeviceInfoList");
        procs_.getDeviceInstanceId = os_.GetSetupApiProc("SetupDiGetDeviceInstanceIdA");
        procs_.openDevRegKey = os_.GetSetupApiProc("SetupDiOpenDevRegKey");
    }
    ~CSetupApiLibrary() {
        if (loaded_) os_.FreeSetupApi();
    }
    CSetupApiLibrary(const CSetupApiLibrary&) = delete;
    CSetupApiLibrary& operator=(const CSetupApiLibrary&) = delete;

    const SSetupApiProcs& Procs() const { return procs_; }

private:
    CWin32PortServices& os_;
    bool loaded_ = false;
    SSetupApiProcs procs_;
};

// A port listed under several keys keeps the place of its first appearance and the fields of
// its last.
void AddOrReplaceByPortName(CArray<SSerInfo, SSerInfo&>& list, const SSerInfo& port) {
    for (SSerInfo& existing : list) {
        if (existing.portName == port.portName) {
            existing = port;
            return;
        }
    }
    list.push_back(port);
}

void ReadPortInstances(CWin32PortServices& os, CRegKeyOwner& deviceKey, bool isUsbBus,
                       CArray<SSerInfo, SSerInfo&>& list) {
    CString instanceName;
    for (std::uint32_t index = 0; deviceKey.SubKeyName(index, instanceName); ++index) {
        CRegKeyOwner instance(os);
        if (!instance.Open(deviceKey.Key(), instanceName.c_str())) {
            throw ComEnumError("Could not read from HKLM\\Enum\\...\\" + instanceName);
        }
        SSerInfo port;
        if (!instance.Value("PORTNAME", port.portName)) continue;
        if (!instance.Value("FRIENDLYNAME", port.friendlyName)) port.friendlyName.clear();
        port.devicePath = "\\\\.\\" + port.portName;
        port.isUsb = isUsbBus;
        AddOrReplaceByPortName(list, port);
    }
}

// A text property of a device, in UTF-8; false when the device has none.
bool ReadProperty(CWin32PortServices& os, DevInfoSet set, const SDevInfoData& devInfo,
                  std::uint32_t property, CString& text) {
    std::uint8_t buffer[kPropertyBufferSize] = {};
    if (!os.SetupDiGetDeviceRegistryPropertyW(set, devInfo, property, buffer, kPropertyBufferSize))
        return false;
    text = WideTextIn(buffer, kPropertyBufferSize);
    return true;
}

// The COM name the port's driver gave it, from the device's own key; empty when there is none,
// and tidying then reads it from the friendly name.
CString PortNameOf(CWin32PortServices& os, DevInfoSet set, const SDevInfoData& devInfo) {
    CRegKeyOwner key(os);
    CString name;
    if (!key.Adopt(
            os.SetupDiOpenDevRegKey(set, devInfo, kDicsFlagGlobal, 0, kDiregDev, kKeyRead)) ||
        !key.Value("PortName", name) || !IsComPortName(name)) {
        return {};
    }
    return name;
}

// One device of the COM port interface as a record; nothing when it cannot be read, so that
// one device with an odd driver leaves the others listed.
std::optional<SSerInfo> ReadComPortDevice(CWin32PortServices& os, DevInfoSet set,
                                          const SDeviceInterfaceData& interfaceData,
                                          std::vector<std::uint8_t>& detail) {
    SDevInfoData devInfo;
    if (!os.SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail.data(), kDetailBufferSize,
                                             devInfo)) {
        ReportSkipped("SetupDiGetDeviceInterfaceDetail failed.", os.GetLastError());
        return std::nullopt;
    }
    SSerInfo port;
    if (!ReadProperty(os, set, devInfo, kSpdrpFriendlyName, port.friendlyName) ||
        !ReadProperty(os, set, devInfo, kSpdrpDeviceDesc, port.description)) {
        return std::nullopt;
    }
    port.devicePath =
        TextIn(detail.data() + sizeof kDetailCbSize, kDetailBufferSize - sizeof kDetailCbSize);
    port.portName = PortNameOf(os, set, devInfo);

    CString enumerator;
    CString hardwareId;
    CString location;
    char instanceId[kInstanceIdSize] = {};
    (void)ReadProperty(os, set, devInfo, kSpdrpEnumeratorName, enumerator);
    (void)ReadProperty(os, set, devInfo, kSpdrpHardwareId, hardwareId);
    (void)ReadProperty(os, set, devInfo, kSpdrpLocationInformation, location);
    if (!os.SetupDiGetDeviceInstanceIdA(set, devInfo, instanceId, kInstanceIdSize))
        instanceId[0] = '\0';
    if (const auto usb = UsbIdentityFromDeviceIds(enumerator, hardwareId,
                                                  TextIn(instanceId, kInstanceIdSize), location)) {
        port.isUsb = true;
        port.usb = *usb;
    }
    port.isBluetooth = EqualsNoCase(enumerator, "BTHENUM");
    return port;
}

}  // namespace

ComEnumMethod ChooseComEnumMethod(const SOsVersionInfo& version) {
    if (version.majorVersion >= 5) return ComEnumMethod::DeviceInterface;
    if (version.platformId == kVerPlatformWin32Nt) return ComEnumMethod::Probe;
    return ComEnumMethod::Registry;
}

void EnumerateByDeviceInterface(CWin32PortServices& os, const SSetupApiProcs& procs,
                                CArray<SSerInfo, SSerInfo&>& list) {
    // Every function is called below, so a missing one of any of them ends the run here rather
    // than as a call through nothing later.
    if (!procs.getClassDevs || !procs.enumDeviceInterfaces || !procs.getDeviceInterfaceDetail ||
        !procs.getDeviceRegistryProperty || !procs.destroyDeviceInfoList ||
        !procs.getDeviceInstanceId || !procs.openDevRegKey) {
        throw ComEnumError("Null Pointer from setupapi.dll");
    }
    const DevInfoSet set =
        os.SetupDiGetClassDevsA(kGuidDevInterfaceComPort, kDigcfPresent | kDigcfDeviceInterface);
    if (set == kInvalidDevInfoSet) FailWithCode("SetupDiGetClassDevs failed.", os.GetLastError());
    CDevInfoSetOwner setOwner(os, set);

    std::vector<std::uint8_t> detail(kDetailBufferSize, 0);
    std::memcpy(detail.data(), &kDetailCbSize, sizeof kDetailCbSize);
    for (std::uint32_t index = 0;; ++index) {
        SDeviceInterfaceData interfaceData;
        if (!os.SetupDiEnumDeviceInterfaces(set, kGuidDevInterfaceComPort, index, interfaceData)) {
            const std::uint32_t error = os.GetLastError();
            if (error == kErrorNoMoreItems) break;
            FailWithCode("SetupDiEnumDeviceInterfaces failed.", error);
        }
        if (auto port = ReadComPortDevice(os, set, interfaceData, detail))
            list.push_back(std::move(*port));
    }
}

void EnumerateByProbe(CWin32PortServices& os, CArray<SSerInfo, SSerInfo&>& list) {
    for (int number = 1; number <= kLastProbedPort; ++number) {
        const CString name = ComPortName(number);
        std::uint8_t commConfig[kCommConfigSize] = {};
        std::uint32_t size = kCommConfigSize;
        if (!os.GetDefaultCommConfigA(name.c_str(), commConfig, size)) continue;
        SSerInfo port;
        port.devicePath = "\\\\.\\" + name;
        port.portName = name;
        list.push_back(port);
    }
}

void EnumerateFromRegistry(CWin32PortServices& os, CArray<SSerInfo, SSerInfo&>& list) {
    CRegKeyOwner enumKey(os);
    if (!enumKey.Open(kHkeyLocalMachine, "Enum"))
        throw ComEnumError("Could not read from HKLM\\Enum");
    CString busName;
    for (std::uint32_t busIndex = 0; enumKey.SubKeyName(busIndex, busName); ++busIndex) {
        CRegKeyOwner busKey(os);
        if (!busKey.Open(enumKey.Key(), busName.c_str())) {
            throw ComEnumError("Could not read from HKLM\\Enum\\" + busName);
        }
        const bool isUsbBus = busName == "USBPORTS";
        CString deviceName;
        for (std::uint32_t deviceIndex = 0; busKey.SubKeyName(deviceIndex, deviceName);
             ++deviceIndex) {
            if (deviceName != "*PNP0500" && deviceName != "*PNP0501" && !isUsbBus) continue;
            CRegKeyOwner deviceKey(os);
            if (!deviceKey.Open(busKey.Key(), deviceName.c_str())) {
                throw ComEnumError("Could not read from HKLM\\Enum\\" + busName + "\\" +
                                   deviceName);
            }
            ReadPortInstances(os, deviceKey, isUsbBus, list);
        }
    }
}

std::optional<SUsbIdentity> UsbIdentityFromDeviceIds(std::string_view enumerator,
                                                     std::string_view hardwareId,
                                                     std::string_view instanceId,
                                                     std::string_view location) {
    // FTDI's own driver puts its ports on a bus of its own; every other adapter's port is a
    // device of the USB bus, or a child of one whose ids keep the USB vendor and product.
    const bool usbEnumerator =
        EqualsNoCase(enumerator, "USB") || EqualsNoCase(enumerator, "FTDIBUS");
    const bool usbHardwareId = FindNoCase(hardwareId, "USB\\") == 0;
    std::optional<std::uint16_t> vid = HexAfter(hardwareId, "VID_");
    std::optional<std::uint16_t> pid = HexAfter(hardwareId, "PID_");
    if (!vid || !pid) {
        vid = HexAfter(instanceId, "VID_");
        pid = HexAfter(instanceId, "PID_");
    }
    if (!usbEnumerator && !usbHardwareId && !(vid && pid)) return std::nullopt;

    SUsbIdentity usb;
    if (vid && pid) {
        usb.vid = *vid;
        usb.pid = *pid;
    }
    usb.location = CString(location);
    // "USB\VID_0403&PID_6001\A6008ISP": the last part is the adapter's serial number, unless
    // the system made one up because the adapter has none ("5&2A3B4C5D&0&2").
    // "FTDIBUS\VID_0403+PID_6001+A6008ISPA\0000": FTDI's driver puts it after the product.
    const std::size_t first = instanceId.find('\\');
    const std::size_t second =
        first == std::string_view::npos ? first : instanceId.find('\\', first + 1);
    if (second != std::string_view::npos) {
        const std::string_view bus = instanceId.substr(0, first);
        const std::string_view device = instanceId.substr(first + 1, second - first - 1);
        const std::string_view instance = instanceId.substr(second + 1);
        if (EqualsNoCase(bus, "USB") && !instance.empty() &&
            instance.find('&') == std::string_view::npos) {
            usb.serial = CString(instance);
        } else if (EqualsNoCase(bus, "FTDIBUS")) {
            const std::size_t product = FindNoCase(device, "+PID_");
            const std::size_t plus =
                product == std::string_view::npos ? product : device.find('+', product + 1);
            if (plus != std::string_view::npos) usb.serial = CString(device.substr(plus + 1));
        }
    }
    return usb;
}

std::vector<SRegisteredComPort> RegisteredComPorts(CWin32PortServices& os) {
    std::vector<SRegisteredComPort> names;
    CRegKeyOwner key(os);
    if (!key.Open(kHkeyLocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM")) return names;
    for (std::uint32_t index = 0;; ++index) {
        char valueName[256] = {};
        std::uint32_t valueNameSize = sizeof valueName;
        std::uint8_t data[64] = {};
        std::uint32_t dataSize = sizeof data - 1;
        std::uint32_t type = 0;
        const std::int32_t status =
            os.RegEnumValueA(key.Key(), index, valueName, valueNameSize, type, data, dataSize);
        // A value too long for a port name is none; the next one is.
        if (status == kErrorMoreData) continue;
        if (status != kErrorSuccess) break;
        if (type == kRegSz)
            names.push_back(
                {TextIn(data, dataSize), FindNoCase(TextIn(valueName, valueNameSize), "BthModem") !=
                                             std::string_view::npos});
    }
    return names;
}

void AddRegisteredComPorts(const std::vector<SRegisteredComPort>& ports,
                           CArray<SSerInfo, SSerInfo&>& list) {
    for (const SRegisteredComPort& registered : ports) {
        const CString& name = registered.portName;
        if (!IsComPortName(name)) continue;
        const bool listed = std::any_of(
            list.begin(), list.end(), [&](const SSerInfo& port) { return port.portName == name; });
        if (listed) continue;
        SSerInfo port;
        port.devicePath = "\\\\.\\" + name;
        port.portName = name;
        port.friendlyName = name;
        port.description = name;
        port.isBluetooth = registered.bluetooth;
        list.push_back(port);
    }
}

void EnumerateComPortsWin32(CWin32PortServices& os, CArray<SSerInfo, SSerInfo&>& list) {
    CSetupApiLibrary setupApi(os);
    list.clear();
    std::optional<ComEnumError> failure;
    try {
        SOsVersionInfo version;
        if (!os.GetVersionExA(version))
            FailWithCode("Could not get OS version.", os.GetLastError());
        switch (ChooseComEnumMethod(version)) {
            case ComEnumMethod::DeviceInterface:
                EnumerateByDeviceInterface(os, setupApi.Procs(), list);
                break;
            case ComEnumMethod::Probe: EnumerateByProbe(os, list); break;
            case ComEnumMethod::Registry: EnumerateFromRegistry(os, list); break;
        }
    } catch (const ComEnumError& error) {
        // What was found before stays: each record was read whole, and the ports the method
        // did not reach are among those Windows registers, which are added next.
        failure = error;
    }
    TidyComPortList(list);
    AddRegisteredComPorts(RegisteredComPorts(os), list);
    if (failure) {
        if (list.empty()) throw *failure;
        OutputDebugStringA(("Port list: " + std::string(failure->what()) + "\n").c_str());
    }
}

}  // namespace morvane
