// ISerialDevice: what the loader and the programs need of a serial port, and nothing of how a
// platform provides it.
//
// CCommDev2 (comm_dev2.h) is the real port behind it on each platform; a device opened by path,
// the CLI's trace, the benchmarks' timing probe and the tests' scripted receiver stand in for it
// or wrap it. The header names no OS type, so the same face serves a termios and a Win32 backend.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace morvane {

// The numbers are those of the Windows device-control block, so a Win32 backend stores them as
// they are; the termios backend translates them.
enum class LineParity : std::uint8_t { None = 0, Odd = 1, Even = 2 };
enum class LineStopBits : std::uint8_t { One = 0, Two = 2 };
enum class DtrControl : std::uint8_t { Disable = 0, Enable = 1 };
enum class RtsControl : std::uint8_t { Disable = 0, Enable = 1 };

// The line settings the owner may edit between Open and ApplyCommState, named after the fields
// of the Windows device-control block they stand for.
struct SLineSettings {
    std::uint32_t BaudRate = 0;
    std::uint8_t ByteSize = 0;
    LineParity Parity = LineParity::None;
    LineStopBits StopBits = LineStopBits::One;
    bool fBinary = false;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    DtrControl fDtrControl = DtrControl::Disable;
    bool fOutX = false;
    bool fInX = false;
    bool fNull = false;
    RtsControl fRtsControl = RtsControl::Disable;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char EvtChar = 0;
};

// What a port is set to when it opens, on every platform: 9600 Bd, 8 data bits, no parity, one
// stop bit, binary, DTR and RTS on, no flow control; the XON/XOFF characters and limits the
// device-control block usually carries, and CR as the event character.
[[nodiscard]] SLineSettings DefaultLineSettings();

// Hardware handshake on: the port waits for CTS before it sends. Off: no flow control at all,
// with DTR and RTS held on.
void SetLineHandshake(SLineSettings& settings, bool enable);

// Why the last Open failed, in terms a user can act on; the OS text is kept.
enum class OpenErrorKind : std::uint8_t {
    None,
    NoSuchDevice,      // the number maps to no device, or the device is not there
    PermissionDenied,  // the user may not open the device (not in its group)
    Busy,              // another program (or this one) holds the port
    NotSerial,         // the path is not a terminal device
    SettingsRefused,   // the port refused the line settings
    Other,
};

struct OpenError {
    OpenErrorKind kind = OpenErrorKind::None;
    std::string devicePath;  // the device the number mapped to (empty if none)
    std::string osText;      // strerror text of the failing call
    int osError = 0;         // its errno
    // For a busy port, the other programs found holding it: "ModemManager (pid 812)".
    std::vector<std::string> holders;
};

class ISerialDevice {
public:
    // What a port's receive ring holds; bytes arriving while it is full are lost.
    static constexpr int kBufferSize = 4096;

    virtual ~ISerialDevice() = default;

    // Closes whatever was open, opens the device of COM `port`, applies the default line
    // settings and time-outs, starts receiving and raises DTR. False: nothing is open, and
    // LastOpenError() says why.
    virtual bool Open(int port) = 0;
    // Builds the default settings (9600 8N1, no flow control, DTR and RTS on) into the line
    // settings and applies them. False if closed or refused.
    virtual bool InitCommState() = 0;
    // Edits the line settings only (no system call). False if closed.
    virtual bool SetHandshake(bool enable) = 0;
    // Applies the line settings to the port. False if closed or the port refuses them (for
    // example an unsupported rate).
    virtual bool ApplyCommState() = 0;
    // Blocks until all bytes have left; false if closed, on error, or when the 1000 ms write
    // time-out cut the write short.
    virtual bool Write(const void* data, int length) = 0;
    // Copies up to `length` received bytes in arrival order; never waits. 0 when closed.
    virtual int Read(char* buffer, int length) = 0;
    // Stops receiving, drops DTR, discards what the driver holds and releases everything.
    // Harmless when already closed.
    virtual void Close() = 0;
    [[nodiscard]] virtual bool IsOpen() const = 0;
    // True once the device went away under the open port (a USB adapter pulled, a receiver that
    // left the bus, the far end of a pseudo-terminal closed): the tty is hung up for good and
    // nothing written reaches the line any more. It stays true after the port's Close until the
    // next Open; a device that cannot tell says false.
    [[nodiscard]] virtual bool LineGone() const { return false; }

    // The settings ApplyCommState applies; the owner edits them in place between Open and
    // ApplyCommState.
    [[nodiscard]] virtual SLineSettings& LineSettings() = 0;
    // Why the last Open failed (kind None after a successful one).
    [[nodiscard]] virtual const OpenError& LastOpenError() const = 0;
};

// A device that hands every call to another one, for wrappers that watch or alter a few calls
// and leave the rest (the line settings and the open error included) to the device inside.
class CSerialDeviceWrapper : public ISerialDevice {
public:
    explicit CSerialDeviceWrapper(std::unique_ptr<ISerialDevice> inner)
        : inner_(std::move(inner)) {}

    bool Open(int port) override { return inner_->Open(port); }
    bool InitCommState() override { return inner_->InitCommState(); }
    bool SetHandshake(bool enable) override { return inner_->SetHandshake(enable); }
    bool ApplyCommState() override { return inner_->ApplyCommState(); }
    bool Write(const void* data, int length) override { return inner_->Write(data, length); }
    int Read(char* buffer, int length) override { return inner_->Read(buffer, length); }
    void Close() override { inner_->Close(); }
    [[nodiscard]] bool IsOpen() const override { return inner_->IsOpen(); }
    [[nodiscard]] bool LineGone() const override { return inner_->LineGone(); }
    [[nodiscard]] SLineSettings& LineSettings() override { return inner_->LineSettings(); }
    [[nodiscard]] const OpenError& LastOpenError() const override {
        return inner_->LastOpenError();
    }

protected:
    [[nodiscard]] ISerialDevice& Inner() { return *inner_; }

private:
    std::unique_ptr<ISerialDevice> inner_;
};

}  // namespace morvane
