// CNmeaStringParser: the base of the reply parsers, and the field splitter they share.
//
// A parser answers to one address field (its header) and writes what it reads straight into
// the load progress record; it has no result of its own. Fields are read by number with
// CStringArray::at, so a reply that is shorter than its parser expects ends that parse with
// std::out_of_range; the dispatcher catches it and gives up that one reply.
#pragma once

#include <string>

#include "platform/text.h"
#include "record/loader_state.h"

namespace morvane {

class CNmeaStringParser {
public:
    CNmeaStringParser() = default;
    CNmeaStringParser(const CNmeaStringParser&) = delete;
    CNmeaStringParser& operator=(const CNmeaStringParser&) = delete;

    [[nodiscard]] std::string GetHeader() const { return header_; }
    void SetLoaderState(SLoaderState* state) { loaderState_ = state; }

    // Receives the data part of a sentence whose address equals the header: without the comma
    // after the address, without "*" and the checksum. The base ignores it.
    virtual void Parse(std::string data);

    // Appends to `fields` every maximal run of characters of `text` that holds none of
    // `delimiters`. Empty fields vanish, so ",,a,,b," gives "a" and "b". `fields` is not
    // cleared first.
    static void Tokenize(const std::string& text, CStringArray& fields,
                         const std::string& delimiters);

protected:
    // Parsers live as members of their command processor and are destroyed by their exact type;
    // nobody deletes one through this base.
    ~CNmeaStringParser() = default;

    void SetHeader(const std::string& newHeader) { header_ = newHeader; }

    std::string header_;
    SLoaderState* loaderState_ = nullptr;
};

}  // namespace morvane
