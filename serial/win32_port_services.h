// The Windows system services that port discovery uses, behind an interface of our own with
// plain types only: the methods in win32_port_methods.h are written against it, tests drive them
// with a scripted fake, and a Windows build binds it to the real functions.
//
// Each call mirrors the one Windows function named beside it, with the arguments the methods
// vary; the fixed ones (no enumerator, no parent window, reserved parameters) are the binding's.
// The constants carry k-names, since the system headers make their own names macros.
#pragma once

#include <cstdint>

namespace morvane {

// OSVERSIONINFOA, less the service-pack text nobody here reads.
struct SOsVersionInfo {
    std::uint32_t osVersionInfoSize = 148;
    std::uint32_t majorVersion = 0;
    std::uint32_t minorVersion = 0;
    std::uint32_t buildNumber = 0;
    std::uint32_t platformId = 0;
};

inline constexpr std::uint32_t kVerPlatformWin32Nt = 2;

struct SGuid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::uint8_t data4[8] = {};
};

// The device interface class of COM ports, {86E0D1E0-8089-11D0-9CE4-08003E301F73}.
inline constexpr SGuid kGuidDevInterfaceComPort = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// An opaque device-information set (HDEVINFO); kInvalidDevInfoSet stands for INVALID_HANDLE_VALUE.
using DevInfoSet = std::uintptr_t;
inline constexpr DevInfoSet kInvalidDevInfoSet = ~DevInfoSet{0};

// SP_DEVICE_INTERFACE_DATA and SP_DEVINFO_DATA as the 32-bit system lays them out (28 bytes).
struct SDeviceInterfaceData {
    std::uint32_t cbSize = 28;
    SGuid interfaceClassGuid;
    std::uint32_t flags = 0;
    std::uintptr_t reserved = 0;
};

struct SDevInfoData {
    std::uint32_t cbSize = 28;
    SGuid classGuid;
    std::uint32_t devInst = 0;
    std::uintptr_t reserved = 0;
};

inline constexpr std::uint32_t kDigcfPresent = 0x02;
inline constexpr std::uint32_t kDigcfDeviceInterface = 0x10;
inline constexpr std::uint32_t kSpdrpDeviceDesc = 0;
inline constexpr std::uint32_t kSpdrpHardwareId = 1;
inline constexpr std::uint32_t kSpdrpFriendlyName = 12;
inline constexpr std::uint32_t kSpdrpLocationInformation = 13;
inline constexpr std::uint32_t kSpdrpEnumeratorName = 22;
inline constexpr std::uint32_t kErrorNoMoreItems = 259;

// An open registry key (HKEY); kHkeyLocalMachine is the predefined HKEY_LOCAL_MACHINE and
// kInvalidRegKey stands for the INVALID_HANDLE_VALUE that SetupDiOpenDevRegKey fails with.
using RegKey = std::uintptr_t;
inline constexpr RegKey kHkeyLocalMachine = 0x80000002;
inline constexpr RegKey kInvalidRegKey = ~RegKey{0};
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::int32_t kErrorSuccess = 0;
inline constexpr std::int32_t kErrorMoreData = 234;

// SetupDiOpenDevRegKey: the device's hardware key, valid in every hardware profile.
inline constexpr std::uint32_t kDicsFlagGlobal = 1;
inline constexpr std::uint32_t kDiregDev = 1;

class CWin32PortServices {
public:
    virtual ~CWin32PortServices() = default;

    virtual std::uint32_t GetLastError() = 0;
    virtual bool GetVersionExA(SOsVersionInfo& info) = 0;

    // "setupapi.dll" loaded from the system's folder only, GetProcAddress of one function by name
    // (the binding keeps what it finds for the calls below), FreeLibrary.
    virtual bool LoadSetupApi() = 0;
    virtual bool GetSetupApiProc(const char* name) = 0;
    virtual void FreeSetupApi() = 0;

    // SetupDiGetClassDevsA(classGuid, no enumerator, no window, flags).
    virtual DevInfoSet SetupDiGetClassDevsA(const SGuid& classGuid, std::uint32_t flags) = 0;
    // SetupDiEnumDeviceInterfaces(set, no device, interfaceClass, index, data).
    virtual bool SetupDiEnumDeviceInterfaces(DevInfoSet set, const SGuid& interfaceClass,
                                             std::uint32_t index, SDeviceInterfaceData& data) = 0;
    // SetupDiGetDeviceInterfaceDetailA into `detail`, a SP_DEVICE_INTERFACE_DETAIL_DATA_A of
    // `detailSize` bytes (cbSize first, then the device path), no required-size answer.
    virtual bool SetupDiGetDeviceInterfaceDetailA(DevInfoSet set, const SDeviceInterfaceData& data,
                                                  std::uint8_t* detail, std::uint32_t detailSize,
                                                  SDevInfoData& devInfo) = 0;
    // SetupDiGetDeviceRegistryPropertyW into `buffer` (UTF-16, little-endian as the system is),
    // no type or required-size answer. The wide call, because device names are in the user's
    // language and the ANSI one would hand them out in a code page nobody else here reads.
    virtual bool SetupDiGetDeviceRegistryPropertyW(DevInfoSet set, const SDevInfoData& devInfo,
                                                   std::uint32_t property, std::uint8_t* buffer,
                                                   std::uint32_t bufferSize) = 0;
    virtual bool SetupDiDestroyDeviceInfoList(DevInfoSet set) = 0;
    // SetupDiGetDeviceInstanceIdA into `id` of `idSize` characters, no required-size answer.
    virtual bool SetupDiGetDeviceInstanceIdA(DevInfoSet set, const SDevInfoData& devInfo, char* id,
                                             std::uint32_t idSize) = 0;
    // SetupDiOpenDevRegKey(set, devInfo, scope, hwProfile, keyType, access); kInvalidRegKey on
    // failure. The key is closed with RegCloseKey.
    virtual RegKey SetupDiOpenDevRegKey(DevInfoSet set, const SDevInfoData& devInfo,
                                        std::uint32_t scope, std::uint32_t hwProfile,
                                        std::uint32_t keyType, std::uint32_t access) = 0;

    // GetDefaultCommConfigA(name, commConfig, &size).
    virtual bool GetDefaultCommConfigA(const char* name, std::uint8_t* commConfig,
                                       std::uint32_t& size) = 0;

    // RegOpenKeyExA(parent, subKey, 0, access, &result) and the others with their reserved and
    // unread arguments left out; each returns the system's error code, kErrorSuccess on success.
    virtual std::int32_t RegOpenKeyExA(RegKey parent, const char* subKey, std::uint32_t access,
                                       RegKey& result) = 0;
    virtual std::int32_t RegEnumKeyExA(RegKey key, std::uint32_t index, char* name,
                                       std::uint32_t& nameSize) = 0;
    virtual std::int32_t RegQueryValueExA(RegKey key, const char* valueName, std::uint8_t* data,
                                          std::uint32_t& dataSize) = 0;
    // RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize).
    virtual std::int32_t RegEnumValueA(RegKey key, std::uint32_t index, char* name,
                                       std::uint32_t& nameSize, std::uint32_t& type,
                                       std::uint8_t* data, std::uint32_t& dataSize) = 0;
    virtual std::int32_t RegCloseKey(RegKey key) = 0;
};

}  // namespace morvane
