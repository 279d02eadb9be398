// Port discovery on Windows: the three methods of win32_port_methods.h bound to the system's
// own services. The set-up library is loaded at run time, as the methods expect, so the program
// starts on systems that lack it.
//
// The methods fill the system's records in their 32-bit layout; this binding hands the system
// records of its own, sized for the program as built (a 64-bit program's are larger), and copies
// the fields across.
#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include <cstring>

#include "platform/system_library_win32.h"
#include "serial/enumerate_com_ports.h"
#include "serial/win32_port_methods.h"
#include "serial/win32_port_services.h"

namespace morvane {
namespace {

using GetClassDevsFn = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
using EnumDeviceInterfacesFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                             PSP_DEVICE_INTERFACE_DATA);
using GetDeviceInterfaceDetailFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                                 PSP_DEVINFO_DATA);
using GetDeviceRegistryPropertyFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE,
                                                  DWORD, PDWORD);
using DestroyDeviceInfoListFn = BOOL(WINAPI*)(HDEVINFO);
using GetDeviceInstanceIdFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD, PDWORD);
using OpenDevRegKeyFn = HKEY(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM);

GUID ToGuid(const SGuid& g) {
    GUID out{};
    out.Data1 = g.data1;
    out.Data2 = g.data2;
    out.Data3 = g.data3;
    std::memcpy(out.Data4, g.data4, sizeof out.Data4);
    return out;
}

SGuid FromGuid(const GUID& g) {
    SGuid out;
    out.data1 = g.Data1;
    out.data2 = g.Data2;
    out.data3 = g.Data3;
    std::memcpy(out.data4, g.Data4, sizeof out.data4);
    return out;
}

SP_DEVICE_INTERFACE_DATA ToSystem(const SDeviceInterfaceData& d) {
    SP_DEVICE_INTERFACE_DATA out{};
    out.cbSize = sizeof out;
    out.InterfaceClassGuid = ToGuid(d.interfaceClassGuid);
    out.Flags = d.flags;
    out.Reserved = d.reserved;
    return out;
}

SP_DEVINFO_DATA ToSystem(const SDevInfoData& d) {
    SP_DEVINFO_DATA out{};
    out.cbSize = sizeof out;
    out.ClassGuid = ToGuid(d.classGuid);
    out.DevInst = d.devInst;
    out.Reserved = d.reserved;
    return out;
}

HDEVINFO ToDevInfo(DevInfoSet set) { return reinterpret_cast<HDEVINFO>(set); }

// HKEY_LOCAL_MACHINE is a sign-extended constant, not the 32-bit number the methods name it by.
HKEY ToHkey(RegKey key) {
    return key == kHkeyLocalMachine ? HKEY_LOCAL_MACHINE : reinterpret_cast<HKEY>(key);
}

class CSystemPortServices final : public CWin32PortServices {
public:
    ~CSystemPortServices() override { CSystemPortServices::FreeSetupApi(); }

    std::uint32_t GetLastError() override { return ::GetLastError(); }

    bool GetVersionExA(SOsVersionInfo& info) override {
        OSVERSIONINFOA version{};
        version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        if (!::GetVersionExA(&version)) return false;
#pragma GCC diagnostic pop
        info.majorVersion = version.dwMajorVersion;
        info.minorVersion = version.dwMinorVersion;
        info.buildNumber = version.dwBuildNumber;
        info.platformId = version.dwPlatformId;
        return true;
    }

    bool LoadSetupApi() override {
        library_ = LoadSystemLibrary(L"setupapi.dll");
        return library_ != nullptr;
    }

    bool GetSetupApiProc(const char* name) override {
        if (library_ == nullptr) return false;
        const FARPROC proc = ::GetProcAddress(library_, name);
        if (proc == nullptr) return false;
        const std::string_view wanted(name);
        if (wanted == "SetupDiGetClassDevsA") Take(getClassDevs_, proc);
        if (wanted == "SetupDiEnumDeviceInterfaces") Take(enumDeviceInterfaces_, proc);
        if (wanted == "SetupDiGetDeviceInterfaceDetailA") Take(getDeviceInterfaceDetail_, proc);
        if (wanted == "SetupDiGetDeviceRegistryPropertyW") Take(getDeviceRegistryProperty_, proc);
        if (wanted == "SetupDiDestroyDeviceInfoList") Take(destroyDeviceInfoList_, proc);
        if (wanted == "SetupDiGetDeviceInstanceIdA") Take(getDeviceInstanceId_, proc);
        if (wanted == "SetupDiOpenDevRegKey") Take(openDevRegKey_, proc);
        return true;
    }

