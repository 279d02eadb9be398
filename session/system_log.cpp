#include "session/system_log.h"

#include <cctype>
#include <nlohmann/json.hpp>

#include "platform/text.h"

namespace morvane {
namespace {

using Json = nlohmann::ordered_json;

std::string ValueText(const Json& value) {
    if (value.is_null()) return {};
    if (value.is_string()) return value.get<std::string>();
    return value.dump();
}

}  // namespace

std::vector<SLogField> LoadRecordFields(const SLoadRecord& record) {
    // Read back from the file's own line, so the two logs never tell a field differently.
    const Json line = Json::parse(LoadRecordLine(record));
    std::vector<SLogField> fields;
    for (const auto& [key, value] : line.items()) {
        if (key != "usb") {
            fields.push_back({key, ValueText(value)});
            continue;
        }
        for (const char* part : {"vid", "pid", "serial", "location"}) {
            fields.push_back({std::string("usb_") + part,
                              value.is_object() ? ValueText(value.at(part)) : std::string()});
        }
    }
    return fields;
}

LogSeverity SeverityOf(const SLoadRecord& record) {
    const LoadEndRow* row = LoadEndRowOfRecord(record.result);
    return row != nullptr ? row->severity : LogSeverity::Error;
}

std::string LoadRecordSummary(const SLoadRecord& record) {
    std::string text = record.port;
    if (record.usb && !record.usb->serial.empty()) text += " (USB " + record.usb->serial + ")";
    text += ": " + record.result;
    const std::string& before = record.firmwareBefore;
    const std::string& after = record.firmwareAfter;
    if (!before.empty() && !after.empty()) {
        text += ", firmware " + before + " -> " + after;
    } else if (!before.empty()) {
        text += ", firmware " + before + " before";
    } else if (!after.empty()) {
        text += ", firmware " + after + " after";
    }
    text += Format(", %.1f s", record.durationSeconds);
    // One line whatever a receiver named as its firmware.
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

std::vector<std::string> JournalFields(const SLoadRecord& record) {
    // The journal's priorities are syslog's: error 3, warning 4, info 6.
    static constexpr const char* kPriority[] = {"6", "4", "3"};
    std::vector<std::string> out = {
        "MESSAGE=" + LoadRecordSummary(record),
        std::string("MESSAGE_ID=") + kLoadRecordMessageId,
        std::string("PRIORITY=") + kPriority[static_cast<int>(SeverityOf(record))],
        "SYSLOG_IDENTIFIER=morvane",
    };
    for (const SLogField& field : LoadRecordFields(record)) {
        if (field.value.empty()) continue;
        std::string name = "MORVANE_";
        for (const char c : field.key)
            name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        out.push_back(name + "=" + field.value);
    }
    return out;
}

std::vector<std::string> EventLogStrings(const SLoadRecord& record) {
    std::vector<std::string> out = {LoadRecordSummary(record)};
    for (const SLogField& field : LoadRecordFields(record)) out.push_back(field.value);
    return out;
}

}  // namespace morvane
