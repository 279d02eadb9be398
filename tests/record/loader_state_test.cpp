#include "record/loader_state.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "record/loader_status.h"

namespace morvane {
namespace {

TEST(LoaderState, StartsAsTheWindowExpects) {
    SLoaderState s;
    EXPECT_FALSE(s.GetLoadRunning());
    EXPECT_FALSE(s.IsChanged());
    EXPECT_FALSE(s.GetFirmwareDetected());
    EXPECT_EQ(s.GetTotalBytes(), 0u);
    EXPECT_EQ(s.GetSentBytes(), 0u);
    EXPECT_EQ(s.GetThisPort(), 4);
    EXPECT_EQ(s.GetStartPort(), -1);
    EXPECT_EQ(s.GetWaasPrn1(), -1);
    EXPECT_TRUE(s.GetFirmwareText().empty());
}

TEST(LoaderState, WhichSettersRaiseChanged) {
    struct Row {
        const char* name;
        std::function<void(SLoaderState&)> set;
        bool raises;
    };
    const Row rows[] = {
        {"baudRate", [](SLoaderState& s) { s.SetBaudRate(19200); }, true},
        {"comPort", [](SLoaderState& s) { s.SetComPort(3); }, true},
        {"replySeen", [](SLoaderState& s) { s.SetReplySeen(true); }, true},
        {"loadRunning", [](SLoaderState& s) { s.SetLoadRunning(true); }, true},
        {"status", [](SLoaderState& s) { s.SetStatus(STATUS_CONNECTED); }, true},
        {"firmwareDetected", [](SLoaderState& s) { s.SetFirmwareDetected(true); }, true},
        {"totalBytes", [](SLoaderState& s) { s.SetTotalBytes(10); }, true},
        {"sentBytes", [](SLoaderState& s) { s.SetSentBytes(5); }, true},
        {"blockDelayMs", [](SLoaderState& s) { s.SetBlockDelayMs(20); }, true},
        {"remainingSeconds", [](SLoaderState& s) { s.SetRemainingSeconds(125); }, true},
        {"appName1", [](SLoaderState& s) { s.SetAppName1("A"); }, true},
        {"appName2", [](SLoaderState& s) { s.SetAppName2("B"); }, true},
        {"firstAppName2", [](SLoaderState& s) { s.SetFirstAppName2("B"); }, true},
        {"appsSeen", [](SLoaderState& s) { s.SetAppsSeen(true); }, true},
        {"waasPrn1", [](SLoaderState& s) { s.SetWaasPrn1(120); }, true},
        {"waasPrn2", [](SLoaderState& s) { s.SetWaasPrn2(138); }, true},
        {"waasPrnsSeen", [](SLoaderState& s) { s.SetWaasPrnsSeen(true); }, true},
        {"firmwareText", [](SLoaderState& s) { s.SetFirmwareText(" 2.31"); }, false},
        {"startPort", [](SLoaderState& s) { s.SetStartPort(7); }, false},
        {"thisPort", [](SLoaderState& s) { s.SetThisPort(1); }, false},
        {"loaderVersion", [](SLoaderState& s) { s.SetLoaderVersion("1.0"); }, false},
        {"loaderVersionSeen", [](SLoaderState& s) { s.SetLoaderVersionSeen(true); }, false},
    };
    for (const Row& row : rows) {
        SLoaderState s;
        row.set(s);
        EXPECT_EQ(s.TakeChanged(), row.raises) << row.name;
        EXPECT_FALSE(s.TakeChanged()) << row.name << ": taken once, then lowered";
    }
}

TEST(LoaderState, ResetClearsTheLoadButKeepsItsOutcome) {
    SLoaderState s;
    s.SetStartPort(7);
    s.SetComPort(5);
    s.SetBaudRate(19200);
    s.SetBlockDelayMs(20);
    s.SetLoadRunning(true);
    s.SetStatus(STATUS_FIRMWARE_COMPLETE);
    s.SetReplySeen(true);
    s.SetFirmwareDetected(true);
    s.SetFirmwareText("1.22");
    s.SetTotalBytes(136352);
    s.SetSentBytes(136352);
    s.SetRemainingSeconds(3);
    s.SetThisPort(1);
    s.SetWaasPrn1(120);
    s.SetWaasPrn2(138);
    s.SetWaasPrnsSeen(true);
    s.SetAppsSeen(true);
    s.SetAppName1("A");
    s.SetAppName2("B");
    s.SetFirstAppName2("B0");
    s.SetLoaderVersion("2.0");
    s.SetLoaderVersionSeen(true);

    s.Reset();

    EXPECT_FALSE(s.GetLoadRunning());
    EXPECT_FALSE(s.IsChanged());
    EXPECT_FALSE(s.GetFirmwareDetected());
    EXPECT_FALSE(s.GetAppsSeen());
    EXPECT_FALSE(s.GetWaasPrnsSeen());
    EXPECT_FALSE(s.GetLoaderVersionSeen());
    EXPECT_EQ(s.GetTotalBytes(), 0u);
    EXPECT_EQ(s.GetSentBytes(), 0u);
    EXPECT_EQ(s.GetThisPort(), 4);
    EXPECT_EQ(s.GetWaasPrn1(), -1);
    // Kept: what the window still shows of the last load, and the choices made before it.
    EXPECT_EQ(s.GetStatus(), STATUS_FIRMWARE_COMPLETE);
    EXPECT_EQ(s.GetRemainingSeconds(), 3);
    EXPECT_EQ(s.GetFirmwareText(), "1.22");
    EXPECT_TRUE(s.GetReplySeen());
    EXPECT_EQ(s.GetStartPort(), 7);
    EXPECT_EQ(s.GetComPort(), 5);
    EXPECT_EQ(s.GetBaudRate(), 19200u);
    EXPECT_EQ(s.GetBlockDelayMs(), 20u);
    EXPECT_EQ(s.GetWaasPrn2(), 138);
    EXPECT_EQ(s.GetAppName1(), "A");
    EXPECT_EQ(s.GetAppName2(), "B");
    EXPECT_EQ(s.GetFirstAppName2(), "B0");
    EXPECT_EQ(s.GetLoaderVersion(), "2.0");
}

// One writer (the load worker) and one reader (the window's timer) at full speed: run under
// ThreadSanitizer, this proves the record needs no lock of its callers. The reader must also
// never see a text that is neither the old nor the new one.
TEST(LoaderState, ConcurrentWriterAndReader) {
    SLoaderState s;
    s.SetLoadRunning(true);
    const std::string texts[] = {std::string(40, 'a'), std::string(3, 'b')};
    constexpr int kRounds = 20000;

    std::thread writer([&] {
        for (int i = 0; i < kRounds; ++i) {
            s.SetSentBytes(static_cast<std::uint32_t>(i));
            s.SetRemainingSeconds(kRounds - i);
            s.SetStatus(i % 2 == 0 ? STATUS_UPDATING_FIRMWARE : STATUS_CONNECTED);
            s.SetFirmwareText(texts[i % 2]);
            s.SetAppName1(texts[(i + 1) % 2]);
        }
    });
    int passes = 0;
    std::uint32_t lastSent = 0;
    bool monotonic = true;
    bool textsWhole = true;
    while (passes < kRounds) {
        if (s.TakeChanged()) {
            const std::uint32_t sent = s.GetSentBytes();
            if (sent < lastSent) monotonic = false;
            lastSent = sent;
            const std::string fw = s.GetFirmwareText();
            const std::string app = s.GetAppName1();
            if (!fw.empty() && fw != texts[0] && fw != texts[1]) textsWhole = false;
            if (!app.empty() && app != texts[0] && app != texts[1]) textsWhole = false;
        }
        ++passes;
    }
    writer.join();
    EXPECT_TRUE(monotonic);
    EXPECT_TRUE(textsWhole);
    EXPECT_EQ(s.GetSentBytes(), static_cast<std::uint32_t>(kRounds - 1));
}

}  // namespace
}  // namespace morvane
