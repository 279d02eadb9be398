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
