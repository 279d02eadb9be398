// The error bits a port reports and the text the debug line "<CE-%s>" shows for them; and what a
// Windows driver's error code says of the device behind an open port.
#pragma once

#include <cstdint>
#include <string>

#include "serial/serial_device.h"

namespace morvane {

// Error bits numbered as the Windows driver reports them; the Linux backend derives them from
// what the kernel counts (TIOCGICOUNT) where the driver counts anything.
inline constexpr std::uint32_t kCommErrorRxOver = 0x0001;
inline constexpr std::uint32_t kCommErrorOverrun = 0x0002;
inline constexpr std::uint32_t kCommErrorRxParity = 0x0004;
inline constexpr std::uint32_t kCommErrorFrame = 0x0008;
inline constexpr std::uint32_t kCommErrorBreak = 0x0010;
inline constexpr std::uint32_t kCommErrorTxFull = 0x0100;
inline constexpr std::uint32_t kCommErrorIo = 0x0400;
inline constexpr std::uint32_t kCommErrorMode = 0x8000;

// The text of a set of error bits: " CE_BREAK", " CE_FRAME", ... in a fixed order, cut so that
// it fits a 32-byte buffer (at most 31 characters).
[[nodiscard]] std::string CommErrorText(std::uint32_t errors);

// The Win32 error codes (winerror.h) the reading below tells apart, named here so that the same
// rule builds, and is tested, on every system.
inline constexpr std::uint32_t kWinErrorInvalidFunction = 1;
inline constexpr std::uint32_t kWinErrorFileNotFound = 2;
inline constexpr std::uint32_t kWinErrorPathNotFound = 3;
inline constexpr std::uint32_t kWinErrorAccessDenied = 5;
inline constexpr std::uint32_t kWinErrorBadUnit = 20;
inline constexpr std::uint32_t kWinErrorBadCommand = 22;
inline constexpr std::uint32_t kWinErrorGenFailure = 31;
inline constexpr std::uint32_t kWinErrorSharingViolation = 32;
inline constexpr std::uint32_t kWinErrorNotSupported = 50;
inline constexpr std::uint32_t kWinErrorDevNotExist = 55;
inline constexpr std::uint32_t kWinErrorInvalidName = 123;
inline constexpr std::uint32_t kWinErrorBusy = 170;
inline constexpr std::uint32_t kWinErrorNoSuchDevice = 433;
inline constexpr std::uint32_t kWinErrorOperationAborted = 995;
inline constexpr std::uint32_t kWinErrorDeviceNotConnected = 1167;
inline constexpr std::uint32_t kWinErrorDeviceRemoved = 1617;

// What an error of a Windows serial driver says of the device behind the port.
enum class DriverErrorReading : std::uint8_t {
    Gone,     // the device is no longer there: an adapter pulled out, a receiver off the bus
    Suspect,  // drivers give it after a pull, and working devices too: gone only once confirmed
    Neither,  // an error of a device that is still there
};

// `cancelledByUs`: the I/O that ended with `error` was one this program cancelled, so its
// ERROR_OPERATION_ABORTED says nothing of the device.
[[nodiscard]] DriverErrorReading ReadDriverError(std::uint32_t error, bool cancelledByUs = false);

// Why CreateFile refused a COM port, in the kinds the programs explain. `goneConfirmed`: for an
// error read as a suspect, the system confirms that the port's device went away (its port is no
// longer listed); such a port "went away", and is not "in use by another program".
[[nodiscard]] OpenErrorKind OpenErrorKindOfWin32(std::uint32_t error, bool goneConfirmed);

}  // namespace morvane