    void FreeSetupApi() override {
        getClassDevs_ = nullptr;
        enumDeviceInterfaces_ = nullptr;
        getDeviceInterfaceDetail_ = nullptr;
        getDeviceRegistryProperty_ = nullptr;
        destroyDeviceInfoList_ = nullptr;
        getDeviceInstanceId_ = nullptr;
        openDevRegKey_ = nullptr;
        if (library_ != nullptr) ::FreeLibrary(library_);
        library_ = nullptr;
    }

    DevInfoSet SetupDiGetClassDevsA(const SGuid& classGuid, std::uint32_t flags) override {
        if (getClassDevs_ == nullptr) return kInvalidDevInfoSet;
        const GUID guid = ToGuid(classGuid);
        return reinterpret_cast<DevInfoSet>(getClassDevs_(&guid, nullptr, nullptr, flags));
    }

    bool SetupDiEnumDeviceInterfaces(DevInfoSet set, const SGuid& interfaceClass,
                                     std::uint32_t index, SDeviceInterfaceData& data) override {
        if (enumDeviceInterfaces_ == nullptr) return false;
        const GUID guid = ToGuid(interfaceClass);
        SP_DEVICE_INTERFACE_DATA found = ToSystem(data);
        if (!enumDeviceInterfaces_(ToDevInfo(set), nullptr, &guid, index, &found)) return false;
        data.interfaceClassGuid = FromGuid(found.InterfaceClassGuid);
        data.flags = found.Flags;
        data.reserved = found.Reserved;
        return true;
    }

