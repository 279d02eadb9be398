// The text of a set of port error bits, as the debug line "<CE-%s>" shows it.
#include <cstdint>
#include <string>

#include "serial/comm_dev2.h"

namespace morvane {
namespace {

struct ErrorBitText {
    std::uint32_t bit;
    const char* text;
};

// The order is fixed: people reading debug logs compare lines by eye.
constexpr ErrorBitText kErrorBitTexts[] = {
    {CE_BREAK, " CE_BREAK"},       {CE_FRAME, " CE_FRAME"},     {CE_IOE, " CE_IOE"},
    {CE_MODE, " CE_MODE"},         {CE_OVERRUN, " CE_OVERRUN"}, {CE_RXOVER, " CE_RXOVER"},
    {CE_RXPARITY, " CE_RXPARITY"}, {CE_TXFULL, " CE_TXFULL"},
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
