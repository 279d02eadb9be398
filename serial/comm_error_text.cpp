#include "serial/comm_error_text.h"

namespace morvane {
namespace {

struct ErrorBitText {
    std::uint32_t bit;
    const char* text;
};

// The order is fixed: people reading debug logs compare lines by eye.
constexpr ErrorBitText kErrorBitTexts[] = {
    {kCommErrorBreak, " CE_BREAK"},
    {kCommErrorFrame, " CE_FRAME"},
    {kCommErrorIo, " CE_IOE"},
    {kCommErrorMode, " CE_MODE"},
    {kCommErrorOverrun, " CE_OVERRUN"},
    {kCommErrorRxOver, " CE_RXOVER"},
    {kCommErrorRxParity, " CE_RXPARITY"},
    {kCommErrorTxFull, " CE_TXFULL"},
};

// The text fits a 32-byte buffer with its terminator.
constexpr std::size_t kMaxErrorTextLength = 31;

}  // namespace

std::string CommErrorText(std::uint32_t errors) {
    std::string text;
    for (const ErrorBitText& entry : kErrorBitTexts) {
        if ((errors & entry.bit) == 0) continue;
        text += entry.text;
        if (text.size() >= kMaxErrorTextLength) {
            text.resize(kMaxErrorTextLength);
            break;
        }
    }
    return text;
}

}  // namespace morvane

namespace morvane {

// From what drivers have been seen to return once their adapter was pulled out (usbser gives
// ERROR_DEVICE_NOT_CONNECTED on writes; others ERROR_BAD_COMMAND on every call, or the removal
// codes by name). Access denied on a handle already open, and an abort nobody asked for, come
// after pulls too, but also from a port another program fiddles with: they count once the system
// confirms it. ERROR_GEN_FAILURE comes from a suspended device that still works as well.
DriverErrorReading ReadDriverError(std::uint32_t error, bool cancelledByUs) {
    switch (error) {
        case kWinErrorDeviceNotConnected:
        case kWinErrorBadCommand:
        case kWinErrorDeviceRemoved:
        case kWinErrorNoSuchDevice:
        case kWinErrorDevNotExist: return DriverErrorReading::Gone;
        case kWinErrorOperationAborted:
            return cancelledByUs ? DriverErrorReading::Neither : DriverErrorReading::Suspect;
        case kWinErrorAccessDenied:
        case kWinErrorGenFailure: return DriverErrorReading::Suspect;
        default: return DriverErrorReading::Neither;
    }
}

OpenErrorKind OpenErrorKindOfWin32(std::uint32_t error, bool goneConfirmed) {
    const DriverErrorReading reading = ReadDriverError(error);
    if (reading == DriverErrorReading::Gone ||
        (reading == DriverErrorReading::Suspect && goneConfirmed))
        return OpenErrorKind::NoSuchDevice;
    switch (error) {
        case kWinErrorFileNotFound:
        case kWinErrorPathNotFound:
        case kWinErrorInvalidName:
        case kWinErrorBadUnit: return OpenErrorKind::NoSuchDevice;
        // Windows gives one program at a time a COM port; the next one is denied access.
        case kWinErrorAccessDenied:
        case kWinErrorSharingViolation:
        case kWinErrorBusy: return OpenErrorKind::Busy;
        case kWinErrorInvalidFunction:
        case kWinErrorNotSupported: return OpenErrorKind::NotSerial;
        default: return OpenErrorKind::Other;
    }
}

}  // namespace morvane
