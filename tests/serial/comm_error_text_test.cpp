#include "serial/comm_error_text.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

TEST(CommErrorText, FixedOrderCutAtThirtyOneCharacters) {
    struct Row {
        std::uint32_t bits;
        const char* text;
    };
    const Row rows[] = {
        {0, ""},
        {0x0200 | 0x4000, ""},  // bits without a text add nothing
        {kCommErrorFrame | kCommErrorOverrun, " CE_FRAME CE_OVERRUN"},
        {kCommErrorOverrun | kCommErrorFrame | 0x0200, " CE_FRAME CE_OVERRUN"},
        {kCommErrorTxFull, " CE_TXFULL"},
        {kCommErrorRxParity | kCommErrorRxOver, " CE_RXOVER CE_RXPARITY"},
        {kCommErrorBreak | kCommErrorFrame | kCommErrorIo | kCommErrorMode | kCommErrorOverrun |
             kCommErrorRxOver | kCommErrorRxParity | kCommErrorTxFull,
         " CE_BREAK CE_FRAME CE_IOE CE_MO"},
        {kCommErrorBreak | kCommErrorFrame | kCommErrorIo | kCommErrorOverrun,
         " CE_BREAK CE_FRAME CE_IOE CE_OV"},
        {kCommErrorOverrun | kCommErrorRxOver | kCommErrorTxFull,
         " CE_OVERRUN CE_RXOVER CE_TXFULL"},  // exactly 31
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CommErrorText(row.bits), row.text) << std::hex << row.bits;
        EXPECT_LE(CommErrorText(row.bits).size(), 31u);
    }
}

}  // namespace
}  // namespace morvane

namespace morvane {
namespace {

// What each error a Windows driver gives says of the device behind the port, and how a refused
// open is told: the errors of a pulled adapter are a port gone; the suspects only once the system
// confirms it (otherwise a port another program holds would read as gone, and an adapter that
// works as unplugged); an abort of our own says nothing.
TEST(DriverErrorReading, APulledAdaptersErrorsAreAPortGoneTheSuspectsOnlyOnceConfirmed) {
    using enum DriverErrorReading;
    using enum OpenErrorKind;
    struct Row {
        std::uint32_t error;
        DriverErrorReading reading;
        OpenErrorKind open;           // an open refused with it
        OpenErrorKind openConfirmed;  // the same, the port no longer listed
    };
    // The codes as winerror.h numbers them: the reading must hold for what drivers return.
    const Row rows[] = {
        {1167, Gone, NoSuchDevice, NoSuchDevice},    // ERROR_DEVICE_NOT_CONNECTED
        {22, Gone, NoSuchDevice, NoSuchDevice},      // ERROR_BAD_COMMAND
        {1617, Gone, NoSuchDevice, NoSuchDevice},    // ERROR_DEVICE_REMOVED
        {433, Gone, NoSuchDevice, NoSuchDevice},     // ERROR_NO_SUCH_DEVICE
        {55, Gone, NoSuchDevice, NoSuchDevice},      // ERROR_DEV_NOT_EXIST
        {5, Suspect, Busy, NoSuchDevice},            // ERROR_ACCESS_DENIED
        {995, Suspect, Other, NoSuchDevice},         // ERROR_OPERATION_ABORTED
        {31, Suspect, Other, NoSuchDevice},          // ERROR_GEN_FAILURE
        {2, Neither, NoSuchDevice, NoSuchDevice},    // ERROR_FILE_NOT_FOUND
        {3, Neither, NoSuchDevice, NoSuchDevice},    // ERROR_PATH_NOT_FOUND
        {123, Neither, NoSuchDevice, NoSuchDevice},  // ERROR_INVALID_NAME
        {20, Neither, NoSuchDevice, NoSuchDevice},   // ERROR_BAD_UNIT
        {32, Neither, Busy, Busy},                   // ERROR_SHARING_VIOLATION
        {170, Neither, Busy, Busy},                  // ERROR_BUSY
        {1, Neither, NotSerial, NotSerial},          // ERROR_INVALID_FUNCTION
        {50, Neither, NotSerial, NotSerial},         // ERROR_NOT_SUPPORTED
        {87, Neither, Other, Other},                 // ERROR_INVALID_PARAMETER
        {1460, Neither, Other, Other},               // ERROR_TIMEOUT
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        EXPECT_EQ(ReadDriverError(row.error), row.reading);
        EXPECT_EQ(OpenErrorKindOfWin32(row.error, false), row.open);
        EXPECT_EQ(OpenErrorKindOfWin32(row.error, true), row.openConfirmed);
    }
    EXPECT_EQ(ReadDriverError(995, true), Neither);  // an abort of our own
}

}  // namespace
}  // namespace morvane
