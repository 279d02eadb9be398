// A strict reader of Intel HEX text for tests: it accepts only the form the device receives
// (":" then upper-case hex, a byte count that matches the data, a valid checksum, CR LF line
// ends) and says what is wrong with anything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace morvane::test {

enum class IhexError {
    None,
    NoColon,          // the line does not start with ':'
    BadDigit,         // a character that is not 0-9 or A-F (lower case included)
    BadLength,        // odd digit count, too short for a record, or not what the byte count says
    BadChecksum,      // the bytes do not sum to 0 modulo 256
};

struct IhexRecord {
    std::uint8_t type = 0;
    std::uint16_t offset = 0;
    std::vector<std::uint8_t> data;
};

struct IhexParse {
    IhexError error = IhexError::None;
    IhexRecord record;
};

// Parses one record, its line end already removed.
inline IhexParse ParseIhexRecord(std::string_view line) {
    IhexParse out;
    if (line.empty() || line[0] != ':') {
        out.error = IhexError::NoColon;
        return out;
    }
    const std::string_view digits = line.substr(1);
    std::vector<std::uint8_t> bytes;
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (char c : digits) {
        if (value(c) < 0) {
            out.error = IhexError::BadDigit;
            return out;
        }
    }
    // Count, offset (2), type, checksum: five bytes at the least.
    if (digits.size() % 2 != 0 || digits.size() < 10) {
        out.error = IhexError::BadLength;
        return out;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(value(digits[i]) * 16 + value(digits[i + 1])));
    }
    if (bytes.size() != std::size_t{bytes[0]} + 5) {
        out.error = IhexError::BadLength;
        return out;
    }
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    if (sum % 256 != 0) {
        out.error = IhexError::BadChecksum;
        return out;
    }
    out.record.offset = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
    out.record.type = bytes[3];
    out.record.data.assign(bytes.begin() + 4, bytes.end() - 1);
    return out;
}

// Cuts a text into its lines, each of which must end in CR LF (the last one too); a lone CR or
// LF, or an unended last line, gives nothing.
inline std::optional<std::vector<std::string_view>> SplitCrLfLines(std::span<const std::uint8_t> text) {
    const std::string_view all(reinterpret_cast<const char*>(text.data()), text.size());
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < all.size()) {
        const std::size_t end = all.find_first_of("\r\n", start);
        if (end == std::string_view::npos || all.compare(end, 2, "\r\n") != 0) return std::nullopt;
        lines.push_back(all.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

}  // namespace morvane::test
