#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/event_log_win32.h"
#include "session/system_log.h"

namespace morvane {
namespace {

std::string Narrow(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

// Keeps what a load reported; the source can be refused.
class CRecordingEventLog final : public CEventLogCalls {
public:
    bool refuse = false;
    std::string source;
    WORD type = 0;
    DWORD eventId = 0;
    std::vector<std::string> strings;
    int open = 0;

    DWORD GetLastError() override { return refuse ? ERROR_ACCESS_DENIED : ERROR_SUCCESS; }
    HANDLE RegisterEventSourceW(const wchar_t* name) override {
        source = Narrow(name);
        if (refuse) return nullptr;
        ++open;
        return reinterpret_cast<HANDLE>(this);
    }
    BOOL ReportEventW(HANDLE, WORD t, DWORD id, WORD count, const wchar_t** texts) override {
        type = t;
        eventId = id;
        for (WORD i = 0; i < count; ++i) strings.push_back(Narrow(texts[i]));
        return TRUE;
    }
    BOOL DeregisterEventSource(HANDLE) override {
        --open;
        return TRUE;
    }
};

TEST(SystemLogWin32, ARecordIsOneEventOfTheSource) {
    struct Row {
        const char* result;
        WORD type;
    };
    const Row rows[] = {
        {"verified", EVENTLOG_INFORMATION_TYPE},
        {"open-failed", EVENTLOG_WARNING_TYPE},
        {"not-verified", EVENTLOG_ERROR_TYPE},
    };
    for (const Row& r : rows) {
        SLoadRecord record;
        record.port = "COM33";
        record.result = r.result;
        record.firmwareBefore = "1.21";
        record.host = "BENCH-3 \xc3\xa9";  // UTF-8 reaches the log as the same text
        CRecordingEventLog log;
        EXPECT_EQ(ReportLoadEvent(record, log), "") << r.result;
        EXPECT_EQ(log.source, "Morvane");
        EXPECT_EQ(log.type, r.type) << r.result;
        EXPECT_EQ(log.eventId, kLoadRecordEventId);
        // The event's message names twenty strings: the summary and the nineteen fields.
        ASSERT_EQ(log.strings.size(), 20u);
        EXPECT_EQ(log.strings, EventLogStrings(record));
        EXPECT_EQ(log.open, 0) << "the source is let go";
    }

    CRecordingEventLog refused;
    refused.refuse = true;
    EXPECT_EQ(ReportLoadEvent(SLoadRecord{}, refused), "the event log: error 5");
}

}  // namespace
}  // namespace morvane
