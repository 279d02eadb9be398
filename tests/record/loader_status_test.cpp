#include "record/loader_status.h"

#include <gtest/gtest.h>

#include <utility>

namespace morvane {
namespace {

TEST(LoaderStatus, TextsOfTheCodesTheLoadersWrite) {
    struct Row {
        std::int32_t code;
        const char* text;
    };
    const Row rows[] = {
        {STATUS_NOT_CONNECTED, "Status: Not Connected"},
        {STATUS_DETECTING_BAUD, "Status: Detecting Baud Rate"},
        {STATUS_CONNECTED, "Status: Connected"},
        {STATUS_INVALID_PORT, "Status: Can't Connect, Invalid COM Port"},
        {STATUS_CODE_4, "Status: Updating Firmware"},
        {STATUS_DETECTING_FIRMWARE, "Status: Detecting Firmware"},
        {STATUS_IMAGE_NOT_FOUND, "Status: Firmware Image File Not Found"},
        {STATUS_FIRMWARE_COMPLETE, "Status: Firmware Update Complete"},
        {STATUS_UPDATING_FIRMWARE, "Status: Updating Firmware"},
        {STATUS_DEVICE_NOT_DETECTED, "Status: Device Not Detected"},
        {STATUS_WAITING, "Status: Waiting.."},
        {STATUS_BLOCK_FAILED, "Status: Firmware Block Failed"},
        {STATUS_CHECKING_ACTIVE_APP, "Checking Active Application"},
        {STATUS_WAAS_COMPLETE, "WAAS Update Complete."},
        {STATUS_RESET_DEVICE, "Status: Please reset the device now"},
    };
    for (const Row& row : rows) EXPECT_EQ(StatusText(row.code), row.text) << row.code;
}

TEST(LoaderStatus, EveryCodeOfTheTableAndNoOther) {
    int known = 0;
    for (std::int32_t code = -5; code <= 45; ++code) {
        const bool inTable = code >= 0 && code <= 40 && code != 23 && code != 24;
        EXPECT_EQ(StatusText(code).has_value(), inTable) << code;
        known += StatusText(code).has_value() ? 1 : 0;
    }
    EXPECT_EQ(known, 39);
}

TEST(LoaderStatus, FurtherLinesOfACode) {
    struct Row {
        std::int32_t code;
        FirmwareLineForm firmware;
        bool apps;
        bool waas;
    };
    const Row rows[] = {
        {STATUS_CONNECTED, FirmwareLineForm::A, false, false},
        {STATUS_DETECTING_FIRMWARE, FirmwareLineForm::B, false, false},
        {STATUS_CHECKING_ACTIVE_APP, FirmwareLineForm::None, true, true},
        {STATUS_CHECKING_INACTIVE_APP, FirmwareLineForm::None, true, true},
        {STATUS_SWITCHING_APP, FirmwareLineForm::None, true, false},
        {STATUS_UPDATING_SATELLITES, FirmwareLineForm::None, false, true},
        {STATUS_RESTORING_SETTINGS, FirmwareLineForm::A, true, true},
        {STATUS_FIRMWARE_COMPLETE, FirmwareLineForm::None, false, false},
    };
    for (const Row& row : rows) {
        const auto lines = LinesForStatus(row.code);
        ASSERT_TRUE(lines) << row.code;
        EXPECT_EQ(lines->firmwareLine, row.firmware) << row.code;
        EXPECT_EQ(lines->applicationsLine, row.apps) << row.code;
        EXPECT_EQ(lines->waasLine, row.waas) << row.code;
    }
}

TEST(LoaderStatus, RemainingTimeAndByteCounterTexts) {
    const std::pair<std::int32_t, const char*> rows[] = {
        {0, "Remaining Time: 0 seconds"},
        {90, "Remaining Time: 90 seconds"},
        {91, "Remaining Time: 1 minutes 31 seconds"},
        {125, "Remaining Time: 2 minutes 5 seconds"},
        {120, "Remaining Time: 2 minutes 0 seconds"},
        {343, "Remaining Time: 5 minutes 43 seconds"},
        // A negative estimate reads as a huge unsigned number, as in the window.
        {-1, "Remaining Time: 71582788 minutes 15 seconds"},
    };
    for (const auto& [seconds, text] : rows) EXPECT_EQ(RemainingTimeText(seconds), text) << seconds;
    EXPECT_EQ(ByteCounterText(68176, 136352), "Progress: 68176/136352");
}

}  // namespace
}  // namespace morvane
