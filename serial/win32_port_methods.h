// The Windows ways of finding the COM ports, written against CWin32PortServices so they run
// (and are tested) anywhere: the device-interface enumeration of the set-up library from
// Windows 2000 on, a probe of COM1 to COM32 on NT 4.0 and earlier, and a walk of the registry's
// hardware branch on Windows 95, 98 and Me.
#pragma once

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
};

// Each method appends the records it finds, untidied, and throws ComEnumError with the
// system's text when it cannot finish; every handle it opened is released either way.
void EnumerateByDeviceInterface(CWin32PortServices& os, const SSetupApiProcs& procs,
                                CArray<SSerInfo, SSerInfo&>& list);
void EnumerateByProbe(CWin32PortServices& os, CArray<SSerInfo, SSerInfo&>& list);
void EnumerateFromRegistry(CWin32PortServices& os, CArray<SSerInfo, SSerInfo&>& list);

// Appends the ports Windows registers as present (the names, such as "COM3", under the key
// HARDWARE\DEVICEMAP\SERIALCOMM of the local machine) that the list lacks: virtual ports of drivers
// that offer no COM port interface to the set-up library, and under Wine every port. Names that are
// not COMn are ignored; the records are tidy.
void AddRegisteredComPorts(const CStringArray& portNames, CArray<SSerInfo, SSerInfo&>& list);

// The whole run on Windows: loads the set-up library, chooses the method by the system's
// version, tidies, releases the library. After a failure the list is empty.
void EnumerateComPortsWin32(CWin32PortServices& os, CArray<SSerInfo, SSerInfo&>& list);

}  // namespace morvane
