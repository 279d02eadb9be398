// The pieces a load is made of: the serial link, the receive path and the waits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "loader/callback.h"
#include "loader/load_seams.h"
#include "loader/port_follower.h"
#include "loader/receive_splitter.h"
#include "loader/serial_link.h"
#include "tests/support/debug_capture.h"
#include "tests/support/scripted_device.h"

namespace morvane::testing {
namespace {

using K = WireEvent::Kind;

struct LinkRig {
    SLoaderState state;
    WireLog log{&state};
    ScriptedDevice* device = nullptr;
    std::unique_ptr<CSerialLink> link;

    explicit LinkRig(DeviceScript script = {}) {
        auto d = std::make_unique<ScriptedDevice>(log, std::move(script));
        device = d.get();
        link = std::make_unique<CSerialLink>(std::move(d));
    }
};

// The receiver's port found again through port discovery after its restart. A port discovery
// does not list (a number given by hand, a container without sysfs) or cannot list at all is
// left to the open to judge, never taken for a port that went away.
TEST(DiscoveryPortFollower, FindsThePortAgainAndTrustsTheNumberDiscoveryCannotJudge) {
    SSerInfo adapter;
    adapter.devicePath = "/dev/ttyUSB0";
    adapter.portName = "COM33";
    adapter.isUsb = true;
    adapter.stableName = "/dev/serial/by-id/usb-FTDI_A1-if00-port0";
    SSerInfo movedOn = adapter;
    movedOn.devicePath = "/dev/ttyUSB1";
    movedOn.portName = "COM34";
    struct Row {
        const char* name;
        std::vector<SSerInfo> atStart;
        std::vector<SSerInfo> later;  // what discovery lists when the port is looked for
        bool laterFails;
        std::optional<int> found;
        const char* debugLine;  // what the debug channel is told, "" for nothing
    };
    const Row rows[] = {
        {"never listed",
         {},
         {},
         false,
         33,
         "morvane: COM33: followed by its number, discovery does not list it (0 ports listed)\n"},
        {"discovery fails later",
         {adapter},
         {},
         true,
         33,
         "morvane: COM33: taken as it was, the ports could not be listed: no discovery\n"},
        {"back under another number", {adapter}, {movedOn}, false, 34, ""},
        {"gone",
         {adapter},
         {},
         false,
         std::nullopt,
         "morvane: COM33: not found again among 0 ports (device /dev/ttyUSB0, stable name "
         "'/dev/serial/by-id/usb-FTDI_A1-if00-port0', USB serial '')\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const CDebugCapture debug;
        bool restarted = false;
        CDiscoveryPortFollower follower(33, [&](CArray<SSerInfo, SSerInfo&>& list) {
            if (restarted && row.laterFails) throw ComEnumError("no discovery");
            list = restarted ? row.later : row.atStart;
        });
        follower.Remember(33);
        restarted = true;
        EXPECT_EQ(follower.Find(), row.found);
        EXPECT_EQ(debug.Text(), row.debugLine);
    }
}

TEST(SerialLink, OpenSetsTheRateOnlyOnAnOpenDevice) {
    LinkRig ok;
    EXPECT_TRUE(ok.link->Open(3, 38400));
    EXPECT_EQ(ok.device->lineSettings.BaudRate, 38400u);
    EXPECT_EQ(Condense(ok.log.events), (std::vector<std::string>{"open 38400"}));

    LinkRig failing(OpenFailsAt(1));
    EXPECT_FALSE(failing.link->Open(3, 38400));
    EXPECT_NE(failing.device->lineSettings.BaudRate, 38400u);
    EXPECT_EQ(Condense(failing.log.events), (std::vector<std::string>{"open failed"}));
}

TEST(SerialLink, WriteLineSendsOneBytePerWriteThenCrLf) {
    LinkRig rig;
    rig.link->Open(1, 19200);
    EXPECT_EQ(rig.link->WriteLine("$JI"), 3);
    std::vector<std::string> writes;
    for (const WireEvent& e : rig.log.events)
        if (e.kind == K::Write) writes.push_back(e.bytes);
    EXPECT_EQ(writes, (std::vector<std::string>{"$", "J", "I", "\r", "\n"}));
}

TEST(SerialLink, WriteReportsWhatTheDeviceReported) {
    DeviceScript script;
    script.failWrite = [](int write, int) { return write == 2; };
    LinkRig rig(std::move(script));
    const std::uint8_t block[50] = {};
    EXPECT_FALSE(rig.link->Write(block, 50));  // closed
    rig.link->Open(1, 19200);
    EXPECT_FALSE(rig.link->Write(block, 50));  // the device refused it
    EXPECT_TRUE(rig.link->Write(block, 50));
    EXPECT_TRUE(rig.link->Close());
    EXPECT_TRUE(rig.link->Close());
}

struct Sink {
    std::vector<CString> texts;
    void Take(CString text) { texts.push_back(std::move(text)); }
};

TEST(ReceivePath, EachReadBecomesOneTextWithEveryByte) {
    Sink sink;
    TCallback<Sink> callback(&sink, &Sink::Take);
    CReceiveSplitter splitter(&callback);
    const char bytes[] = {'$', '>', 'J', 0, 'I', '\r'};
    splitter.Feed(bytes, 6);
    splitter.Feed(bytes, 0);
    ASSERT_EQ(sink.texts.size(), 2u);
    EXPECT_EQ(sink.texts[0], CString(bytes, 6));
    EXPECT_EQ(sink.texts[1], "");

    CReceiveSplitter noSink(nullptr);
    noSink.Feed(bytes, 6);
    TCallback<Sink> unbound;
    unbound.Execute("dropped");  // goes to the debug channel, nowhere else
    EXPECT_EQ(sink.texts.size(), 2u);
}

}  // namespace
}  // namespace morvane::testing
