// The Windows serial device. Against a scripted driver on a virtual clock: what real USB serial
// adapters do and Wine cannot show. Against a real port: under Wine, the simulated receiver on
// the COM port MORVANE_TEST_COM names (tests/windows/with_sim.sh sets one up); tests that need
// the port are skipped without it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loader/loader_w6.h"
#include "record/loader_status.h"
#include "res/firmware_image.h"
#include "serial/comm_calls_win32.h"
#include "serial/comm_dev2.h"
#include "serial/system_text_win32.h"
#include "sim/sim_engine.h"

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

// A USB serial adapter's driver, played on a virtual clock, for what Wine's ports cannot show:
// a port held a moment after it was closed, written bytes queued for as long as they take on the
// line, the settings the last program left. The simulated receiver sits on the line: it hears
// what goes out at the port's rate, and its answers come back through the receive thread's reads.
class ScriptedDriver final : public CWin32CommCalls {
public:
    struct Script {
        std::chrono::milliseconds heldAfterClose{0};  // an open before then is refused
        bool heldByAnotherProgram = false;            // every open is refused
        // What GetCommState reports until our first SetCommState.
        DCB left = [] {
            DCB plain{};
            plain.DCBlength = sizeof plain;
            plain.BaudRate = 9600;
            plain.ByteSize = 8;
            plain.fBinary = 1;
            return plain;
        }();
    };
    ScriptedDriver(Script script, CSimEngine& receiver)
        : script_(script), receiver_(receiver), dcb_(script.left) {}

    DWORD GetLastError() override { return lastError_; }
    HANDLE CreateFileA(const char* /*path*/) override {
        const std::lock_guard<std::mutex> guard(lock_);
        if (open_ || script_.heldByAnotherProgram || now_ < releasedAt_) {
            ++refusedOpens_;
            lastError_ = ERROR_ACCESS_DENIED;
            return INVALID_HANDLE_VALUE;
        }
        open_ = true;
        return kPort;
    }
    BOOL CloseHandle(HANDLE /*port*/) override {
        const std::lock_guard<std::mutex> guard(lock_);
        open_ = false;
        releasedAt_ = now_ + script_.heldAfterClose;
        arrived_.clear();
        read_ = {};
        changed_.notify_all();
        return TRUE;
    }
    BOOL SetupComm(HANDLE, DWORD, DWORD) override { return TRUE; }
    BOOL SetCommMask(HANDLE, DWORD) override { return TRUE; }
    BOOL PurgeComm(HANDLE, DWORD) override { return TRUE; }
    BOOL SetCommTimeouts(HANDLE, COMMTIMEOUTS&) override { return TRUE; }
    BOOL EscapeCommFunction(HANDLE, DWORD) override { return TRUE; }
    BOOL GetCommState(HANDLE /*port*/, DCB& dcb) override {
        const std::lock_guard<std::mutex> guard(lock_);
        dcb = dcb_;
        return TRUE;
    }
    BOOL SetCommState(HANDLE /*port*/, DCB& dcb) override {
        const std::lock_guard<std::mutex> guard(lock_);
        dcb_ = dcb;
        applied_.push_back(dcb);
        return TRUE;
    }
    BOOL ClearCommError(HANDLE /*port*/, DWORD& errors, COMSTAT& status) override {
        errors = 0;
        status = COMSTAT{};
        status.cbOutQue = QueuedOut();
        return TRUE;
    }
    // Every read waits for bytes; it completes once some have arrived.
    BOOL ReadFile(HANDLE /*port*/, void* buffer, DWORD size, DWORD& /*read*/,
                  OVERLAPPED& overlapped) override {
        const std::lock_guard<std::mutex> guard(lock_);
        (void)::ResetEvent(overlapped.hEvent);
        read_ = Read{};
        read_.overlapped = &overlapped;
        read_.buffer = static_cast<char*>(buffer);
        read_.size = size;
        storing_ = false;  // the thread stored what it had before it read again
        Deliver();
        changed_.notify_all();
        lastError_ = ERROR_IO_PENDING;
        return FALSE;
    }
    // The driver takes the bytes at once; they leave one after another at the line rate.
    BOOL WriteFile(HANDLE /*port*/, const void* data, DWORD size, DWORD& written,
                   OVERLAPPED& /*overlapped*/) override {
        const std::lock_guard<std::mutex> guard(lock_);
        const auto byteTime = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(10.0 / dcb_.BaudRate));
        lineBusyUntil_ = std::max(lineBusyUntil_, now_) + byteTime * size;
        const std::string answer =
            receiver_.Receive(std::string_view(static_cast<const char*>(data), size), dcb_.BaudRate,
                              std::chrono::duration_cast<SimTime>(now_ - start_));
        // DSR is low on a three-wire cable: with DSR sensitivity the driver drops what arrives.
        if (dcb_.fDsrSensitivity == 0) {
            arrived_ += answer;
            Deliver();
        }
        written = size;
        return TRUE;
    }
    BOOL GetOverlappedResult(HANDLE, OVERLAPPED&, DWORD& transferred, BOOL wait) override {
        std::unique_lock<std::mutex> guard(lock_);
        if (wait) changed_.wait(guard, [this] { return read_.done; });
        if (!read_.done) return Fail(ERROR_IO_INCOMPLETE);
        transferred = read_.count;
        return read_.error == 0 ? TRUE : Fail(read_.error);
    }
    BOOL CancelIo(HANDLE /*port*/) override {
        const std::lock_guard<std::mutex> guard(lock_);
        if (read_.overlapped != nullptr && !read_.done) Complete(0, ERROR_OPERATION_ABORTED);
        return TRUE;
    }
    Clock::time_point Now() override {
        const std::lock_guard<std::mutex> guard(lock_);
        return now_;
    }
    void SleepUntil(Clock::time_point deadline) override {
        const std::lock_guard<std::mutex> guard(lock_);
        now_ = std::max(now_, deadline);
    }

    void Advance(std::chrono::milliseconds time) { SleepUntil(Now() + time); }
    // Until the receive thread has stored every byte the receiver sent (or the port closed).
    void WaitUntilReceived() {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [this] { return !open_ || (arrived_.empty() && !storing_); });
    }
    // Bytes written that have not yet left on the line.
    std::uint32_t QueuedOut() {
        const std::lock_guard<std::mutex> guard(lock_);
        const double seconds = std::chrono::duration<double>(lineBusyUntil_ - now_).count();
        return seconds > 0 ? static_cast<std::uint32_t>(std::ceil(seconds * dcb_.BaudRate / 10))
                           : 0;
    }
    std::vector<DCB> AppliedSettings() {
        const std::lock_guard<std::mutex> guard(lock_);
        return applied_;
    }
    int RefusedOpens() {
        const std::lock_guard<std::mutex> guard(lock_);
        return refusedOpens_;
    }

