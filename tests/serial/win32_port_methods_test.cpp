#include "serial/win32_port_methods.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace morvane {
namespace {

using ::testing::ElementsAre;

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInsufficientBuffer = 0x7a;
constexpr std::int32_t kErrorMoreData = 234;

// The system as a script: what each service answers, and a log of the calls in their order.
// It also checks the buffer sizes the methods hand over, as the real functions would not.
class CScriptedWin32 : public CWin32PortServices {
public:
    struct Interface {
        std::string path;
        std::optional<std::string> friendlyName;
        std::optional<std::string> description;
        std::optional<std::string> location;
        std::uint32_t enumError = 0;  // the enumeration fails at this interface with this code
    };
    struct Key {
        std::vector<std::string> subKeys;
        std::map<std::string, std::string> values;
        bool openFails = false;
    };

    std::vector<std::string> calls;
    std::uint32_t lastError = 0;
    std::optional<SOsVersionInfo> version = SOsVersionInfo{148, 5, 1, 2600, kVerPlatformWin32Nt};
    bool setupApiLoads = true;
    std::set<std::string> missingProcs;
    std::optional<std::uint32_t> classDevsError;
    std::vector<Interface> interfaces;
    int liveSets = 0;
    std::set<std::string> commPorts;
    std::map<std::string, Key> registry;
    std::map<RegKey, std::string> openKeys;

    // Adds a key with all its parents; subkeys are listed in the order they were first added.
    Key& AddKey(const std::string& path) {
        const std::size_t slash = path.rfind('\\');
        if (slash != std::string::npos && !registry.count(path)) {
            AddKey(path.substr(0, slash)).subKeys.push_back(path.substr(slash + 1));
        }
        return registry[path];
    }

    std::uint32_t GetLastError() override { return lastError; }
    bool GetVersionExA(SOsVersionInfo& info) override {
        calls.push_back("GetVersionExA");
        EXPECT_EQ(info.osVersionInfoSize, 148u);
        if (!version) return Fail(0x1f);
        info = *version;
        return true;
    }
    bool LoadSetupApi() override {
        calls.push_back("LoadLibrary");
        return setupApiLoads;
    }
    bool GetSetupApiProc(const char* name) override {
        calls.push_back(std::string("GetProcAddress ") + name);
        return !missingProcs.count(name);
    }
    void FreeSetupApi() override { calls.push_back("FreeLibrary"); }

    DevInfoSet SetupDiGetClassDevsA(const SGuid& classGuid, std::uint32_t flags) override {
        calls.push_back("GetClassDevs");
        EXPECT_EQ(classGuid.data1, 0x86E0D1E0u);
        EXPECT_EQ(classGuid.data4[7], 0x73);
        EXPECT_EQ(flags, 0x12u);
        if (classDevsError) {
            Fail(*classDevsError);
            return kInvalidDevInfoSet;
        }
        ++liveSets;
        return 7;
    }
    bool SetupDiEnumDeviceInterfaces(DevInfoSet set, const SGuid&, std::uint32_t index,
                                     SDeviceInterfaceData& data) override {
        calls.push_back("EnumInterfaces " + std::to_string(index));
        EXPECT_EQ(set, 7u);
        EXPECT_EQ(data.cbSize, 28u);
        if (index >= interfaces.size()) return Fail(kErrorNoMoreItems);
        if (interfaces[index].enumError != 0) return Fail(interfaces[index].enumError);
        data.reserved = index;
        return true;
    }
    bool SetupDiGetDeviceInterfaceDetailA(DevInfoSet, const SDeviceInterfaceData& data,
                                          std::uint8_t* detail, std::uint32_t detailSize,
                                          SDevInfoData& devInfo) override {
        calls.push_back("GetDetail " + std::to_string(data.reserved));
        std::uint32_t cbSize = 0;
        std::memcpy(&cbSize, detail, sizeof cbSize);
        EXPECT_EQ(cbSize, 5u);
        EXPECT_EQ(detailSize, 261u);
        EXPECT_EQ(devInfo.cbSize, 28u);
        const std::string& path = interfaces[data.reserved].path;
        if (4 + path.size() + 1 > detailSize) return Fail(kErrorInsufficientBuffer);
        std::memcpy(detail + 4, path.c_str(), path.size() + 1);
        devInfo.devInst = static_cast<std::uint32_t>(data.reserved);
        return true;
    }
    bool SetupDiGetDeviceRegistryPropertyA(DevInfoSet, const SDevInfoData& devInfo,
                                           std::uint32_t property, std::uint8_t* buffer,
                                           std::uint32_t bufferSize) override {
        calls.push_back("GetProperty " + std::to_string(devInfo.devInst) + " " +
                        std::to_string(property));
        EXPECT_EQ(bufferSize, 256u);
        const Interface& item = interfaces[devInfo.devInst];
        const std::optional<std::string>& value = property == kSpdrpFriendlyName ? item.friendlyName
                                                  : property == kSpdrpDeviceDesc ? item.description
                                                                                 : item.location;
        if (!value) return Fail(13);
        if (value->size() + 1 > bufferSize) return Fail(kErrorInsufficientBuffer);
        std::memcpy(buffer, value->c_str(), value->size() + 1);
        return true;
    }
    bool SetupDiDestroyDeviceInfoList(DevInfoSet set) override {
        calls.push_back("DestroyList");
        EXPECT_EQ(set, 7u);
        --liveSets;
        return true;
    }

