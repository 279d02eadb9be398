#include "parsers/nmea_string_dispatcher.h"

#include <exception>
#include <stdexcept>
#include <string>

#include "platform/debug.h"

namespace morvane {
namespace {

constexpr char kStart = '$';
constexpr char kChecksumMark = '*';
constexpr char kFieldSeparator = ',';
constexpr char kCR = '\r';

// A value no 8-bit checksum can have.
constexpr int kNoChecksum = -1;

// The receiver writes its checksum as two upper-case hex digits; any other character fails the
// test. Taken alone, code - 48 / code - 55 would let some other characters through once the two
// digits are OR-ed together: "6f" would pass for 6F, "1a" for 3A, "0:" for 03.
int DigitValue(char character) {
    const int code = static_cast<unsigned char>(character);
    const bool upperHex =
        (character >= '0' && character <= '9') || (character >= 'A' && character <= 'F');
    if (!upperHex) return kNoChecksum;
    return code <= '9' ? code - 48 : code - 55;
}

char UpperAscii(char character) {
    return (character >= 'a' && character <= 'z') ? static_cast<char>(character - 'a' + 'A')
                                                  : character;
}

}  // namespace

void CNmeaStringDispatcher::PutChar(char character) noexcept {
    SNmeaSentence& s = sentence_;
    const int code = static_cast<unsigned char>(character);

    switch (s.state) {
        case Idle:
            // Everything between sentences, the LF after each one included, is dropped here.
            if (character == kStart) {
                s.checksum = 0;
                s.length = 0;
                s.address[0] = '\0';
                s.data[0] = '\0';
                s.state = Address;
            }
            return;

        case Address:
            if (character == kFieldSeparator) {
                s.address[s.length] = '\0';
                s.checksum ^= code;
                s.length = 0;
                s.state = Data;
            } else if (character == kChecksumMark) {
                s.address[s.length] = '\0';
                s.state = ChecksumHigh;
            } else if (character == kCR) {
                s.address[s.length] = '\0';
                s.state = Idle;
                Dispatch();
            } else {
                s.address[s.length++] = UpperAscii(character);
                s.checksum ^= code;  // the checksum covers the address as it was sent
                if (s.length >= SNmeaSentence::kAddressSize) s.state = Idle;
            }
            return;

        case Data:
            if (character == kChecksumMark) {
                s.data[s.length] = '\0';
                s.state = ChecksumHigh;
            } else if (character == kCR) {
                s.data[s.length] = '\0';
                s.state = Idle;
                Dispatch();
            } else {
                // Commas, a "$" and a lone LF are data like any other character.
                s.data[s.length++] = character;
                s.checksum ^= code;
                if (s.length >= SNmeaSentence::kDataSize) s.state = Idle;
            }
            return;

        case ChecksumHigh: {
            const int digit = DigitValue(character);
            s.receivedChecksum = digit == kNoChecksum ? kNoChecksum : digit * 16;
            s.state = ChecksumLow;
            return;
        }

        case ChecksumLow: {
            const int digit = DigitValue(character);
            s.receivedChecksum = (digit == kNoChecksum || s.receivedChecksum == kNoChecksum)
                                     ? kNoChecksum
                                     : (s.receivedChecksum | digit);
            s.state = Idle;
            // A sentence with a checksum is complete with its second digit; the CR LF after it
            // are dropped in Idle.
            if (s.receivedChecksum == (s.checksum & 0xFF)) Dispatch();
            return;
        }

        default: s.state = Idle; return;
    }
}

void CNmeaStringDispatcher::Dispatch() noexcept {
    if (parsers_.empty()) return;
    try {
        // Built from the zero-terminated buffers: a zero byte received in a field cuts it there.
        const std::string address(sentence_.address);
        for (CNmeaStringParser* parser : parsers_) {
            if (parser->GetHeader() != address) continue;
            try {
                parser->Parse(std::string(sentence_.data));
            } catch (const std::out_of_range&) {
                // The reply has fewer fields than the parser reads: what it stored before the
                // missing field stays, the rest of that reply is given up.
            }
        }
    } catch (const std::exception& e) {
        // Out of memory while building the strings: lose this sentence, keep the load going.
        OutputDebugStringA("<sentence dropped: ");
        OutputDebugStringA(e.what());
        OutputDebugStringA(">\n");
    }
}

}  // namespace morvane
