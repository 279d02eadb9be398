// The Windows serial device. Against a scripted driver on a virtual clock
// (tests/support/scripted_driver_win32.h): what real USB serial adapters do and Wine cannot show.
// Against a real port: under Wine, the simulated receiver on the COM port MORVANE_TEST_COM names
// (tests/windows/with_sim.sh sets one up); tests that need the port are skipped without it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loader/loader_w6.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "serial/comm_calls_win32.h"
#include "serial/comm_dev2.h"
#include "serial/system_text_win32.h"
#include "session/load_outcome.h"
#include "session/load_session.h"
#include "sim/sim_engine.h"
#include "tests/support/fake_power.h"
#include "tests/support/scripted_driver_win32.h"
#include "tests/support/wire_log.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;

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

using testing::DriverScript;
using testing::PendingAtPull;
using testing::ScriptedDriver;
using testing::VirtualClock;
using testing::WireEvent;

// A pause the loader made, after how many writes.
struct Pause {
    std::size_t afterWrites;
    std::chrono::milliseconds length;
};

// The loader's waits on the driver's clock. Each lets the receive thread catch up first, so a
// read after a wait finds what the receiver sent before it, as on the real clock; the plain
// sleeps of a W6 load, the pauses after the image's blocks, are kept in `pauses`.
void FollowDriver(VirtualClock& waits, ScriptedDriver& driver,
                  std::vector<Pause>* pauses = nullptr) {
    waits.beforeWait = [&driver, pauses](WireEvent::Kind kind, unsigned ms) {
        if (pauses != nullptr && kind == WireEvent::Kind::Sleep)
            pauses->push_back({driver.Written().size(), std::chrono::milliseconds(ms)});
        driver.Advance(std::chrono::milliseconds(ms));
        driver.WaitUntilReceived();
    };
}

SSimOptions ReceiverOfTheImage() {
    SSimOptions options;
    options.expectedImage = EmbeddedFirmwareImage();
    return options;
}

// A whole load of the receiver through the device on `driver`, with the loader's waits on
// `waits`, recorded in `state`.
void LoadThrough(ScriptedDriver& driver, IWaits& waits, SLoaderState& state) {
    state.SetComPort(7);
    SReceiverRates rates;
    LoaderDeps deps;
    deps.device = std::make_unique<CCommDev2>(driver);
    deps.waits = &waits;
    deps.rates = &rates;
    CLoaderW6 loader(&state, std::move(deps));
    loader.Run();
}

// The bytes a load writes before the image's first block: all it writes, but the image and the
// "$JCONN,X" after it.
std::size_t BytesBeforeTheImage() {
    CSimEngine receiver(ReceiverOfTheImage());
    ScriptedDriver driver({}, receiver);
    VirtualClock waits;
    FollowDriver(waits, driver);
    SLoaderState state;
    LoadThrough(driver, waits, state);
    return driver.BytesWritten() - EmbeddedFirmwareImage().size() - std::strlen("$JCONN,X\r\n");
}