    bool GetDefaultCommConfigA(const char* name, std::uint8_t*, std::uint32_t& size) override {
        calls.push_back(name);
        EXPECT_EQ(size, 52u);
        return commPorts.count(name) ? true : Fail(kErrorFileNotFound);
    }

    std::int32_t RegOpenKeyExA(RegKey parent, const char* subKey, std::uint32_t access,
                               RegKey& result) override {
        const std::string path =
            parent == kHkeyLocalMachine ? subKey : openKeys.at(parent) + "\\" + subKey;
        calls.push_back("Open " + path);
        EXPECT_EQ(access, kKeyRead);
        auto key = registry.find(path);
        if (key == registry.end() || key->second.openFails) return kErrorFileNotFound;
        result = nextKey_++;
        openKeys[result] = path;
        return kErrorSuccess;
    }
    std::int32_t RegEnumKeyExA(RegKey key, std::uint32_t index, char* name,
                               std::uint32_t& nameSize) override {
        EXPECT_EQ(nameSize, 128u);
        const Key& node = registry.at(openKeys.at(key));
        if (index >= node.subKeys.size()) return static_cast<std::int32_t>(kErrorNoMoreItems);
        const std::string& subKey = node.subKeys[index];
        if (subKey.size() + 1 > nameSize) return kErrorMoreData;
        std::memcpy(name, subKey.c_str(), subKey.size() + 1);
        nameSize = static_cast<std::uint32_t>(subKey.size());
        return kErrorSuccess;
    }
    std::int32_t RegQueryValueExA(RegKey key, const char* valueName, std::uint8_t* data,
                                  std::uint32_t& dataSize) override {
        EXPECT_EQ(dataSize, 128u);
        const Key& node = registry.at(openKeys.at(key));
        auto value = node.values.find(valueName);
        if (value == node.values.end()) return kErrorFileNotFound;
        if (value->second.size() + 1 > dataSize) return kErrorMoreData;
        std::memcpy(data, value->second.c_str(), value->second.size() + 1);
        dataSize = static_cast<std::uint32_t>(value->second.size() + 1);
        return kErrorSuccess;
    }
    std::int32_t RegCloseKey(RegKey key) override {
        calls.push_back("Close " + openKeys.at(key));
        openKeys.erase(key);
        return kErrorSuccess;
    }

private:
    bool Fail(std::uint32_t error) {
        lastError = error;
        return false;
    }
    RegKey nextKey_ = 100;
};

std::string ErrorOf(CScriptedWin32& os, CArray<SSerInfo, SSerInfo&>& list) {
    try {
        EnumerateComPortsWin32(os, list);
    } catch (const ComEnumError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(Win32PortMethods, MethodFollowsTheSystemVersion) {
    struct Row {
        std::uint32_t major, minor, platformId;
        ComEnumMethod method;
    };
    const Row rows[] = {
        {5, 0, 2, ComEnumMethod::DeviceInterface}, {10, 0, 2, ComEnumMethod::DeviceInterface},
        {5, 0, 1, ComEnumMethod::DeviceInterface}, {4, 0, 2, ComEnumMethod::Probe},
        {3, 51, 2, ComEnumMethod::Probe},          {4, 10, 1, ComEnumMethod::Registry},
        {4, 90, 1, ComEnumMethod::Registry},       {4, 0, 0, ComEnumMethod::Registry},
    };
    for (const Row& r : rows) {
        SOsVersionInfo version;
        version.majorVersion = r.major;
        version.minorVersion = r.minor;
        version.platformId = r.platformId;
        EXPECT_EQ(ChooseComEnumMethod(version), r.method)
            << r.major << "." << r.minor << " id " << r.platformId;
    }
}

TEST(Win32PortMethods, LibraryIsLoadedBeforeTheChoiceAndReleasedAfter) {
    CScriptedWin32 os;
    os.version = SOsVersionInfo{148, 4, 0, 1381, kVerPlatformWin32Nt};
    os.commPorts = {"COM2"};
    CArray<SSerInfo, SSerInfo&> list{SSerInfo{}, SSerInfo{}};
    EnumerateComPortsWin32(os, list);
    ASSERT_GE(os.calls.size(), 9u);
    EXPECT_THAT(
        std::vector<std::string>(os.calls.begin(), os.calls.begin() + 8),
        ElementsAre("LoadLibrary", "GetProcAddress SetupDiGetClassDevsA",
                    "GetProcAddress SetupDiEnumDeviceInterfaces",
                    "GetProcAddress SetupDiGetDeviceInterfaceDetailA",
                    "GetProcAddress SetupDiGetDeviceRegistryPropertyA",
                    "GetProcAddress SetupDiDestroyDeviceInfoList", "GetVersionExA", "COM1"));
    EXPECT_EQ(os.calls.back(), "FreeLibrary");
    ASSERT_EQ(list.size(), 1u);  // the old records went first
    EXPECT_EQ(list[0].portName, "COM2");
}

TEST(Win32PortMethods, VersionFailureCarriesTheCodeAndStillReleasesTheLibrary) {
    CScriptedWin32 os;
    os.version.reset();
    CArray<SSerInfo, SSerInfo&> list{SSerInfo{}};
    EXPECT_EQ(ErrorOf(os, list), "Could not get OS version. (err=1f)");
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(os.calls.back(), "FreeLibrary");
}

TEST(Win32PortMethods, DeviceInterfacesInOrderSkippingPortsWithoutNames) {
    CScriptedWin32 os;
    os.interfaces = {
        {"\\\\?\\usb#vid_1a86", "USB Serial Port (COM5)", "USB-SERIAL CH340", "USB-Port 2", 0},
        {"\\\\?\\nofriendly", std::nullopt, "Desc", "USB", 0},
        {"\\\\?\\nodesc", "Port (COM7)", std::nullopt, std::nullopt, 0},
        {"\\\\?\\acpi#pnp0501", "Communications Port (COM1)", "Communications Port",
         "usb lower case", 0},
        {"\\\\?\\bth", "Standard Serial over Bluetooth link", "Bluetooth", std::nullopt, 0},
    };
    CArray<SSerInfo, SSerInfo&> list;
    EnumerateComPortsWin32(os, list);

    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].devicePath, "\\\\?\\usb#vid_1a86");
    EXPECT_EQ(list[0].portName, "COM5");
    EXPECT_EQ(list[0].friendlyName, "USB Serial Port (COM5)");
    EXPECT_EQ(list[0].description, "USB-SERIAL CH340");
    EXPECT_TRUE(list[0].isUsb);
    EXPECT_EQ(list[1].portName, "COM1");
    EXPECT_FALSE(list[1].isUsb);

    const std::vector<std::string> expected = {
        "LoadLibrary",
        "GetProcAddress SetupDiGetClassDevsA",
        "GetProcAddress SetupDiEnumDeviceInterfaces",
        "GetProcAddress SetupDiGetDeviceInterfaceDetailA",
        "GetProcAddress SetupDiGetDeviceRegistryPropertyA",
        "GetProcAddress SetupDiDestroyDeviceInfoList",
        "GetVersionExA",
        "GetClassDevs",
        "EnumInterfaces 0",
        "GetDetail 0",
        "GetProperty 0 12",
        "GetProperty 0 0",
        "GetProperty 0 13",
        "EnumInterfaces 1",
        "GetDetail 1",
        "GetProperty 1 12",
        "GetProperty 1 13",
        "EnumInterfaces 2",
        "GetDetail 2",
        "GetProperty 2 12",
        "GetProperty 2 0",
        "GetProperty 2 13",
        "EnumInterfaces 3",
        "GetDetail 3",
        "GetProperty 3 12",
        "GetProperty 3 0",
        "GetProperty 3 13",
        "EnumInterfaces 4",
        "GetDetail 4",
        "GetProperty 4 12",
        "GetProperty 4 0",
        "GetProperty 4 13",
        "EnumInterfaces 5",
        "DestroyList",
        "FreeLibrary",
    };
    EXPECT_EQ(os.calls, expected);
}

TEST(Win32PortMethods, DevicePathOfAtMost256CharactersFits) {
    CScriptedWin32 os;
    os.interfaces = {{std::string(256, 'p'), "Port (COM3)", "Port", std::nullopt, 0}};
    CArray<SSerInfo, SSerInfo&> list;
    EnumerateComPortsWin32(os, list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].devicePath, std::string(256, 'p'));
}

