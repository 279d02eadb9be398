// The pieces a load is made of: the serial link, the receive path and the waits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "loader/callback.h"
#include "loader/load_seams.h"
#include "loader/receive_splitter.h"
#include "loader/serial_link.h"
#include "tests/loader/scripted_device.h"

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
