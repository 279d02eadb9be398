// The Windows ways of finding the COM ports, written against CWin32PortServices so they run
// (and are tested) anywhere: the device-interface enumeration of the set-up library from
// Windows 2000 on, a probe of COM1 to COM32 on NT 4.0 and earlier, and a walk of the registry's
// hardware branch on Windows 95, 98 and Me.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "serial/enumerate_com_ports.h"
#include "serial/win32_port_services.h"

namespace morvane {

enum class ComEnumMethod { DeviceInterface, Probe, Registry };

[[nodiscard]] ComEnumMethod ChooseComEnumMethod(const SOsVersionInfo& version);

// Which of the set-up library's functions were found (none when the library did not load).
struct SSetupApiProcs {
    bool getClassDevs = false;
    bool enumDeviceInterfaces = false;
    bool getDeviceInterfaceDetail = false;
    bool getDeviceRegistryProperty = false;
    bool destroyDeviceInfoList = false;
    bool getDeviceInstanceId = false;
    bool openDevRegKey = false;
};

// Each method appends the records it finds, untidied, and throws ComEnumError with the
// system's text when it cannot go on; every handle it opened is released either way. The
// device-interface method skips a device it cannot read and goes on with the next.
void EnumerateByDeviceInterface(CWin32PortServices& os, const SSetupApiProcs& procs,
                                CArray<SSerInfo, SSerInfo&>& list);
void EnumerateByProbe(CWin32PortServices& os, CArray<SSerInfo, SSerInfo&>& list);
void EnumerateFromRegistry(CWin32PortServices& os, CArray<SSerInfo, SSerInfo&>& list);

// A device's USB identity from what the set-up library says of it: its enumerator ("USB",
// "FTDIBUS", ...), its first hardware id ("USB\VID_0403&PID_6001&REV_0600"), its instance id
// ("USB\VID_0403&PID_6001\A6008ISP") and its location text. Nothing when the device is not on
// USB (an on-board port, a Bluetooth link, a modem card).
[[nodiscard]] std::optional<SUsbIdentity> UsbIdentityFromDeviceIds(std::string_view enumerator,
                                                                   std::string_view hardwareId,
                                                                   std::string_view instanceId,
                                                                   std::string_view location);

// A port Windows registers as present: its name ("COM3"), and whether the device behind it
// ("\Device\BthModem0") is a Bluetooth link.
struct SRegisteredComPort {
    CString portName;
    bool bluetooth = false;
};

// The ports Windows registers as present, from the values under HARDWARE\DEVICEMAP\SERIALCOMM of
// the local machine (device name, port name); none when the key cannot be read.
[[nodiscard]] std::vector<SRegisteredComPort> RegisteredComPorts(CWin32PortServices& os);

// Appends the ports Windows registers as present that the list lacks: virtual ports of drivers
// that offer no COM port interface to the set-up library, ports of devices the method could not
// read, and under Wine every port. Names that are not COMn are ignored; the records are tidy.
void AddRegisteredComPorts(const std::vector<SRegisteredComPort>& ports,
                           CArray<SSerInfo, SSerInfo&>& list);

// The whole run on Windows: loads the set-up library, chooses the method by the system's
// version, tidies, adds the registered ports, releases the library. A method that fails keeps
// what it found before; the failure is raised (and the list left empty) only when no port at
// all could be listed.
void EnumerateComPortsWin32(CWin32PortServices& os, CArray<SSerInfo, SSerInfo&>& list);

}  // namespace morvane
