#include "view/port_list.h"

#include <gtest/gtest.h>

#include "tests/support/ports.h"

namespace morvane {
namespace {

using testing::Port;
TEST(PortList, ItemsForThePortsFound) {
    const CArray<SSerInfo, SSerInfo&> two{Port("COM1", "Communications Port (COM1)"),
                                          Port("COM10", "USB Serial Port (COM10)")};
    const CArray<SSerInfo, SSerInfo&> none;
    struct Row {
        const CArray<SSerInfo, SSerInfo&>* ports;
        int startPort;
        std::vector<SPortItem> items;
    };
    const Row rows[] = {
        {&two,
         -1,
         {{"Select Comport", 0},
          {"Communications Port (COM1)", 1},
          {"USB Serial Port (COM10)", 10}}},
        // With no port at all the placeholder says so.
        {&none, -1, {{"No Comport Found", 0}}},
        // A port named on the command line is always there to pick, and never twice.
        {&two,
         7,
         {{"Communications Port (COM1)", 1}, {"USB Serial Port (COM10)", 10}, {"COM 7", 7}}},
        {&two, 10, {{"Communications Port (COM1)", 1}, {"USB Serial Port (COM10)", 10}}},
        {&none, 5, {{"COM 5", 5}}},
    };
    for (const Row& r : rows)
        EXPECT_EQ(PortListItems(*r.ports, r.startPort), r.items) << r.startPort;

    const std::vector<SPortItem> items = PortListItems(two, -1);
    EXPECT_EQ(IndexOfPort(items, 10), 2);
    EXPECT_EQ(IndexOfPort(items, 0), -1);  // the placeholder is no port to keep
    EXPECT_EQ(IndexOfPort(items, 3), -1);
}

}  // namespace
}  // namespace morvane