TEST(Win32PortMethods, DeviceInterfaceFailuresCarryTheirCodeAndReleaseEverything) {
    struct Row {
        const char* what;
        void (*script)(CScriptedWin32&);
        const char* text;
    };
    const Row rows[] = {
        {"library missing", [](CScriptedWin32& os) { os.setupApiLoads = false; },
         "Null Pointer from setupapi.dll"},
        {"class-devices function missing",
         [](CScriptedWin32& os) { os.missingProcs = {"SetupDiGetClassDevsA"}; },
         "Null Pointer from setupapi.dll"},
        {"destroy function missing",
         [](CScriptedWin32& os) { os.missingProcs = {"SetupDiDestroyDeviceInfoList"}; },
         "Null Pointer from setupapi.dll"},
        {"no device set", [](CScriptedWin32& os) { os.classDevsError = 0x5; },
         "SetupDiGetClassDevs failed. (err=5)"},
        {"enumeration broken",
         [](CScriptedWin32& os) {
             os.interfaces = {{"a", "A (COM1)", "A", std::nullopt, 0},
                              {"b", "B", "B", std::nullopt, 0xABCDEF}};
         },
         "SetupDiEnumDeviceInterfaces failed. (err=abcdef)"},
        {"device path too long",
         [](CScriptedWin32& os) {
             os.interfaces = {{std::string(257, 'p'), "P (COM1)", "P", std::nullopt, 0}};
         },
         "SetupDiGetDeviceInterfaceDetail failed. (err=7a)"},
    };
    for (const Row& row : rows) {
        CScriptedWin32 os;
        row.script(os);
        CArray<SSerInfo, SSerInfo&> list;
        EXPECT_EQ(ErrorOf(os, list), row.text) << row.what;
        EXPECT_TRUE(list.empty()) << row.what;
        EXPECT_EQ(os.liveSets, 0) << row.what;
        EXPECT_EQ(os.calls.back(), os.setupApiLoads ? "FreeLibrary" : "GetVersionExA") << row.what;
    }
}

