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