// A whole load of the receiver, through the device, against drivers that behave as USB serial
// adapters do: each row is a load that Wine's serial ports would let pass and a real PC would
// not. After each block's last byte has left the line, the device hands over nothing for the
// loader's pause (the line is quiet longer by the next block's hand-over); and the block period,
// from one hand-over to the next, is the block's line time, its USB hand-over and the pause: a
// load's time on the driver's clock has that bound.
TEST(CommDev2Win32Driver, LoadsThroughDriversThatBehaveAsAdaptersDo) {
    DriverScript holdsThePort;
    holdsThePort.heldAfterClose = 300ms;
    DriverScript leftByAnotherProgram;
    DCB& left = leftByAnotherProgram.left;
    left.fDsrSensitivity = 1;
    left.fAbortOnError = 1;
    left.fTXContinueOnXoff = 1;
    left.fErrorChar = 1;
    left.ErrorChar = '?';
    left.EofChar = 0x1A;
    DriverScript chipBuffer;
    chipBuffer.chipBuffer = true;
    DriverScript slowHandOver = chipBuffer;
    slowHandOver.handOver = 3ms;
    DriverScript quickHandOver = chipBuffer;
    quickHandOver.handOver = 1ms;
    DriverScript readsTimeOut;
    readsTimeOut.readsEndWithTimeout = true;
    struct Row {
        const char* name;
        DriverScript script;
    };
    for (const Row& row :
         {Row{"an output queue that drains at the line rate", {}},
          Row{"the chip's buffer takes each block: the queue reads empty at once", chipBuffer},
          Row{"the chip starts sending 3 ms after the hand-over", slowHandOver},
          Row{"the chip starts sending 1 ms after the hand-over", quickHandOver},
          Row{"the port held for 300 ms after our close", holdsThePort},
          Row{"DSR sensitivity and abort-on-error left on by another program",
              leftByAnotherProgram},
          Row{"reads that end with ERROR_TIMEOUT and their bytes, as Wine's", readsTimeOut}}) {
        SCOPED_TRACE(row.name);
        CSimEngine receiver(ReceiverOfTheImage());
        ScriptedDriver driver(row.script, receiver);
        std::vector<Pause> pauses;
        VirtualClock waits;
        FollowDriver(waits, driver, &pauses);
        SLoaderState state;
        LoadThrough(driver, waits, state);

        EXPECT_EQ(state.GetStatus(), STATUS_FIRMWARE_COMPLETE);
        EXPECT_TRUE(receiver.Session().transfer.imageMatches);
        EXPECT_EQ(driver.RefusedOpens() > 0, row.script.heldAfterClose > 0ms);
        const std::vector<ScriptedDriver::OnLine> written = driver.Written();
        EXPECT_EQ(pauses.size(), EmbeddedFirmwareImage().size() / 50);
        using Ms = std::chrono::duration<double, std::milli>;
        const Ms handOver = std::max<Ms>(2ms, row.script.handOver);
        const Ms longestPeriod = Ms(50 * 10 * 1000.0 / 19200) + handOver + 20ms + Ms(0.01);
        std::size_t shortened = 0;
        std::size_t late = 0;
        Ms shortest = 1h;
        Ms longest = 0ms;
        for (const Pause& pause : pauses) {
            if (pause.afterWrites == 0 || pause.afterWrites >= written.size()) continue;
            const ScriptedDriver::OnLine& block = written[pause.afterWrites - 1];
            const ScriptedDriver::OnLine& next = written[pause.afterWrites];
            const Ms silence = next.handed - block.left;
            const Ms period = next.handed - block.handed;
            shortest = std::min(shortest, silence);
            longest = std::max(longest, period);
            if (silence < pause.length) ++shortened;
            if (period > longestPeriod) ++late;
        }
        EXPECT_EQ(shortened, 0u) << "the shortest silence: " << shortest.count() << " ms";
        EXPECT_EQ(late, 0u) << "the longest block period: " << longest.count() << " ms";
        // Our settings go over the driver's with DSR sensitivity and abort-on-error off; the
        // fields the device does not name stay as the driver reported them.
        const std::vector<DCB> applied = driver.AppliedSettings();
        EXPECT_FALSE(applied.empty());
        EXPECT_TRUE(std::all_of(
            applied.begin(), applied.end(), [&reported = row.script.left](const DCB& dcb) {
                return dcb.fDsrSensitivity == 0 && dcb.fAbortOnError == 0 &&
                       dcb.fTXContinueOnXoff == reported.fTXContinueOnXoff &&
                       dcb.fErrorChar == reported.fErrorChar &&
                       dcb.ErrorChar == reported.ErrorChar && dcb.EofChar == reported.EofChar;
            }));
    }
}

