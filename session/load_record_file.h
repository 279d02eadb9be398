// The file of the record of loads: where it is, a record appended to it, the last ones read back.
//
// Each record goes out in one append, so records of programs sharing the file never interleave.
// Nothing here prints: a record that cannot be written comes back as what went wrong, and each
// program says it in its own terms without failing the load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/load_record.h"

namespace morvane {

// Where records go: the default file, another one, or nowhere.
struct SLoadLogTarget {
    bool enabled = true;
    std::string file;        // empty: the default file of this system
    bool systemLog = false;  // also the system's log (the journal, the event log); the programs'
                             // records go there, a test's stay in its file
};

enum class RecordErrorKind : std::uint8_t {
    NoFolder,          // the default file was asked for and this system names no folder for it
    CannotMakeFolder,  // a folder above the file could not be made
    CannotOpen,        // the file could not be made or opened for appending
    CannotWrite,       // the write (or the close that completes it) failed
    PartlyWritten,     // only part of the record went out: the disk may be full
};

// Why a record was not written.
struct RecordError {
    RecordErrorKind kind = RecordErrorKind::CannotWrite;
    std::string path;        // the file, or the folder that could not be made; empty: NoFolder
    std::string systemText;  // what the system said, in its words; empty where it said nothing

    bool operator==(const RecordError&) const = default;
};

// $XDG_STATE_HOME/morvane/loads.jsonl (or ~/.local/state/morvane/loads.jsonl); on Windows
// %LOCALAPPDATA%\Morvane\loads.jsonl. Empty when the system names no such folder.
[[nodiscard]] std::string DefaultLoadLogPath();

// The file of a target; empty when records are off.
[[nodiscard]] std::string LoadLogPath(const SLoadLogTarget& target);

// Appends the record to the target's file, its folders made first. Nothing when written (or when
// records are off); otherwise what went wrong.
[[nodiscard]] std::optional<RecordError> AppendLoadRecord(const SLoadLogTarget& target,
                                                          const SLoadRecord& record);

// The last `count` records of a file, oldest first, and how many lines were not records.
struct SLoadHistory {
    bool found = false;  // the file could be read
    std::vector<SLoadRecord> records;
    std::size_t damagedLines = 0;
};
[[nodiscard]] SLoadHistory ReadLoadHistory(const std::string& path, std::size_t count);

// Appends `text` to the file at `path` in one write, making the file and its folders.
// Nothing when done, else what went wrong.
[[nodiscard]] std::optional<RecordError> AppendInOneWrite(const std::string& path,
                                                          std::string_view text);

}  // namespace morvane