TEST(Win32PortMethods, ProbeAsksCom1ToCom32InOrder) {
    CScriptedWin32 os;
    os.commPorts = {"COM1", "COM3", "COM32", "COM33"};
    CArray<SSerInfo, SSerInfo&> list;
    EnumerateByProbe(os, list);

    std::vector<std::string> probed;
    for (int n = 1; n <= 32; ++n) probed.push_back("COM" + std::to_string(n));
    EXPECT_EQ(os.calls, probed);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].devicePath, "\\\\.\\COM1");
    EXPECT_EQ(list[0].portName, "COM1");
    EXPECT_EQ(list[0].friendlyName, "");
    EXPECT_FALSE(list[0].isUsb);
    EXPECT_EQ(list[1].portName, "COM3");
    EXPECT_EQ(list[2].portName, "COM32");
}

// Root: the on-board ports, one printer port and a lower-case name that is not taken;
// USBPORTS: an adapter, an instance without PORTNAME, and COM1 once more.
void ScriptWin9xRegistry(CScriptedWin32& os) {
    os.version = SOsVersionInfo{148, 4, 10, 2222, 1};
    os.AddKey("Enum\\Root\\*PNP0501\\0000").values = {
        {"PORTNAME", "COM1"}, {"FRIENDLYNAME", "Communications Port (COM1)"}};
    os.AddKey("Enum\\Root\\*PNP0400\\0000").values = {{"PORTNAME", "LPT1"}};
    os.AddKey("Enum\\Root\\*pnp0501\\0000").values = {{"PORTNAME", "COM9"}};
    os.AddKey("Enum\\Root\\*PNP0500\\0000").values = {{"PORTNAME", "COM2"}};
    os.AddKey("Enum\\USBPORTS\\FTDIBUS\\0000").values = {
        {"PORTNAME", "COM5"}, {"FRIENDLYNAME", "USB Serial Port (COM5)"}};
    os.AddKey("Enum\\USBPORTS\\FTDIBUS\\0001").values = {{"FRIENDLYNAME", "No port (COM6)"}};
    os.AddKey("Enum\\USBPORTS\\FTDIBUS\\0002").values = {{"PORTNAME", std::string(128, 'C')}};
    os.AddKey("Enum\\USBPORTS\\PROLIFIC\\0000").values = {{"PORTNAME", "COM1"}};
}

