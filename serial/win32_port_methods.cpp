#include "serial/win32_port_methods.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "serial/com_port_tidy.h"

namespace morvane {
namespace {

constexpr std::uint32_t kDetailBufferSize = 261;  // cbSize, then a path of up to 256 characters
constexpr std::uint32_t kDetailCbSize = 5;
constexpr std::uint32_t kPropertyBufferSize = 256;
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
        procs_.getDeviceRegistryProperty = os_.GetSetupApiProc("SetupDiGetDeviceRegistryPropertyA");
        procs_.destroyDeviceInfoList = os_.GetSetupApiProc("SetupDiDestroyDeviceInfoList");
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
        !procs.getDeviceRegistryProperty || !procs.destroyDeviceInfoList) {
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
        SDevInfoData devInfo;
        if (!os.SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail.data(),
                                                 kDetailBufferSize, devInfo)) {
            FailWithCode("SetupDiGetDeviceInterfaceDetail failed.", os.GetLastError());
        }
        std::uint8_t friendlyName[kPropertyBufferSize] = {};
        std::uint8_t description[kPropertyBufferSize] = {};
        std::uint8_t location[kPropertyBufferSize] = {};
        const bool haveFriendlyName = os.SetupDiGetDeviceRegistryPropertyA(
            set, devInfo, kSpdrpFriendlyName, friendlyName, kPropertyBufferSize);
        const bool haveDescription = haveFriendlyName && os.SetupDiGetDeviceRegistryPropertyA(
                                                             set, devInfo, kSpdrpDeviceDesc,
                                                             description, kPropertyBufferSize);
        const bool isUsb =
            os.SetupDiGetDeviceRegistryPropertyA(set, devInfo, kSpdrpLocationInformation, location,
                                                 kPropertyBufferSize) &&
            TextIn(location, kPropertyBufferSize).compare(0, 3, "USB") == 0;
        if (!haveFriendlyName || !haveDescription) continue;

        SSerInfo port;
        port.devicePath =
            TextIn(detail.data() + sizeof kDetailCbSize, kDetailBufferSize - sizeof kDetailCbSize);
        port.friendlyName = TextIn(friendlyName, kPropertyBufferSize);
        port.isUsb = isUsb;
        port.description = TextIn(description, kPropertyBufferSize);
        list.push_back(port);
    }
}

void EnumerateByProbe(CWin32PortServices& os, CArray<SSerInfo, SSerInfo&>& list) {
    for (int number = 1; number <= kLastProbedPort; ++number) {
        const CString name = Format("COM%d", number);
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

void AddRegisteredComPorts(const CStringArray& portNames, CArray<SSerInfo, SSerInfo&>& list) {
    for (const CString& name : portNames) {
        const bool comName = name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
                             name.find_first_not_of("0123456789", 3) == CString::npos &&
                             name[3] != '0';
        if (!comName) continue;
        const bool listed = std::any_of(
            list.begin(), list.end(), [&](const SSerInfo& port) { return port.portName == name; });
        if (listed) continue;
        SSerInfo port;
        port.devicePath = "\\\\.\\" + name;
        port.portName = name;
        port.friendlyName = name;
        port.description = name;
        list.push_back(port);
    }
}

void EnumerateComPortsWin32(CWin32PortServices& os, CArray<SSerInfo, SSerInfo&>& list) {
    CSetupApiLibrary setupApi(os);
    list.clear();
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
        TidyComPortList(list);
    } catch (...) {
        // Half a walk is not a port list: records found before the failure are untidied.
        list.clear();
        throw;
    }
}

}  // namespace morvane