// An adapter pulled out, as each kind of driver then behaves, ends the load as on Linux: within
// about the loader's look at the line, as a port that went away where it did, with the port
// closed before the dying driver is asked anything more. An error that working devices give
// too, with nothing from the system to confirm it, is a transfer that broke off. A driver that
// holds its requests is given its bounds, and no more.
TEST(CommDev2Win32Driver, APulledAdapterIsAPortThatWentAway) {
    const std::size_t beforeImage = BytesBeforeTheImage();
    const std::size_t inImage = beforeImage + 20000;
    auto pull = [](std::size_t afterBytes, DWORD error) {
        DriverScript::Pull p;
        p.afterBytes = afterBytes;
        p.error = error;
        return p;
    };
    auto with = [](DriverScript::Pull p, auto change) {
        change(p);
        DriverScript script;
        script.pull = p;
        return script;
    };
    const auto readEnds = [](DriverScript::Pull& p) { p.read = PendingAtPull::EndsWithError; };
    const auto writesFail = [](DriverScript::Pull& p) { p.write = PendingAtPull::EndsWithError; };
    const auto allFail = [](DriverScript::Pull& p) {
        p.read = PendingAtPull::EndsWithError;
        p.write = PendingAtPull::EndsWithError;
    };
    DriverScript holdsWrites;
    holdsWrites.holdsWritesUntilCancelled = true;
    DriverScript handsOverLate = with(pull(inImage, ERROR_DEVICE_NOT_CONNECTED), allFail);
    handsOverLate.handOver = 1ms;
    DriverScript neverListed = with(pull(inImage, ERROR_ACCESS_DENIED), allFail);
    neverListed.neverListed = true;
    struct Row {
        const char* name;
        DriverScript script;
        LoadEnd end;
        const char* said;
        std::chrono::milliseconds within;
    };
    const std::string image = std::to_string(EmbeddedFirmwareImage().size());
    const std::string after20000 = "during the image, after 20000 of " + image + " bytes";
    const std::string after19950 = "during the image, after 19950 of " + image + " bytes";
    const Row rows[] = {
        {"usbser: writes fail with ERROR_DEVICE_NOT_CONNECTED, the read held",
         with(pull(inImage, ERROR_DEVICE_NOT_CONNECTED), writesFail), LoadEnd::GoneInImage,
         after20000.c_str(), 1s},
        {"the read ends with ERROR_BAD_COMMAND in the wait before the image",
         with(pull(beforeImage, ERROR_BAD_COMMAND), readEnds), LoadEnd::GoneBeforeImage,
         "went away before the image", 2500ms},
        {"the write under way (a chip's hand-over) ends with ERROR_DEVICE_NOT_CONNECTED",
         handsOverLate, LoadEnd::GoneInImage, after19950.c_str(), 1s},
        {"ERROR_DEVICE_REMOVED on every call", with(pull(inImage, ERROR_DEVICE_REMOVED), allFail),
         LoadEnd::GoneInImage, after20000.c_str(), 1s},
        {"ERROR_NO_SUCH_DEVICE on every call", with(pull(inImage, 433), allFail),
         LoadEnd::GoneInImage, after20000.c_str(), 1s},
        {"the read ends with ERROR_DEV_NOT_EXIST",
         with(pull(beforeImage, ERROR_DEV_NOT_EXIST), readEnds), LoadEnd::GoneBeforeImage,
         "went away before the image", 2500ms},
        {"access denied on the open port, the port gone from the list",
         with(pull(inImage, ERROR_ACCESS_DENIED), allFail), LoadEnd::GoneInImage,
         after20000.c_str(), 1s},
        {"access denied, the port still listed, the system's notice",
         with(pull(inImage, ERROR_ACCESS_DENIED),
              [](DriverScript::Pull& p) {
                  p.read = p.write = PendingAtPull::EndsWithError;
                  p.listed = p.notifies = true;
              }),
         LoadEnd::GoneInImage, after20000.c_str(), 1s},
        {"access denied, the port still listed, no notice: unconfirmed",
         with(pull(inImage, ERROR_ACCESS_DENIED),
              [](DriverScript::Pull& p) {
                  p.read = p.write = PendingAtPull::EndsWithError;
                  p.listed = true;
              }),
         LoadEnd::TransferFailed, "after 20000 of", 1s},
        {"access denied on a port the system never lists, no notice: unconfirmed", neverListed,
         LoadEnd::TransferFailed, "after 20000 of", 1s},
        {"an abort nobody asked for, with the system's notice",
         with(pull(beforeImage, ERROR_OPERATION_ABORTED),
              [](DriverScript::Pull& p) {
                  p.read = PendingAtPull::EndsWithError;
                  p.listed = p.notifies = true;
              }),
         LoadEnd::GoneBeforeImage, "went away before the image", 2500ms},
        {"ERROR_GEN_FAILURE alone, the port still listed: unconfirmed",
         with(pull(inImage, ERROR_GEN_FAILURE),
              [](DriverScript::Pull& p) {
                  p.read = p.write = PendingAtPull::EndsWithError;
                  p.listed = true;
              }),
         LoadEnd::TransferFailed, "after 20000 of", 1s},
        {"nothing fails: only the system's notice tells",
         with(pull(beforeImage, ERROR_GEN_FAILURE),
              [](DriverScript::Pull& p) { p.listed = p.notifies = true; }),
         LoadEnd::GoneBeforeImage, "went away before the image", 2500ms},
        {"the name lingers: reopened in detection, access denied",
         with(pull(25, ERROR_BAD_COMMAND),
              [](DriverScript::Pull& p) {
                  p.read = p.write = PendingAtPull::EndsWithError;
                  p.openError = ERROR_ACCESS_DENIED;
              }),
         LoadEnd::GoneInDetection, "went away", 2500ms},
        {"the write held past its cancellation, the port gone from the list",
         with(pull(inImage, ERROR_BAD_COMMAND), [](DriverScript::Pull&) {}), LoadEnd::GoneInImage,
         after19950.c_str(), 2500ms},
        {"a dying driver that never answers ClearCommError, the port still listed",
         with(pull(inImage, ERROR_GEN_FAILURE),
              [](DriverScript::Pull& p) {
                  p.read = p.write = PendingAtPull::EndsWithError;
                  p.listed = true;
                  p.holdsClearCommError = true;
              }),
         LoadEnd::TransferFailed, "after 19950 of", 2500ms},
        {"a working driver that holds writes until they are cancelled", holdsWrites,
         LoadEnd::TransferFailed, "after 0 of", 1600ms},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CSimEngine receiver(ReceiverOfTheImage());
        ScriptedDriver driver(row.script, receiver);
        VirtualClock waits;
        FollowDriver(waits, driver);
        testing::CFakePower power;
        LoadRequest request;
        request.comPort = 7;
        SessionDeps deps;
        deps.device = std::make_unique<CCommDev2>(driver);
        deps.waits = &waits;
        deps.power = &power;
        const int abandonedBefore = AbandonedPortCount();
        CLoadSession session(request, std::move(deps));
        session.Start();
        const LoadOutcome& outcome = session.Join();

        EXPECT_EQ(outcome.end, row.end) << outcome.status;
        // What a watch's table says of the port, and the advice after the load.
        const std::string told = std::string(LoadEndRowOf(outcome.end).fate) + "\n" +
                                 AdviceAfterLoad(outcome, "COM7", "\\\\.\\COM7");
        EXPECT_NE(told.find(row.said), std::string::npos) << told;
        EXPECT_LE(driver.Now() - driver.TroubleAt(), row.within);
        // Nothing more is asked of a port gone, nor of one whose driver held a request.
        const bool dying = row.end != LoadEnd::TransferFailed || row.within > 2s;
        if (dying) {
            EXPECT_EQ(driver.CallsOnADeadPort(), 0);
        }
        EXPECT_FALSE(driver.ClosedWhileWatched());
        EXPECT_EQ(AbandonedPortCount(), abandonedBefore);
    }
}

