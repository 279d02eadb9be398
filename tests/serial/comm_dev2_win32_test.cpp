// The Windows serial device against a real port: under Wine, the simulated receiver on the COM
// port MORVANE_TEST_COM names (tests/windows/with_sim.sh sets one up). Tests that need the port
// are skipped without it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "serial/comm_dev2.h"

namespace morvane {
namespace {

int TestPort() {
    const char* text = std::getenv("MORVANE_TEST_COM");
    return text != nullptr ? std::atoi(text) : 0;
}

// Everything received within `ms`, or until `wanted` has arrived.
std::string Receive(CCommDev2& device, const std::string& wanted, int ms) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline && got.find(wanted) == std::string::npos) {
        char buffer[256];
        const int n = device.Read(buffer, sizeof buffer);
        got.append(buffer, static_cast<std::size_t>(n));
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return got;
}

bool OpenAt(CCommDev2& device, int port, std::uint32_t rate) {
    if (!device.Open(port)) return false;
    device.LineSettings().BaudRate = rate;
    return device.SetHandshake(false) && device.ApplyCommState();
}

TEST(CommDev2Win32, ClosedOrMissingPortIsAHarmlessNoOp) {
    CCommDev2 device;
    char byte = 0;
    EXPECT_EQ(device.Read(&byte, 1), 0);
    EXPECT_FALSE(device.Write("x", 1));
    EXPECT_FALSE(device.SetHandshake(false));
    EXPECT_FALSE(device.InitCommState());
    device.Close();

    EXPECT_FALSE(device.Open(250));
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.LastOpenError().kind, OpenErrorKind::NoSuchDevice);
    EXPECT_EQ(device.LastOpenError().devicePath, "\\\\.\\COM250");
    EXPECT_FALSE(device.LastOpenError().osText.empty());
    EXPECT_FALSE(device.Write("x", 1));
    device.Close();
}

// A command goes out, the receiver's answer comes back through the receive thread, and a port
// reopened at another rate starts with an empty ring.
TEST(CommDev2Win32, AsksTheReceiverAndHearsItsAnswer) {
    const int port = TestPort();
    if (port == 0) GTEST_SKIP() << "MORVANE_TEST_COM names no port with a receiver on it";
    CCommDev2 device;
    ASSERT_TRUE(OpenAt(device, port, 19200)) << device.LastOpenError().osText;
    const std::string quiet = "$JOFF\r\n";
    EXPECT_TRUE(device.Write(quiet.data(), static_cast<int>(quiet.size())));
    const std::string ask = "$JI\r\n";
    EXPECT_TRUE(device.Write(ask.data(), static_cast<int>(ask.size())));
    const std::string answer = Receive(device, "\r\n", 3000);
    EXPECT_NE(answer.find(">JI"), std::string::npos) << answer;

    // The receiver answers only at its rate: nothing comes back at 9600, and nothing of the
    // earlier exchange is left over.
    ASSERT_TRUE(OpenAt(device, port, 9600));
    EXPECT_EQ(device.RingCount(), 0);
    EXPECT_TRUE(device.Write(ask.data(), static_cast<int>(ask.size())));
    EXPECT_EQ(Receive(device, ">JI", 500).find(">JI"), std::string::npos);

    // Many opens and closes in a row: each Close ends its receive thread, which was waiting.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(OpenAt(device, port, 19200));
        device.Close();
        EXPECT_FALSE(device.IsOpen());
    }
    ASSERT_TRUE(OpenAt(device, port, 19200));
    EXPECT_TRUE(device.Write(ask.data(), static_cast<int>(ask.size())));
    EXPECT_NE(Receive(device, ">JI", 3000).find(">JI"), std::string::npos);
}

}  // namespace
}  // namespace morvane