private:
    struct Read {
        OVERLAPPED* overlapped = nullptr;
        char* buffer = nullptr;
        DWORD size = 0;
        bool done = false;
        DWORD count = 0;
        DWORD error = 0;
    };
    inline static const HANDLE kPort = reinterpret_cast<HANDLE>(std::uintptr_t{0x7001});

    BOOL Fail(DWORD error) {
        lastError_ = error;
        return FALSE;
    }
    void Deliver() {
        if (read_.overlapped == nullptr || read_.done || arrived_.empty()) return;
        const DWORD n = std::min<DWORD>(read_.size, static_cast<DWORD>(arrived_.size()));
        std::copy_n(arrived_.begin(), n, read_.buffer);
        arrived_.erase(0, n);
        storing_ = true;
        Complete(n, 0);
    }
    void Complete(DWORD count, DWORD error) {
        read_.done = true;
        read_.count = count;
        read_.error = error;
        (void)::SetEvent(read_.overlapped->hEvent);
        changed_.notify_all();
    }

    static thread_local DWORD lastError_;  // each thread's own, as the system keeps it
    const Script script_;
    CSimEngine& receiver_;
    std::mutex lock_;
    std::condition_variable changed_;
    const Clock::time_point start_ = Clock::time_point{} + 1h;
    Clock::time_point now_ = start_;
    Clock::time_point releasedAt_ = start_;
    Clock::time_point lineBusyUntil_ = start_;
    bool open_ = false;
    int refusedOpens_ = 0;
    DCB dcb_;
    std::vector<DCB> applied_;
    std::string arrived_;   // received, not yet handed to a read
    Read read_;             // the receive thread's read
    bool storing_ = false;  // a read was handed bytes the thread has not stored yet
};

thread_local DWORD ScriptedDriver::lastError_ = 0;

