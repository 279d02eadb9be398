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
    // One device of the COM port interface; what it lacks, the system does not answer.
    struct Interface {
        std::string path{};
        std::optional<std::u16string> friendlyName{};
        std::optional<std::u16string> description{};
        std::optional<std::u16string> location{};
        std::uint32_t enumError = 0;  // the enumeration fails at this interface with this code
        std::optional<std::string> portName{};  // the PortName of the device's own key
        std::optional<std::u16string> enumerator{};
        std::optional<std::u16string>
            hardwareIds{};  // each id ended by a zero, as the system lists
        std::optional<std::string> instanceId{};
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
    // The values under SERIALCOMM: the port's name, led by its device's and "=" where that is
    // not "\Device\Serial<n>".
    std::vector<std::string> registeredPorts;

    // The ports Windows registers as present, under their key.
    void Register(std::vector<std::string> ports) {
        AddKey("HARDWARE\\DEVICEMAP\\SERIALCOMM");
        registeredPorts = std::move(ports);
    }

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
    bool SetupDiGetDeviceRegistryPropertyW(DevInfoSet, const SDevInfoData& devInfo,
                                           std::uint32_t property, std::uint8_t* buffer,
                                           std::uint32_t bufferSize) override {
        calls.push_back("GetProperty " + std::to_string(devInfo.devInst) + " " +
                        std::to_string(property));
        EXPECT_EQ(bufferSize, 512u);
        const Interface& item = interfaces[devInfo.devInst];
        const std::optional<std::u16string>& value =
            property == kSpdrpFriendlyName          ? item.friendlyName
            : property == kSpdrpDeviceDesc          ? item.description
            : property == kSpdrpEnumeratorName      ? item.enumerator
            : property == kSpdrpHardwareId          ? item.hardwareIds
            : property == kSpdrpLocationInformation ? item.location
                                                    : std::nullopt;
        if (!value) return Fail(13);
        if (2 * (value->size() + 1) > bufferSize) return Fail(kErrorInsufficientBuffer);
        for (std::size_t i = 0; i <= value->size(); ++i) {
            const char16_t c = i < value->size() ? (*value)[i] : u'\0';
            buffer[2 * i] = static_cast<std::uint8_t>(c & 0xFF);
            buffer[2 * i + 1] = static_cast<std::uint8_t>(c >> 8);
        }
        return true;
    }
    bool SetupDiDestroyDeviceInfoList(DevInfoSet set) override {
        calls.push_back("DestroyList");
        EXPECT_EQ(set, 7u);
        --liveSets;
        return true;
    }
    bool SetupDiGetDeviceInstanceIdA(DevInfoSet, const SDevInfoData& devInfo, char* id,
                                     std::uint32_t idSize) override {
        calls.push_back("GetInstanceId " + std::to_string(devInfo.devInst));
        const std::optional<std::string>& value = interfaces[devInfo.devInst].instanceId;
        if (!value) return Fail(13);
        if (value->size() + 1 > idSize) return Fail(kErrorInsufficientBuffer);
        std::memcpy(id, value->c_str(), value->size() + 1);
        return true;
    }
    RegKey SetupDiOpenDevRegKey(DevInfoSet, const SDevInfoData& devInfo, std::uint32_t scope,
                                std::uint32_t hwProfile, std::uint32_t keyType,
                                std::uint32_t access) override {
        const std::string path = "Device " + std::to_string(devInfo.devInst);
        calls.push_back("Open " + path);
        EXPECT_EQ(scope, kDicsFlagGlobal);
        EXPECT_EQ(hwProfile, 0u);
        EXPECT_EQ(keyType, kDiregDev);
        EXPECT_EQ(access, kKeyRead);
        const std::optional<std::string>& portName = interfaces[devInfo.devInst].portName;
        if (!portName) {
            Fail(kErrorFileNotFound);
            return kInvalidRegKey;
        }
        registry[path].values = {{"PortName", *portName}};
        openKeys[nextKey_] = path;
        return nextKey_++;
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
    std::int32_t RegEnumValueA(RegKey key, std::uint32_t index, char* name, std::uint32_t& nameSize,
                               std::uint32_t& type, std::uint8_t* data,
                               std::uint32_t& dataSize) override {
        EXPECT_EQ(openKeys.at(key), "HARDWARE\\DEVICEMAP\\SERIALCOMM");
        if (index >= registeredPorts.size()) return static_cast<std::int32_t>(kErrorNoMoreItems);
        const std::string& entry = registeredPorts[index];
        const std::size_t equals = entry.find('=');
        const std::string valueName = equals != std::string::npos
                                          ? entry.substr(0, equals)
                                          : "\\Device\\Serial" + std::to_string(index);
        const std::string port = entry.substr(equals != std::string::npos ? equals + 1 : 0);
        if (valueName.size() + 1 > nameSize || port.size() + 1 > dataSize) return kErrorMoreData;
        std::memcpy(name, valueName.c_str(), valueName.size() + 1);
        std::memcpy(data, port.c_str(), port.size() + 1);
        nameSize = static_cast<std::uint32_t>(valueName.size());
        dataSize = static_cast<std::uint32_t>(port.size() + 1);
        type = kRegSz;
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

// The text of the ComEnumError that `run` raises.
template <class Run>
std::string ErrorOf(Run run) {
    try {
        run();
    } catch (const ComEnumError& e) {
        return e.what();
    }
    return "(no error)";
}

std::string ErrorOf(CScriptedWin32& os, CArray<SSerInfo, SSerInfo&>& list) {
    return ErrorOf([&] { EnumerateComPortsWin32(os, list); });
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
    ASSERT_GE(os.calls.size(), 11u);
    EXPECT_THAT(std::vector<std::string>(os.calls.begin(), os.calls.begin() + 10),
                ElementsAre("LoadLibrary", "GetProcAddress SetupDiGetClassDevsA",
                            "GetProcAddress SetupDiEnumDeviceInterfaces",
                            "GetProcAddress SetupDiGetDeviceInterfaceDetailA",
                            "GetProcAddress SetupDiGetDeviceRegistryPropertyW",
                            "GetProcAddress SetupDiDestroyDeviceInfoList",
                            "GetProcAddress SetupDiGetDeviceInstanceIdA",
                            "GetProcAddress SetupDiOpenDevRegKey", "GetVersionExA", "COM1"));
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

// What a PC with adapters reports: each device with its port's own name, ids and location.
TEST(Win32PortMethods, DevicesAsWindowsReportsThem) {
    using namespace std::string_literals;
    CScriptedWin32 os;
    os.interfaces = {
        {.path = "\\\\?\\ftdibus#vid_0403+pid_6001+a6008ispa#0000",
         .friendlyName = u"USB Serial Port (COM5)",
         .description = u"USB Serial Port",
         .location = u"Port_#0002.Hub_#0001",
         .portName = "COM5",
         .enumerator = u"FTDIBUS",
         .hardwareIds = u"FTDIBUS\\COMPORT&VID_0403&PID_6001\0\0"s,
         .instanceId = "FTDIBUS\\VID_0403+PID_6001+A6008ISPA\\0000"},
        {.path = "\\\\?\\usb#vid_2341&pid_0043#757353",
         .friendlyName = u"Serielles USB-Ger\u00e4t (COM3)",
         .description = u"Serielles USB-Ger\u00e4t",
         .location = u"Port_#0001.Hub_#0004",
         .portName = "COM3",
         .enumerator = u"USB",
         .hardwareIds = u"USB\\VID_2341&PID_0043&REV_0001\0USB\\VID_2341&PID_0043\0\0"s,
         .instanceId = "USB\\VID_2341&PID_0043\\757353"},
        // Its path does not fit the detail buffer: left out, the walk goes on.
        {.path = std::string(257, 'p'), .friendlyName = u"Long (COM4)", .description = u"Long"},
        // The longest device path the detail buffer holds.
        {.path = std::string(256, 'p'),
         .friendlyName = u"Virtual COM Port (COM8)",
         .description = u"Virtual COM Port",
         .portName = "COM8",
         .enumerator = u"ROOT"},
        {.path = "\\\\?\\nofriendly", .description = u"Desc", .portName = "COM6"},
        // No PortName to read: the number comes from the friendly name.
        {.path = "\\\\?\\bthenum#{00001101}",
         .friendlyName = u"Standard Serial over Bluetooth link (COM9)",
         .description = u"Standard Serial over Bluetooth link",
         .enumerator = u"BTHENUM",
         .hardwareIds =
             u"BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_VID&00010075_PID&0100\0"s},
        {.path = "\\\\?\\acpi#pnp0501#0",
         .friendlyName = u"Communications Port (COM1)",
         .description = u"Communications Port",
         .portName = "COM1",
         .enumerator = u"ACPI",
         .hardwareIds = u"ACPI\\PNP0501\0*PNP0501\0\0"s,
         .instanceId = "ACPI\\PNP0501\\0"},
    };
    os.Register({"COM1", "COM5", "\\Device\\BthModem0=COM12", "COM4"});
    CArray<SSerInfo, SSerInfo&> list;
    EnumerateComPortsWin32(os, list);

    struct Row {
        std::string portName, friendlyName, description;
        bool isUsb;
        SUsbIdentity usb;
        bool isBluetooth = false;
    };
    const Row expected[] = {
        {"COM5",
         "USB Serial Port (COM5)",
         "USB Serial Port",
         true,
         {0x0403, 0x6001, "A6008ISPA", "Port_#0002.Hub_#0001"}},
        {"COM3",
         "Serielles USB-Ger\xc3\xa4t (COM3)",
         "Serielles USB-Ger\xc3\xa4t",
         true,
         {0x2341, 0x0043, "757353", "Port_#0001.Hub_#0004"}},
        {"COM8", "Virtual COM Port (COM8)", "Virtual COM Port", false, {}},
        {"COM9",
         "Standard Serial over Bluetooth link (COM9)",
         "Standard Serial over Bluetooth link",
         false,
         {},
         true},
        {"COM1", "Communications Port (COM1)", "Communications Port", false, {}},
        {"COM12", "COM12", "COM12", false, {}, true},
        {"COM4", "COM4", "COM4", false, {}},
    };
    ASSERT_EQ(list.size(), std::size(expected));
    for (std::size_t i = 0; i < list.size(); ++i) {
        const Row& row = expected[i];
        EXPECT_EQ(list[i].portName, row.portName) << i;
        EXPECT_EQ(list[i].friendlyName, row.friendlyName) << i;
        EXPECT_EQ(list[i].description, row.description) << i;
        EXPECT_EQ(list[i].isUsb, row.isUsb) << i;
        EXPECT_EQ(list[i].usb, row.usb) << i;
        EXPECT_EQ(list[i].isBluetooth, row.isBluetooth) << i;
    }
    EXPECT_EQ(list[0].devicePath, "\\\\?\\ftdibus#vid_0403+pid_6001+a6008ispa#0000");
    EXPECT_EQ(list[2].devicePath, std::string(256, 'p'));
    // The description is not asked for once the friendly name is missing.
    EXPECT_EQ(std::count(os.calls.begin(), os.calls.end(), "GetProperty 4 0"), 0);
    EXPECT_EQ(os.liveSets, 0);
    EXPECT_TRUE(os.openKeys.empty());
    EXPECT_EQ(os.calls.back(), "FreeLibrary");
}

TEST(Win32PortMethods, UsbIdentityFromTheDevicesIds) {
    struct Row {
        const char* what;
        const char* enumerator;
        const char* hardwareId;
        const char* instanceId;
        std::optional<SUsbIdentity> usb;
    };
    // Adapters with a serial number, FTDI's bus, on-board and Bluetooth ports are rows of
    // DevicesAsWindowsReportsThem.
    const Row rows[] = {
        {"no serial number: the system made the instance up", "USB",
         "USB\\VID_1A86&PID_7523&REV_0264", "USB\\VID_1A86&PID_7523\\5&2A3B4C5D&0&2",
         SUsbIdentity{0x1a86, 0x7523, "", "L"}},
        {"one interface of a composite device", "USB", "USB\\VID_2E8A&PID_000A&MI_00",
         "USB\\VID_2E8A&PID_000A&MI_00\\6&1F2E3D4C&0&0000", SUsbIdentity{0x2e8a, 0x000a, "", "L"}},
        {"ids in lower case", "", "usb\\vid_10c4&pid_ea60", "",
         SUsbIdentity{0x10c4, 0xea60, "", "L"}},
        {"malformed vendor id", "USB", "USB\\VID_04G3&PID_6001", "", SUsbIdentity{0, 0, "", "L"}},
        {"PCI card", "PCI", "PCI\\VEN_1415&DEV_C158", "PCI\\VEN_1415&DEV_C158\\4&1&0",
         std::nullopt},
    };
    for (const Row& row : rows)
        EXPECT_EQ(UsbIdentityFromDeviceIds(row.enumerator, row.hardwareId, row.instanceId, "L"),
                  row.usb)
            << row.what;
}

TEST(Win32PortMethods, AFailingMethodKeepsWhatItFoundAndTheRegisteredPorts) {
    struct Row {
        const char* what;
        void (*script)(CScriptedWin32&);
        std::vector<std::string> ports;  // empty: the failure is raised
        const char* text;
    };
    const Row rows[] = {
        {"a function missing, nothing registered",
         [](CScriptedWin32& os) { os.missingProcs = {"SetupDiOpenDevRegKey"}; },
         {},
         "Null Pointer from setupapi.dll"},
        {"library missing",
         [](CScriptedWin32& os) {
             os.setupApiLoads = false;
             os.Register({"COM3", "COM1"});
         },
         {"COM3", "COM1"},
         nullptr},
        {"no device set",
         [](CScriptedWin32& os) { os.classDevsError = 0x5; },
         {},
         "SetupDiGetClassDevs failed. (err=5)"},
        {"enumeration broken at once",
         [](CScriptedWin32& os) { os.interfaces = {{.path = "a", .enumError = 0xABCDEF}}; },
         {},
         "SetupDiEnumDeviceInterfaces failed. (err=abcdef)"},
        {"enumeration broken after a port",
         [](CScriptedWin32& os) {
             os.interfaces = {
                 {.path = "a", .friendlyName = u"A (COM1)", .description = u"A"},
                 {.path = "b", .enumError = 0xABCDEF},
             };
             os.Register({"COM2"});
         },
         {"COM1", "COM2"},
         nullptr},
        {"registry walk broken after two ports",
         [](CScriptedWin32& os) {
             ScriptWin9xRegistry(os);
             os.registry["Enum\\USBPORTS"].openFails = true;
         },
         {"COM1", "COM2"},
         nullptr},
    };
    for (const Row& row : rows) {
        CScriptedWin32 os;
        row.script(os);
        CArray<SSerInfo, SSerInfo&> list;
        EXPECT_EQ(ErrorOf(os, list), row.text ? row.text : "(no error)") << row.what;
        std::vector<std::string> ports;
        for (const SSerInfo& port : list) ports.push_back(port.portName);
        EXPECT_EQ(ports, row.ports) << row.what;
        EXPECT_EQ(os.liveSets, 0) << row.what;
        EXPECT_TRUE(os.openKeys.empty()) << row.what;
        EXPECT_EQ(std::count(os.calls.begin(), os.calls.end(), "FreeLibrary"),
                  os.setupApiLoads ? 1 : 0)
            << row.what;
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

TEST(Win32PortMethods, RegisteredPortsFillInWhatTheMethodMissed) {
    CArray<SSerInfo, SSerInfo&> list(1);
    list[0].portName = "COM3";
    list[0].friendlyName = "USB Serial Port (COM3)";
    AddRegisteredComPorts({{"COM3"}, {"COM12"}, {"com5"}, {"LPT1"}, {"COM1"}}, list);
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
        EXPECT_EQ(ErrorOf([&] { EnumerateFromRegistry(os, list); }), row.text) << row.failingKey;
        EXPECT_TRUE(os.openKeys.empty()) << row.failingKey;
    }
}

}  // namespace
}  // namespace morvane
