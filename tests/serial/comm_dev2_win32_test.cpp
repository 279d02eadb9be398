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
#include <optional>
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
// a port held a moment after it was closed, written bytes that leave at the line rate while the
// driver's queue or the adapter chip's buffer holds them, the settings the last program left, an
// adapter pulled out under a driver that ignores cancellation. The simulated receiver sits on
// the line: it hears what goes out at the port's rate, and its answers come back through the
// receive thread's reads. Nothing here completes an I/O with time alone: a bounded wait that
// finds one pending lets its bound pass on the clock.
class ScriptedDriver final : public CWin32CommCalls {
public:
    struct Script {
        std::chrono::milliseconds heldAfterClose{0};  // an open before then is refused
        bool heldByAnotherProgram = false;            // every open is refused
        // The adapter chip's buffer takes each write whole: the driver's queue reads empty at
        // once, and the bytes still leave at the line rate.
        bool chipBuffer = false;
        bool commMaskRefused = false;  // SetCommMask fails
        // The adapter is pulled out once this many bytes were written: the write under way and
        // the pending read complete only when the port is closed, CancelIo does nothing, and
        // every later call fails.
        std::optional<std::size_t> pulledAfterBytes;
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
        if (pulled_) {
            lastError_ = ERROR_FILE_NOT_FOUND;
            return INVALID_HANDLE_VALUE;
        }
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
        for (Io* io : {&read_, &write_})
            if (io->overlapped != nullptr && !io->done) Complete(*io, 0, ERROR_OPERATION_ABORTED);
        read_ = {};
        write_ = {};
        changed_.notify_all();
        return TRUE;
    }
    BOOL SetupComm(HANDLE, DWORD, DWORD) override { return TRUE; }
    BOOL SetCommMask(HANDLE, DWORD) override {
        return script_.commMaskRefused ? Fail(ERROR_INVALID_PARAMETER) : TRUE;
    }
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
        if (script_.chipBuffer) return TRUE;
        status.cbOutQue = QueuedOut();
        return TRUE;
    }
    // Every read waits for bytes; it completes once some have arrived.
    BOOL ReadFile(HANDLE /*port*/, void* buffer, DWORD size, DWORD& /*read*/,
                  OVERLAPPED& overlapped) override {
        const std::lock_guard<std::mutex> guard(lock_);
        if (pulled_) return Fail(ERROR_BAD_COMMAND);
        (void)::ResetEvent(overlapped.hEvent);
        read_ = Io{};
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
                   OVERLAPPED& overlapped) override {
        const std::lock_guard<std::mutex> guard(lock_);
        if (pulled_) return Fail(ERROR_BAD_COMMAND);
        bytesWritten_ += size;
        if (script_.pulledAfterBytes && bytesWritten_ >= *script_.pulledAfterBytes) {
            pulled_ = true;
            pulledAt_ = now_;
            arrived_.clear();
            (void)::ResetEvent(overlapped.hEvent);
            write_ = Io{};
            write_.overlapped = &overlapped;
            return Fail(ERROR_IO_PENDING);
        }
        const auto byteTime = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(10.0 / dcb_.BaudRate));
        const Clock::time_point leaves = std::max(lineBusyUntil_, now_);
        lineBusyUntil_ = leaves + byteTime * size;
        onLine_.push_back({leaves, lineBusyUntil_});
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
    BOOL GetOverlappedResultEx(HANDLE, OVERLAPPED& overlapped, DWORD& transferred,
                               DWORD ms) override {
        const std::lock_guard<std::mutex> guard(lock_);
        const Io& io = &overlapped == write_.overlapped ? write_ : read_;
        if (io.overlapped != &overlapped) return TRUE;  // completed, and closed since
        if (!io.done) {
            if (ms == 0) return Fail(ERROR_IO_INCOMPLETE);
            now_ += std::chrono::milliseconds(ms);
            return Fail(WAIT_TIMEOUT);
        }
        transferred = io.count;
        return io.error == 0 ? TRUE : Fail(io.error);
    }
    BOOL CancelIo(HANDLE /*port*/) override {
        const std::lock_guard<std::mutex> guard(lock_);
        if (!pulled_ && read_.overlapped != nullptr && !read_.done)
            Complete(read_, 0, ERROR_OPERATION_ABORTED);
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
    // Until the receive thread has stored every byte the receiver sent (or the port closed); a
    // thread that no longer reads is given two seconds.
    void WaitUntilReceived() {
        std::unique_lock<std::mutex> guard(lock_);
        (void)changed_.wait_for(guard, 2s,
                                [this] { return !open_ || (arrived_.empty() && !storing_); });
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
    // When each write's first byte began to leave on the line, and its last one had left.
    struct OnLine {
        Clock::time_point leaves;
        Clock::time_point left;
    };
    std::vector<OnLine> Written() {
        const std::lock_guard<std::mutex> guard(lock_);
        return onLine_;
    }
    Clock::time_point PulledAt() {
        const std::lock_guard<std::mutex> guard(lock_);
        return pulledAt_;
    }

private:
    struct Io {
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
        Complete(read_, n, 0);
    }
    void Complete(Io& io, DWORD count, DWORD error) {
        io.done = true;
        io.count = count;
        io.error = error;
        (void)::SetEvent(io.overlapped->hEvent);
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
    std::string arrived_;  // received, not yet handed to a read
    Io read_;              // the receive thread's read
    Io write_;             // a write left pending
    std::size_t bytesWritten_ = 0;
    bool pulled_ = false;
    Clock::time_point pulledAt_;
    std::vector<OnLine> onLine_;
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
        pauses.push_back({driver_.Written().size(), std::chrono::milliseconds(ms)});
        Wait(ms);
    }

    struct Pause {
        std::size_t afterWrites;  // the writes made before it
        std::chrono::milliseconds length;
    };
    std::vector<Pause> pauses;

private:
    void Wait(unsigned ms) {
        driver_.Advance(std::chrono::milliseconds(ms));
        driver_.WaitUntilReceived();
    }
    ScriptedDriver& driver_;
};

SSimOptions ReceiverOfTheImage() {
    SSimOptions options;
    options.expectedImage = EmbeddedFirmwareImage();
    return options;
}

// A whole load of the receiver through the device on `driver`, with the loader's waits on
// `clock`, recorded in `state`.
void LoadThrough(ScriptedDriver& driver, DriverClock& clock, SLoaderState& state) {
    state.SetComPort(7);
    SReceiverRates rates;
    LoaderDeps deps;
    deps.device = std::make_unique<CCommDev2>(driver);
    deps.waits = &clock;
    deps.rates = &rates;
    CLoaderW6 loader(&state, std::move(deps));
    loader.Run();
}

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
    ScriptedDriver::Script chipBuffer;
    chipBuffer.chipBuffer = true;
    ScriptedDriver::Script commMaskRefused;
    commMaskRefused.commMaskRefused = true;
    for (const Row& row :
         {Row{"an output queue that drains at the line rate", {}},
          Row{"the chip's buffer takes each block: the queue reads empty at once", chipBuffer},
          Row{"the port held for 300 ms after our close", holdsThePort},
          Row{"DSR sensitivity and abort-on-error left on by another program",
              leftByAnotherProgram},
          Row{"the comm event mask refused", commMaskRefused}}) {
        SCOPED_TRACE(row.name);
        CSimEngine receiver(ReceiverOfTheImage());
        ScriptedDriver driver(row.script, receiver);
        DriverClock clock(driver);
        SLoaderState state;
        LoadThrough(driver, clock, state);

        EXPECT_EQ(state.GetStatus(), STATUS_FIRMWARE_COMPLETE);
        EXPECT_TRUE(receiver.Session().transfer.imageMatches);
        EXPECT_EQ(driver.RefusedOpens() > 0, row.script.heldAfterClose > 0ms);
        // The transfer's silence: each pause is one on the line, from the last byte of the block
        // before it to the first byte of the next.
        const std::vector<ScriptedDriver::OnLine> written = driver.Written();
        EXPECT_EQ(clock.pauses.size(), EmbeddedFirmwareImage().size() / 50);
        std::size_t shortened = 0;
        std::chrono::steady_clock::duration shortest = 1h;
        for (const DriverClock::Pause& pause : clock.pauses) {
            if (pause.afterWrites == 0 || pause.afterWrites >= written.size()) continue;
            const auto silence =
                written[pause.afterWrites].leaves - written[pause.afterWrites - 1].left;
            shortest = std::min(shortest, silence);
            if (silence < pause.length) ++shortened;
        }
        EXPECT_EQ(shortened, 0u) << "the shortest silence: "
                                 << std::chrono::duration<double, std::milli>(shortest).count()
                                 << " ms";
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

// An adapter pulled out in the middle of the image, under a driver that ignores cancellation and
// completes what was pending only when the port is closed: the load ends as a failed block within
// a few seconds, with the port closed, instead of waiting for the driver for good.
TEST(CommDev2Win32Driver, ALoadEndsWhenTheAdapterIsPulledUnderADriverThatIgnoresCancellation) {
    CSimEngine receiver(ReceiverOfTheImage());
    ScriptedDriver::Script pulled;
    pulled.pulledAfterBytes = 20000;
    ScriptedDriver driver(pulled, receiver);
    DriverClock clock(driver);
    SLoaderState state;
    LoadThrough(driver, clock, state);
    EXPECT_EQ(state.GetStatus(), STATUS_BLOCK_FAILED);
    EXPECT_LE(driver.Now() - driver.PulledAt(), 3s);
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