// A driver that completes a request only after the port was closed writes into the device's
// buffer, OVERLAPPED and event then: the device leaves them to it, and counts the port as
// abandoned, instead of freeing them under it. The read, and a write the driver held.
TEST(CommDev2Win32Driver, APortWhoseDriverCompletesLateIsLeftToIt) {
    struct Row {
        const char* name;
        bool whileWriting;
    };
    for (const Row& row : {Row{"the read", false}, Row{"a write", true}}) {
        SCOPED_TRACE(row.name);
        CSimEngine receiver(SSimOptions{});
        DriverScript::Pull pull;
        pull.afterBytes = row.whileWriting ? 1 : 0;
        // Of a write held past the close, the read is ended at the pull: only the write holds.
        pull.read = row.whileWriting ? PendingAtPull::EndsWithError : PendingAtPull::AfterClose;
        pull.write = PendingAtPull::AfterClose;
        pull.listed = true;
        DriverScript script;
        script.pull = pull;
        ScriptedDriver driver(script, receiver);
        const int abandonedBefore = AbandonedPortCount();
        {
            CCommDev2 device(driver);
            ASSERT_TRUE(device.Open(7));
            if (row.whileWriting) {
                EXPECT_FALSE(device.Write("x", 1));
                EXPECT_FALSE(device.IsOpen());
            } else {
                driver.WaitUntilReading();
                driver.PullNow();
                device.Close();
            }
        }
        EXPECT_TRUE(driver.CompleteLate());
        EXPECT_EQ(AbandonedPortCount(), abandonedBefore + 1);
        EXPECT_LE(driver.Now() - driver.TroubleAt(), row.whileWriting ? 2250ms : 750ms);
    }
}