    bool SetupDiGetDeviceInterfaceDetailA(DevInfoSet set, const SDeviceInterfaceData& data,
                                          std::uint8_t* detail, std::uint32_t detailSize,
                                          SDevInfoData& devInfo) override {
        if (getDeviceInterfaceDetail_ == nullptr) return false;
        SP_DEVICE_INTERFACE_DATA interfaceData = ToSystem(data);
        SP_DEVINFO_DATA info = ToSystem(devInfo);
        // The size the system checks is its own record's, whatever the caller wrote there; the
        // path follows it at the same place in every layout.
        const DWORD cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (detailSize < sizeof cbSize) return false;
        std::memcpy(detail, &cbSize, sizeof cbSize);
        static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == sizeof(DWORD));
        if (!getDeviceInterfaceDetail_(ToDevInfo(set), &interfaceData,
                                       reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail),
                                       detailSize, nullptr, &info)) {
            return false;
        }
        devInfo.classGuid = FromGuid(info.ClassGuid);
        devInfo.devInst = info.DevInst;
        devInfo.reserved = info.Reserved;
        return true;
    }

    bool SetupDiGetDeviceRegistryPropertyW(DevInfoSet set, const SDevInfoData& devInfo,
                                           std::uint32_t property, std::uint8_t* buffer,
                                           std::uint32_t bufferSize) override {
        if (getDeviceRegistryProperty_ == nullptr) return false;
        SP_DEVINFO_DATA info = ToSystem(devInfo);
        return getDeviceRegistryProperty_(ToDevInfo(set), &info, property, nullptr, buffer,
                                          bufferSize, nullptr) != FALSE;
    }

    bool SetupDiDestroyDeviceInfoList(DevInfoSet set) override {
        if (destroyDeviceInfoList_ == nullptr || set == kInvalidDevInfoSet) return false;
        return destroyDeviceInfoList_(ToDevInfo(set)) != FALSE;
    }

    bool SetupDiGetDeviceInstanceIdA(DevInfoSet set, const SDevInfoData& devInfo, char* id,
                                     std::uint32_t idSize) override {
        if (getDeviceInstanceId_ == nullptr) return false;
        SP_DEVINFO_DATA info = ToSystem(devInfo);
        return getDeviceInstanceId_(ToDevInfo(set), &info, id, idSize, nullptr) != FALSE;
    }

    RegKey SetupDiOpenDevRegKey(DevInfoSet set, const SDevInfoData& devInfo, std::uint32_t scope,
                                std::uint32_t hwProfile, std::uint32_t keyType,
                                std::uint32_t access) override {
        if (openDevRegKey_ == nullptr) return kInvalidRegKey;
        SP_DEVINFO_DATA info = ToSystem(devInfo);
        const HKEY key = openDevRegKey_(ToDevInfo(set), &info, scope, hwProfile, keyType, access);
        return key == INVALID_HANDLE_VALUE ? kInvalidRegKey : reinterpret_cast<RegKey>(key);
    }

    bool GetDefaultCommConfigA(const char* name, std::uint8_t* commConfig,
                               std::uint32_t& size) override {
        // The system writes a COMMCONFIG, which wants its own alignment.
        alignas(COMMCONFIG) std::uint8_t aligned[512] = {};
        DWORD alignedSize = size < sizeof aligned ? size : sizeof aligned;
        std::memcpy(aligned, commConfig, alignedSize);
        if (!::GetDefaultCommConfigA(name, reinterpret_cast<COMMCONFIG*>(aligned), &alignedSize))
            return false;
        std::memcpy(commConfig, aligned, alignedSize < size ? alignedSize : size);
        size = alignedSize;
        return true;
    }

    std::int32_t RegOpenKeyExA(RegKey parent, const char* subKey, std::uint32_t access,
                               RegKey& result) override {
        HKEY opened = nullptr;
        const LONG status = ::RegOpenKeyExA(ToHkey(parent), subKey, 0, access, &opened);
        if (status == ERROR_SUCCESS) result = reinterpret_cast<RegKey>(opened);
        return status;
    }

    std::int32_t RegEnumKeyExA(RegKey key, std::uint32_t index, char* name,
                               std::uint32_t& nameSize) override {
        DWORD size = nameSize;
        const LONG status =
            ::RegEnumKeyExA(ToHkey(key), index, name, &size, nullptr, nullptr, nullptr, nullptr);
        nameSize = size;
        return status;
    }

    std::int32_t RegQueryValueExA(RegKey key, const char* valueName, std::uint8_t* data,
                                  std::uint32_t& dataSize) override {
        DWORD size = dataSize;
        const LONG status =
            ::RegQueryValueExA(ToHkey(key), valueName, nullptr, nullptr, data, &size);
        dataSize = size;
        return status;
    }

    std::int32_t RegEnumValueA(RegKey key, std::uint32_t index, char* name, std::uint32_t& nameSize,
                               std::uint32_t& type, std::uint8_t* data,
                               std::uint32_t& dataSize) override {
        DWORD size = nameSize;
        DWORD valueType = 0;
        DWORD length = dataSize;
        const LONG status =
            ::RegEnumValueA(ToHkey(key), index, name, &size, nullptr, &valueType, data, &length);
        nameSize = size;
        type = valueType;
        dataSize = length;
        return status;
    }

    std::int32_t RegCloseKey(RegKey key) override { return ::RegCloseKey(ToHkey(key)); }

private:
    template <class Fn>
    static void Take(Fn& slot, FARPROC proc) {
        slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
    }

    HMODULE library_ = nullptr;
    GetClassDevsFn getClassDevs_ = nullptr;
    EnumDeviceInterfacesFn enumDeviceInterfaces_ = nullptr;
    GetDeviceInterfaceDetailFn getDeviceInterfaceDetail_ = nullptr;
    GetDeviceRegistryPropertyFn getDeviceRegistryProperty_ = nullptr;
    DestroyDeviceInfoListFn destroyDeviceInfoList_ = nullptr;
    GetDeviceInstanceIdFn getDeviceInstanceId_ = nullptr;
    OpenDevRegKeyFn openDevRegKey_ = nullptr;
};

}  // namespace

void EnumerateComPorts(CArray<SSerInfo, SSerInfo&>& list) {
    CSystemPortServices system;
    EnumerateComPortsWin32(system, list);
}

}  // namespace morvane