TEST(Win32PortMethods, RegisteredPortsFillInWhatTheMethodMissed) {
    CArray<SSerInfo, SSerInfo&> list(1);
    list[0].portName = "COM3";
    list[0].friendlyName = "USB Serial Port (COM3)";
    AddRegisteredComPorts({"COM3", "COM12", "COM0", "COM", "LPT1", "COM7x", "COM1"}, list);
    std::vector<std::string> names;
    for (const SSerInfo& port : list) names.push_back(port.portName + " " + port.devicePath);
    EXPECT_THAT(names, ElementsAre("COM3 ", "COM12 \\\\.\\COM12", "COM1 \\\\.\\COM1"));
    EXPECT_EQ(list[0].friendlyName, "USB Serial Port (COM3)");
    EXPECT_EQ(list[1].friendlyName, "COM12");
}

TEST(Win32PortMethods, RegistryWalkKeepsFirstPlaceAndLastFields) {
    CScriptedWin32 os;
    ScriptWin9xRegistry(os);
    CArray<SSerInfo, SSerInfo&> list;
    EnumerateComPortsWin32(os, list);

    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].portName, "COM1");  // place of the Root entry, fields of the USB one
    EXPECT_EQ(list[0].devicePath, "\\\\.\\COM1");
    EXPECT_EQ(list[0].friendlyName, "COM1");
    EXPECT_EQ(list[0].description, "COM1");
    EXPECT_TRUE(list[0].isUsb);
    EXPECT_EQ(list[1].portName, "COM2");
    EXPECT_EQ(list[1].friendlyName, "COM2");
    EXPECT_FALSE(list[1].isUsb);
    EXPECT_EQ(list[2].portName, "COM5");
    EXPECT_EQ(list[2].description, "USB Serial Port");
    EXPECT_TRUE(list[2].isUsb);

    for (const std::string& call : os.calls) {
        EXPECT_EQ(call.find("PNP0400"), std::string::npos) << call;
        EXPECT_EQ(call.find("pnp0501"), std::string::npos) << call;
    }
    EXPECT_TRUE(os.openKeys.empty());
    EXPECT_EQ(std::count(os.calls.begin(), os.calls.end(), "Close Enum\\Root"), 1);
}

TEST(Win32PortMethods, RegistryFailuresNameTheKeyAndCloseWhatWasOpen) {
    struct Row {
        const char* failingKey;
        const char* text;
    };
    const Row rows[] = {
        {"Enum", "Could not read from HKLM\\Enum"},
        {"Enum\\USBPORTS", "Could not read from HKLM\\Enum\\USBPORTS"},
        {"Enum\\Root\\*PNP0500", "Could not read from HKLM\\Enum\\Root\\*PNP0500"},
        {"Enum\\USBPORTS\\FTDIBUS\\0001", "Could not read from HKLM\\Enum\\...\\0001"},
    };
    for (const Row& row : rows) {
        CScriptedWin32 os;
        ScriptWin9xRegistry(os);
        os.registry[row.failingKey].openFails = true;
        CArray<SSerInfo, SSerInfo&> list;
        EXPECT_EQ(ErrorOf(os, list), row.text) << row.failingKey;
        EXPECT_TRUE(list.empty()) << row.failingKey;
        EXPECT_TRUE(os.openKeys.empty()) << row.failingKey;
    }
}

}  // namespace
}  // namespace morvane