// The loader's waits on the driver's clock. Each lets the receive thread catch up first, so a
// read after a wait finds what the receiver sent before it, as on the real clock.
class DriverClock : public IWaits {
public:
    explicit DriverClock(ScriptedDriver& driver) : driver_(driver) {}
    void WaitPumping(unsigned ms) override { Wait(ms); }
    // The plain sleeps of a W6 load are the pauses after the image's blocks.
    void Sleep(unsigned ms) override {
        queuedAtPauses.push_back(driver_.QueuedOut());
        Wait(ms);
    }

    // The bytes still in the driver's output queue as each pause began.
    std::vector<std::uint32_t> queuedAtPauses;

private:
    void Wait(unsigned ms) {
        driver_.Advance(std::chrono::milliseconds(ms));
        driver_.WaitUntilReceived();
    }
    ScriptedDriver& driver_;
};

// A whole load of the receiver, through the device, against drivers that behave as USB serial
// adapters do: each row is a load that Wine's serial ports would let pass and a real PC would not.
TEST(CommDev2Win32Driver, LoadsThroughDriversThatBehaveAsAdaptersDo) {
    ScriptedDriver::Script holdsThePort;
    holdsThePort.heldAfterClose = 300ms;
    ScriptedDriver::Script leftByAnotherProgram;
    DCB& left = leftByAnotherProgram.left;
    left.fDsrSensitivity = 1;
    left.fAbortOnError = 1;
    left.fTXContinueOnXoff = 1;
    left.fErrorChar = 1;
    left.ErrorChar = '?';
    left.EofChar = 0x1A;
    struct Row {
        const char* name;
        ScriptedDriver::Script script;
    };
    for (const Row& row : {Row{"an output queue that drains at the line rate", {}},
                           Row{"the port held for 300 ms after our close", holdsThePort},
                           Row{"DSR sensitivity and abort-on-error left on by another program",
                               leftByAnotherProgram}}) {
        SCOPED_TRACE(row.name);
        SSimOptions options;
        options.expectedImage = EmbeddedFirmwareImage();
        CSimEngine receiver(options);
        ScriptedDriver driver(row.script, receiver);
        DriverClock clock(driver);
        SReceiverRates rates;
        SLoaderState state;
        state.SetComPort(7);
        {
            LoaderDeps deps;
            deps.device = std::make_unique<CCommDev2>(driver);
            deps.waits = &clock;
            deps.rates = &rates;
            CLoaderW6 loader(&state, std::move(deps));
            loader.Run();
        }

        EXPECT_EQ(state.GetStatus(), STATUS_FIRMWARE_COMPLETE);
        EXPECT_TRUE(receiver.Session().transfer.imageMatches);
        EXPECT_EQ(driver.RefusedOpens() > 0, row.script.heldAfterClose > 0ms);
        // The transfer's silence: each pause began once its block had left the PC.
        const std::vector<std::uint32_t>& queued = clock.queuedAtPauses;
        EXPECT_EQ(queued.size(), EmbeddedFirmwareImage().size() / 50);
        EXPECT_EQ(
            std::count_if(queued.begin(), queued.end(), [](std::uint32_t n) { return n > 0; }), 0)
            << "bytes still queued as the last pause began: "
            << (queued.empty() ? 0 : queued.back());
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

// A refusal is taken for the driver letting go only soon after our own close: a port another
// program holds is busy at once, and one still refused a second after our close is busy then.
TEST(CommDev2Win32Driver, ARefusedOpenIsTriedAgainOnlyForASecondAfterOurClose) {
    CSimEngine receiver(SSimOptions{});
    ScriptedDriver::Script held;
    held.heldByAnotherProgram = true;
    ScriptedDriver::Script neverLetsGo;
    neverLetsGo.heldAfterClose = 1h;
    for (const bool closedByUs : {false, true}) {
        SCOPED_TRACE(closedByUs ? "after our close" : "held by another program");
        ScriptedDriver driver(closedByUs ? neverLetsGo : held, receiver);
        CCommDev2 device(driver);
        if (closedByUs) {
            ASSERT_TRUE(device.Open(7));
            device.Close();
        }
        const auto from = driver.Now();
        EXPECT_FALSE(device.Open(7));
        EXPECT_EQ(device.LastOpenError().kind, OpenErrorKind::Busy);
        EXPECT_EQ(driver.Now() - from, closedByUs ? 1000ms : 0ms);
    }
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
