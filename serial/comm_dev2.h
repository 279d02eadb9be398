// CCommDev2: the updater's only access to a serial port.
//
// Opened by COM port number (com_port_map.h says which device that is), with fixed line
// settings; a receive thread moves every byte the port receives into a 4096-byte ring, and
// Read() hands over what the ring holds without ever waiting. Write() blocks until the bytes
// have left or the 1000 ms write time-out struck. A closed device makes every operation a
// harmless no-op, and Close() may run any number of times.
//
// The operations the loader's serial link calls are virtual, so tests can stand a scripted
// double (or a fault-injecting wrapper) in for a real port. The header names no OS type; the
// platform's file (comm_dev2_posix.cpp here) implements it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace morvane {

// The line settings the owner may edit between Open and ApplyCommState, named after the
// fields of the Windows device-control block they stand for.
inline constexpr std::uint8_t NOPARITY = 0;
inline constexpr std::uint8_t ONESTOPBIT = 0;
inline constexpr std::uint8_t DTR_CONTROL_DISABLE = 0;
inline constexpr std::uint8_t DTR_CONTROL_ENABLE = 1;
inline constexpr std::uint8_t RTS_CONTROL_DISABLE = 0;
inline constexpr std::uint8_t RTS_CONTROL_ENABLE = 1;

struct SLineSettings {
    std::uint32_t BaudRate = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = NOPARITY;
    std::uint8_t StopBits = ONESTOPBIT;
    bool fBinary = false;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    std::uint8_t fDtrControl = DTR_CONTROL_DISABLE;
    bool fOutX = false;
    bool fInX = false;
    bool fNull = false;
    std::uint8_t fRtsControl = RTS_CONTROL_DISABLE;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char EvtChar = 0;
};

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
};

// Error bits, as the Windows driver reports them; the Linux backend derives them from what the
// kernel counts (TIOCGICOUNT) where the driver counts anything.
inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;
inline constexpr std::uint32_t CE_TXFULL = 0x0100;
inline constexpr std::uint32_t CE_IOE = 0x0400;
inline constexpr std::uint32_t CE_MODE = 0x8000;

// The text of a set of error bits: " CE_BREAK", " CE_FRAME", ... in a fixed order, cut so that
// it fits a 32-byte buffer (at most 31 characters).
[[nodiscard]] std::string CommErrorText(std::uint32_t errors);

class CCommDev2 {
public:
    static constexpr int kBufferSize = 4096;

    CCommDev2();
    virtual ~CCommDev2();
    CCommDev2(const CCommDev2&) = delete;
    CCommDev2& operator=(const CCommDev2&) = delete;

    // Closes whatever was open, opens the device of COM `port`, applies the default line
    // settings and time-outs, starts the receive thread and raises DTR. False: nothing is open.
    virtual bool Open(int port);
    // Builds the default settings (9600 8N1, no flow control, DTR and RTS on) into
    // lineSettings and applies them. False if closed or refused.
    virtual bool InitCommState();
    // Edits lineSettings only (no system call). False if closed.
    virtual bool SetHandshake(bool enable);
    // Applies lineSettings to the port. False if closed or the port refuses them (for example
    // an unsupported rate).
    virtual bool ApplyCommState();
    // Blocks until all bytes have left; false if closed, on error, or when the 1000 ms write
    // time-out cut the write short.
    virtual bool Write(const void* data, int length);
    // Copies up to `length` received bytes in arrival order; never waits. 0 when closed.
    virtual int Read(char* buffer, int length);
    // Stops the receive thread, drops DTR, discards what the driver holds and releases
    // everything. Harmless when already closed.
    virtual void Close();
    [[nodiscard]] virtual bool IsOpen() const;

    // Why the last Open failed (kind None after a successful one).
    [[nodiscard]] const OpenError& LastOpenError() const { return lastOpenError_; }

    // Bytes held in the receive ring now.
    [[nodiscard]] int RingCount() const;

    SLineSettings lineSettings;

protected:
    // The device a port number opens. Overridden by a device bound to one path.
    [[nodiscard]] virtual std::string DevicePathFor(int port) const;

    OpenError lastOpenError_;

private:
    struct Backend;
    std::unique_ptr<Backend> backend_;
};

// A device that opens one fixed tty path whatever number it is given, for a port the user
// names by its path.
class CPathCommDev : public CCommDev2 {
public:
    explicit CPathCommDev(std::string path) : path_(std::move(path)) {}

protected:
    [[nodiscard]] std::string DevicePathFor(int /*port*/) const override { return path_; }

private:
    std::string path_;
};

}  // namespace morvane
