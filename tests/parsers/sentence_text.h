// Builds receiver sentences for the parser tests.
#pragma once

#include <string>

#include "platform/text.h"

namespace morvane::testing {

// The 8-bit XOR of the characters between "$" and "*".
inline int ChecksumOf(const std::string& body) {
    int sum = 0;
    for (const char c : body) sum ^= static_cast<unsigned char>(c);
    return sum;
}

// "$" + body + "*" + two hex digits, upper-case unless asked otherwise; no line end.
inline std::string WithChecksum(const std::string& body, bool lowerCase = false) {
    return "$" + body + "*" + Format(lowerCase ? "%02x" : "%02X", ChecksumOf(body));
}

}  // namespace morvane::testing
