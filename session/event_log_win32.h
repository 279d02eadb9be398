// The Win32 calls that put a record of a load into the Application event log, behind an
// interface of our own: the system's by default, a recording stand-in in tests (the event log
// under Wine keeps nothing to read back).
#pragma once

#include <windows.h>

#include <string>

#include "session/load_record.h"

namespace morvane {

class CEventLogCalls {
public:
    virtual ~CEventLogCalls() = default;
    virtual DWORD GetLastError() = 0;
    // RegisterEventSourceW on this computer.
    virtual HANDLE RegisterEventSourceW(const wchar_t* source) = 0;
    // ReportEventW with no category, no user and no raw data.
    virtual BOOL ReportEventW(HANDLE log, WORD type, DWORD eventId, WORD count,
                              const wchar_t** strings) = 0;
    virtual BOOL DeregisterEventSource(HANDLE log) = 0;
};

// The system's own calls.
[[nodiscard]] CEventLogCalls& SystemEventLogCalls();

// The record as one event of the source "Morvane": its type by the record's severity, the
// summary and the fields as the event's strings. Empty when reported, else why not.
[[nodiscard]] std::string ReportLoadEvent(const SLoadRecord& record, CEventLogCalls& calls);

}  // namespace morvane
