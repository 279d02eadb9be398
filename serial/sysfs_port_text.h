// The text side of finding serial ports in Linux sysfs: what a tty's attributes say, and the
// names a person sees. No file access here; enumerate_com_ports_linux.cpp reads the tree and
// hands the texts over.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "serial/enumerate_com_ports.h"

namespace morvane {

// An attribute's text without the line end the kernel adds and without surrounding blanks;
// control characters (a USB device writes its own strings) become blanks.
[[nodiscard]] CString SysfsText(std::string_view raw);

// A decimal attribute such as a UART's `type`; nothing for anything else.
[[nodiscard]] std::optional<int> SysfsNumber(std::string_view raw);

// The last component of a link's target ("../../bus/usb" gives "usb").
[[nodiscard]] std::string_view LinkTargetName(std::string_view target);

// Every PC shows ttyS0-ttyS3 (and more) whether or not a UART is behind them: the 8250 driver
// registers placeholders whose `type` is 0 (PORT_UNKNOWN), which cannot be opened. Where the type
// cannot be read, a port of the serial8250 platform device is taken to be such a placeholder.
[[nodiscard]] bool IsPlaceholderUart(std::optional<int> uartType, std::string_view driverName,
                                     std::string_view resolvedDevicePath);

// Whether a resolved device path lies below a USB host's root hub
// ("/sys/devices/.../usb1/1-2/...").
[[nodiscard]] bool IsBelowUsbRootHub(std::string_view resolvedDevicePath);

// The name of a USB adapter as its maker gave it: the product string, else the maker with the
// vendor:product id, else "USB Serial Port". Arguments are attribute texts, possibly empty.
[[nodiscard]] CString UsbAdapterName(std::string_view product, std::string_view manufacturer,
                                     std::string_view vendorId, std::string_view productId);

// The name of a port that is not on USB, by the kind of its tty ("Communications Port" for a UART).
[[nodiscard]] CString OnBoardPortName(std::string_view ttyName);

// The device numbers one tty driver owns, from a line of /proc/tty/drivers.
struct STtyDriverRange {
    unsigned major = 0;
    unsigned firstMinor = 0;
    unsigned lastMinor = 0;
};

// Every range that /proc/tty/drivers names ("serial  /dev/ttyS  4 64-95 serial"); lines that do
// not read as one are left out.
[[nodiscard]] std::vector<STtyDriverRange> ParseTtyDrivers(std::string_view text);

// Whether a character device's numbers belong to a tty driver: a devices-folder entry that leads
// to anything else (a plain file, /dev/null) is no serial port.
[[nodiscard]] bool IsTtyDevice(unsigned major, unsigned minor,
                               const std::vector<STtyDriverRange>& drivers);

// A finished record: portName "COMn", friendlyName "<name> (COMn)", description the name itself.
[[nodiscard]] SSerInfo MakePortRecord(int comPort, const CString& devicePath, const CString& name,
                                      bool isUsb);

}  // namespace morvane
