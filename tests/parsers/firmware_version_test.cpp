#include <gtest/gtest.h>

#include <string>

#include "parsers/command_processor.h"

namespace morvane {
namespace {

struct VersionRow {
    const char* name;
    std::string chunk;
    bool detected;
    std::string text;
};

TEST(FirmwareVersion, PatternsLimitsAndStopCharacters) {
    const VersionRow rows[] = {
        // Stage 1: the copy starts at the blank that ends the pattern and stops before LF.
        {"Kavrel, 2.31", "Kavrel Version 2.31\r\n", true, " 2.31"},
        {"Kavrel, 2.3 keeps the CR", "Kavrel Version 2.3\r\n", true, " 2.3\r"},
        {"Kavrel, LF right away", "Kavrel Version \n", true, " "},
        {"Brenna", "Brenna Gyro Version 4.1\n", true, " 4.1"},
        {"Brenna before Plomb", "Plomb Version 3.1\nBrenna Gyro Version 4.1\n", true, " 4.1"},
        {"Plomb at the end of the chunk", "Plomb Version 3", true, " 3"},
        // Stage 2 rows.
        {"QMT", "$>JVERSION,QMT,1.5,x\r\n", true, "1.5"},
        {"QMT at the end of the chunk", "$>JVERSION,QMT,", true, ""},
        {"K415", "$>JVERSION,K415,2.0,\r\n", true, "2.0"},
        {"W6: one character and a comma first", "$W6,VERSION,X,1.22,\r\n", true, "1.22"},
        {"W6 ends before its start", "$W6,VERSION,X", true, ""},
        {"MIRDA, limit 10", "$MIRDA,VERSION,ABCDEFGHIJKLM,", true, "ABCDEFGHIJ"},
        {"KOB: ten characters first",
         "KOB 0123456789"
         "4.5\r\n",
         true, "4.5\r"},
        {"KOB, limit 5",
         "KOB 0123456789"
         "12345678\n",
         true, "12345"},
        {"KOB ends before its start", "KOB 012345", true, ""},
        // The order of the table decides, not the place in the chunk.
        {"KOB before Kavrel",
         "Kavrel Version 1.0\nKOB 0123456789"
         "2.0\n",
         true, "2.0"},
        {"Kavrel before QMT", "$>JVERSION,QMT,1.5,Kavrel Version 2.0\n", true, " 2.0"},
        // Both stages share one copy and one count.
        {"Plomb then K415", "Plomb Version 3.1\n$>JVERSION,K415,2.0,", true, " 3.12.0"},
        {"stage 1 full, Kavrel adds nothing", "Brenna Gyro Version 1.2345\nKavrel Version 9.9\n",
         true, " 1.23"},
        {"stage 1 full, MIRDA goes on to 10", "Plomb Version 1.234\n$MIRDA,VERSION,ABCDEFGH,", true,
         " 1.23ABCDE"},
        // Misses.
        {"none of the patterns", "$>JI,1,2,3,4,5,6,7\r\n", false, ""},
        {"case matters", "kavrel version 2.31\r\n", false, ""},
        {"empty chunk", "", false, ""},
    };
    for (const VersionRow& row : rows) {
        SLoaderState state;
        CCommandProcessor processor(&state);
        processor.CheckFirmwareVersion(row.chunk);
        EXPECT_EQ(state.GetFirmwareDetected(), row.detected) << row.name;
        EXPECT_EQ(state.GetFirmwareText(), row.text) << row.name;
        EXPECT_EQ(state.IsChanged(), row.detected) << row.name;
    }
}

TEST(FirmwareVersion, LastMatchingChunkDecidesAndAMissClearsNothing) {
    SLoaderState state;
    CCommandProcessor processor(&state);
    processor.OnReceive("Kavrel Version 2.31\r\n");
    processor.OnReceive("$>JVERSION,QMT,1.5,");
    EXPECT_EQ(state.GetFirmwareText(), "1.5");

    state.SetFirmwareDetected(false);
    state.TakeChanged();
    processor.OnReceive("nothing here\r\n");
    EXPECT_FALSE(state.GetFirmwareDetected());
    EXPECT_EQ(state.GetFirmwareText(), "1.5");
    EXPECT_FALSE(state.TakeChanged());
}

TEST(FirmwareVersion, OneReadCarriesBothTheAnswerAndTheVersion) {
    SLoaderState state;
    CCommandProcessor processor(&state);
    processor.OnReceive("$>JI,1,2,3,4,5,6,7\r\n$W6,VERSION,A,1.22,B\r\n");
    EXPECT_TRUE(state.GetReplySeen());
    EXPECT_TRUE(state.GetFirmwareDetected());
    EXPECT_EQ(state.GetFirmwareText(), "1.22");
}

}  // namespace
}  // namespace morvane
