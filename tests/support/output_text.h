// What a program wrote, looked into: a piece of its text, and its lines of JSON events.
#pragma once

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace morvane::testing {

inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Every line an event: a line that is not JSON throws. With a kind, only the events of that kind,
// and other lines are passed over.
inline std::vector<nlohmann::json> Events(const std::string& text, const std::string& kind = "") {
    std::vector<nlohmann::json> events;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        nlohmann::json e = nlohmann::json::parse(line, nullptr, kind.empty());
        if (kind.empty() || (!e.is_discarded() && e.value("event", "") == kind)) {
            events.push_back(std::move(e));
        }
    }
    return events;
}

}  // namespace morvane::testing
