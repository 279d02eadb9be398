#include <windows.h>

#include <vector>

#include "platform/text.h"
#include "platform/wide_text_win32.h"
#include "session/event_log_win32.h"
#include "session/system_log.h"

namespace morvane {
namespace {

class CSystemEventLogCalls final : public CEventLogCalls {
public:
    DWORD GetLastError() override { return ::GetLastError(); }
    HANDLE RegisterEventSourceW(const wchar_t* source) override {
        return ::RegisterEventSourceW(nullptr, source);
    }
    BOOL ReportEventW(HANDLE log, WORD type, DWORD eventId, WORD count,
                      const wchar_t** strings) override {
        return ::ReportEventW(log, type, 0, eventId, nullptr, count, 0, strings, nullptr);
    }
    BOOL DeregisterEventSource(HANDLE log) override { return ::DeregisterEventSource(log); }
};

WORD EventType(LogSeverity severity) {
    switch (severity) {
        case LogSeverity::Info: return EVENTLOG_INFORMATION_TYPE;
        case LogSeverity::Warning: return EVENTLOG_WARNING_TYPE;
        case LogSeverity::Error: break;
    }
    return EVENTLOG_ERROR_TYPE;
}

}  // namespace

CEventLogCalls& SystemEventLogCalls() {
    static CSystemEventLogCalls calls;
    return calls;
}

std::string ReportLoadEvent(const SLoadRecord& record, CEventLogCalls& calls) {
    // Without the source registered by the installer (the portable .zip) the system still logs
    // the event; only its message then reads as unknown, the strings are all there.
    const HANDLE log = calls.RegisterEventSourceW(WideFromUtf8(kEventSource).c_str());
    if (log == nullptr) return Format("the event log: error %lu", calls.GetLastError());
    std::vector<std::wstring> texts;
    for (const std::string& text : EventLogStrings(record)) texts.push_back(WideFromUtf8(text));
    std::vector<const wchar_t*> strings;
    strings.reserve(texts.size());
    for (const std::wstring& text : texts) strings.push_back(text.c_str());
    const BOOL reported = calls.ReportEventW(log, EventType(SeverityOf(record)), kLoadRecordEventId,
                                             static_cast<WORD>(strings.size()), strings.data());
    const DWORD error = calls.GetLastError();
    calls.DeregisterEventSource(log);
    if (!reported) return Format("the event log: error %lu", error);
    return {};
}

std::string SendToSystemLog(const SLoadRecord& record) {
    return ReportLoadEvent(record, SystemEventLogCalls());
}

}  // namespace morvane
