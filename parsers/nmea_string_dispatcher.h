// CNmeaStringDispatcher: frames the receiver's sentences one character at a time and hands the
// data part of each complete sentence to every parser registered for its address.
//
// A sentence is "$", an address, a comma, comma-separated data, optionally "*" and two
// upper-case hex digits, and CR (the LF after it is dropped between sentences). The framer works
// on the fixed buffers of SNmeaSentence and allocates nothing; strings are built only when a
// sentence is dispatched. Its state survives between calls, so a sentence may arrive in pieces.
#pragma once

#include <vector>

#include "parsers/nmea_string_parser.h"

namespace morvane {

enum SentenceState : int {
    Idle = 0,          // waiting for "$"
    Address = 1,       // reading the address field
    Data = 2,          // reading the data after the first comma
    ChecksumHigh = 3,  // the character after "*"
    ChecksumLow = 4,   // the second character after "*"
};

struct SNmeaSentence {
    static constexpr int kAddressSize = 16;  // at most 15 characters and the terminating zero
    static constexpr int kDataSize = 256;    // at most 255 characters and the terminating zero

    int state = Idle;
    char address[kAddressSize] = {};  // upper-cased as it arrives
    char data[kDataSize] = {};
    int checksum = 0;          // running XOR of the characters after "$"; only its low 8 bits count
    int receivedChecksum = 0;  // the value of the two characters after "*"
    int length = 0;            // characters stored so far in the field being read
};

class CNmeaStringDispatcher {
public:
    CNmeaStringDispatcher() = default;
    CNmeaStringDispatcher(const CNmeaStringDispatcher&) = delete;
    CNmeaStringDispatcher& operator=(const CNmeaStringDispatcher&) = delete;

    // Appends a parser to the end of the list; the dispatcher does not own it.
    void AddParser(CNmeaStringParser* parser) { parsers_.push_back(parser); }

    // Runs one character through the framer. When it completes a valid sentence, the parsers
    // have seen it before this returns.
    void PutChar(char character) noexcept;

    // The sentence being assembled, for tests that look at (or upset) the framer's state.
    [[nodiscard]] const SNmeaSentence& GetSentence() const { return sentence_; }
    SNmeaSentence& SentenceForTesting() { return sentence_; }

private:
    void Dispatch() noexcept;

    std::vector<CNmeaStringParser*> parsers_;  // registration order, not owned
    SNmeaSentence sentence_;
};

}  // namespace morvane
