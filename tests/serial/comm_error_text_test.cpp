#include <gtest/gtest.h>

#include "serial/comm_dev2.h"

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
        {CE_FRAME | CE_OVERRUN, " CE_FRAME CE_OVERRUN"},
        {CE_OVERRUN | CE_FRAME | 0x0200, " CE_FRAME CE_OVERRUN"},
        {CE_TXFULL, " CE_TXFULL"},
        {CE_RXPARITY | CE_RXOVER, " CE_RXOVER CE_RXPARITY"},
        {CE_BREAK | CE_FRAME | CE_IOE | CE_MODE | CE_OVERRUN | CE_RXOVER | CE_RXPARITY | CE_TXFULL,
         " CE_BREAK CE_FRAME CE_IOE CE_MO"},
        {CE_BREAK | CE_FRAME | CE_IOE | CE_OVERRUN, " CE_BREAK CE_FRAME CE_IOE CE_OV"},
        {CE_OVERRUN | CE_RXOVER | CE_TXFULL, " CE_OVERRUN CE_RXOVER CE_TXFULL"},  // exactly 31
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CommErrorText(row.bits), row.text) << std::hex << row.bits;
        EXPECT_LE(CommErrorText(row.bits).size(), 31u);
    }
}

}  // namespace
}  // namespace morvane
