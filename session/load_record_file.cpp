#include "session/load_record_file.h"

#include <deque>
#include <filesystem>
#include <fstream>

namespace morvane {

std::string LoadLogPath(const SLoadLogTarget& target) {
    if (!target.enabled) return {};
    return target.file.empty() ? DefaultLoadLogPath() : target.file;
}

std::optional<RecordError> AppendLoadRecord(const SLoadLogTarget& target,
                                            const SLoadRecord& record) {
    if (!target.enabled) return std::nullopt;
    const std::string path = LoadLogPath(target);
    if (path.empty()) return RecordError{RecordErrorKind::NoFolder, {}, {}};
    return AppendInOneWrite(path, LoadRecordLine(record));
}

SLoadHistory ReadLoadHistory(const std::string& path, std::size_t count) {
    SLoadHistory history;
    // The path is UTF-8 on every system: Windows opens it by its wide name.
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())),
                     std::ios::binary);
    if (!in) return history;
    history.found = true;
    std::deque<SLoadRecord> last;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::optional<SLoadRecord> record = ParseLoadRecord(line);
        if (!record) {
            ++history.damagedLines;
            continue;
        }
        last.push_back(std::move(*record));
        if (last.size() > count) last.pop_front();
    }
    history.records.assign(std::make_move_iterator(last.begin()),
                           std::make_move_iterator(last.end()));
    return history;
}

}  // namespace morvane