// A refusal is taken for the driver letting go only soon after our own close: a port another
// program holds is busy at once, and one still refused a second after our close is busy then; a
// port the system never lists is no port gone for that.
TEST(CommDev2Win32Driver, ARefusedOpenIsTriedAgainOnlyForASecondAfterOurClose) {
    CSimEngine receiver(SSimOptions{});
    DriverScript held;
    held.heldByAnotherProgram = true;
    DriverScript heldUnlisted = held;
    heldUnlisted.neverListed = true;
    DriverScript neverLetsGo;
    neverLetsGo.heldAfterClose = 1h;
    struct Row {
        const char* name;
        DriverScript script;
        bool closedByUs;
    };
    for (const Row& row : {Row{"held by another program", held, false},
                           Row{"held by another program, never listed", heldUnlisted, false},
                           Row{"after our close", neverLetsGo, true}}) {
        SCOPED_TRACE(row.name);
        ScriptedDriver driver(row.script, receiver);
        CCommDev2 device(driver);
        if (row.closedByUs) {
            ASSERT_TRUE(device.Open(7));
            device.Close();
        }
        const auto from = driver.Now();
        EXPECT_FALSE(device.Open(7));
        EXPECT_EQ(device.LastOpenError().kind, OpenErrorKind::Busy);
        EXPECT_EQ(driver.Now() - from, row.closedByUs ? 1000ms : 0ms);
    }
}

// The system's list of ports, as the device asks it whether a port is still there: by the port's
// name, whatever its case, and no other port's.
TEST(CommDev2Win32, TheSystemsListOfPortsIsReadByTheirNames) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                                REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t name[] = L"COM213";
    ASSERT_EQ(::RegSetValueExW(key, L"\\Device\\MorvaneTest", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(name), sizeof name),
              ERROR_SUCCESS);
    struct Row {
        const char* path;
        bool listed;
    };
    for (const Row& row :
         {Row{"\\\\.\\COM213", true}, Row{"\\\\.\\com213", true}, Row{"\\\\.\\COM21", false},
          Row{"\\\\.\\COM2130", false}, Row{"\\\\.\\COM214", false}})
        EXPECT_EQ(SystemCommCalls().PortListed(row.path), row.listed) << row.path;
    (void)::RegDeleteValueW(key, L"\\Device\\MorvaneTest");
    ::RegCloseKey(key);
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

// The system's texts reach the console and the JSON events in UTF-8, not in the machine's code
// page.
TEST(CommDev2Win32, SystemTextsAreUtf8) {
    const std::string text =
        SystemErrorText(ERROR_DEVICE_NOT_CONNECTED, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
    if (text.find("Ger") == std::string::npos) GTEST_SKIP() << "no German texts here: " << text;
    EXPECT_NE(text.find("Ger\xC3\xA4t"), std::string::npos) << text;
}

// A command goes out, the receiver's answer comes back through the receive thread, and a port
// reopened at another rate starts with an empty ring.
TEST(CommDev2Win32WithReceiver, AsksTheReceiverAndHearsItsAnswer) {
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
