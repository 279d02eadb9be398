#include "parsers/nmea_string_parser.h"

namespace morvane {

void CNmeaStringParser::Parse(std::string /*data*/) {}

void CNmeaStringParser::Tokenize(const std::string& text, CStringArray& fields,
                                 const std::string& delimiters) {
    std::size_t start = text.find_first_not_of(delimiters);
    while (start != std::string::npos) {
        std::size_t end = text.find_first_of(delimiters, start);
        if (end == std::string::npos) end = text.size();
        fields.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(delimiters, end);
    }
}

}  // namespace morvane
