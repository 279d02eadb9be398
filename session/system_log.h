// A load's record in the system's own log, beside the file: the systemd journal on Linux, the
// Application event log on Windows. The tools administrators already run to gather logs from a
// line of bench PCs (journal-upload and journal-remote, rsyslog, Windows Event Forwarding) read
// the system's log, not our file.
//
// The record goes there with its fields as fields of the entry, so that a query can pick the
// loads of one receiver or one result without parsing text; the message is a one-line summary.
// The fields and their order are those of the record's line in the file; a field the file
// writes as null is left out of the journal and empty in the event log.
#pragma once

#include <string>
#include <vector>

#include "session/load_outcome.h"
#include "session/load_record.h"

namespace morvane {

// One field of the record: its key in the file ("usb_serial") and its value as text ("" where
// the file says null). Numbers read as the file writes them.
struct SLogField {
    std::string key;
    std::string value;
};

// Every field of the record in the file's order, the adapter's identity as four "usb_" fields.
[[nodiscard]] std::vector<SLogField> LoadRecordFields(const SLoadRecord& record);

// How the system's log ranks a record: its result's (load_outcome.h); an error for a word no load
// ends with.
[[nodiscard]] LogSeverity SeverityOf(const SLoadRecord& record);

// "COM33 (USB A50285BI): verified, firmware 1.21 -> 1.22, 111.2 s".
[[nodiscard]] std::string LoadRecordSummary(const SLoadRecord& record);

// The journal entry, "NAME=value" each: MESSAGE, MESSAGE_ID, PRIORITY, SYSLOG_IDENTIFIER=morvane
// and MORVANE_<KEY> for each known field of the record.
[[nodiscard]] std::vector<std::string> JournalFields(const SLoadRecord& record);

// Every record of loads carries this id in the journal (MESSAGE_ID), and event id 1 in the
// event log, under the event source "Morvane".
inline constexpr const char* kLoadRecordMessageId = "3cc623c3152b4a0a9e1c623d2ea50c87";
inline constexpr unsigned long kLoadRecordEventId = 1;
inline constexpr const char* kEventSource = "Morvane";

// The event's strings: the summary, then each field's value in order (the event's message
// names them).
[[nodiscard]] std::vector<std::string> EventLogStrings(const SLoadRecord& record);

// Sends the record to this system's log. Empty when sent, else why not; a system without a
// journal running is not an error of the load, so the programs leave it to the debug channel.
[[nodiscard]] std::string SendToSystemLog(const SLoadRecord& record);

}  // namespace morvane
