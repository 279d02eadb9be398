#include "serial/com_port_tidy.h"

#include <gtest/gtest.h>

namespace morvane {
namespace {

SSerInfo Record(const char* portName, const char* friendlyName, const char* description) {
    SSerInfo port;
    port.devicePath = "\\\\.\\X";
    port.portName = portName;
    port.friendlyName = friendlyName;
    port.description = description;
    return port;
}

TEST(ComPortTidy, FillsNamesAsEachMethodNeeds) {
    struct Row {
        const char* what;
        SSerInfo in;
        const char* portName;
        const char* friendlyName;
        const char* description;
    };
    const Row rows[] = {
        {"device interface: number from the friendly name, description kept",
         Record("", "USB Serial Port (COM5)", "USB-SERIAL CH340"), "COM5", "USB Serial Port (COM5)",
         "USB-SERIAL CH340"},
        {"probe: the port name is all there is", Record("COM3", "", ""), "COM3", "COM3", "COM3"},
        {"registry: description cut before the bracket",
         Record("COM1", "Communications Port (COM1)", ""), "COM1", "Communications Port (COM1)",
         "Communications Port"},
        {"no blank before the bracket", Record("COM2", "Port(COM2)", ""), "COM2", "Port(COM2)",
         "Port(COM2)"},
        {"bracket at the start", Record("COM2", " (COM2)", ""), "COM2", " (COM2)", " (COM2)"},
        {"first ) not the last character", Record("COM2", "Modem (a) (COM2)", ""), "COM2",
         "Modem (a) (COM2)", "Modem (a) (COM2)"},
        {"text after the bracket", Record("COM2", "Port (COM2) x", ""), "COM2", "Port (COM2) x",
         "Port (COM2) x"},
        {"blanks and sign before the number, as %d reads", Record("", "Modem (COM \t12)", "Modem"),
         "COM12", "Modem (COM \t12)", "Modem"},
        {"explicit plus", Record("", "X COM+7", "X"), "COM7", "X COM+7", "X"},
        {"the first COM counts", Record("", "COM8 via COM9", "X"), "COM8", "COM8 via COM9", "X"},
        {"port name kept when present", Record("COM4", "Odd (COM9)", "Odd"), "COM4", "Odd (COM9)",
         "Odd"},
    };
    for (const Row& row : rows) {
        CArray<SSerInfo, SSerInfo&> list{row.in};
        TidyComPortList(list);
        ASSERT_EQ(list.size(), 1u) << row.what;
        EXPECT_EQ(list[0].portName, row.portName) << row.what;
        EXPECT_EQ(list[0].friendlyName, row.friendlyName) << row.what;
        EXPECT_EQ(list[0].description, row.description) << row.what;
        EXPECT_EQ(list[0].devicePath, "\\\\.\\X") << row.what;
    }
}

TEST(ComPortTidy, FriendlyNamesWithoutANumberAfterComAreRemoved) {
    for (const char* name : {"Bluetooth Link", "com5 (lower case)", "TELECOM Modem", "Modem COM",
                             "COM x", "COM-", "COM +", "COM99999999999"}) {
        CArray<SSerInfo, SSerInfo&> list{Record("", name, "Some device")};
        TidyComPortList(list);
        EXPECT_TRUE(list.empty()) << name;
    }
}

TEST(ComPortTidy, RemovalExaminesTheNextRecordAtTheSameIndex) {
    CArray<SSerInfo, SSerInfo&> list{
        Record("", "First (COM1)", "First"),
        Record("", "No number here", "Gone"),
        Record("", "TELECOM", "Gone too"),
        Record("", "Last (COM4)", ""),
    };
    TidyComPortList(list);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].portName, "COM1");
    EXPECT_EQ(list[1].portName, "COM4");
    EXPECT_EQ(list[1].description, "Last");
}

TEST(ComPortTidy, NumberReading) {
    EXPECT_EQ(ComNumberInFriendlyName("USB Serial Port (COM5)"), 5);
    EXPECT_EQ(ComNumberInFriendlyName("COM-3"), -3);
    EXPECT_EQ(ComNumberInFriendlyName("COM0012"), 12);
    EXPECT_EQ(ComNumberInFriendlyName("Virtual COM Port (COM8)"), 8);
    EXPECT_EQ(ComNumberInFriendlyName("TELECOM Modem COM99999999999 (COM4)"), 4);
    EXPECT_EQ(ComNumberInFriendlyName("COM2147483647"), 2147483647);
    EXPECT_FALSE(ComNumberInFriendlyName("COM2147483648"));
    EXPECT_FALSE(ComNumberInFriendlyName(""));
}

}  // namespace
}  // namespace morvane
