// CCommDev2: the real serial port, the device the loader opens unless it is handed another.
//
// Opened by COM port number (com_port_map.h says which device that is), with fixed line
// settings; a receive thread moves every byte the port receives into a 4096-byte ring, and
// Read() hands over what the ring holds without ever waiting. Write() blocks until the bytes
// have left or the 1000 ms write time-out struck. A closed device makes every operation a
// harmless no-op, and Close() may run any number of times.
//
// The header names no OS type. comm_dev2.cpp holds what every platform shares (the line
// settings, the handshake, reading the ring, the open error); each platform's file
// (comm_dev2_posix.cpp, comm_dev2_win32.cpp) defines the Backend an open port holds and the
// operations that talk to the system.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "serial/serial_device.h"

namespace morvane {

// The Win32 calls the Windows device makes (comm_calls_win32.h).
class CWin32CommCalls;

class CCommDev2 : public ISerialDevice {
public:
    CCommDev2();
    // Windows only: a device that makes its calls through `calls` instead of the system's, for
    // tests that play a driver's behaviour. `calls` must outlive the device.
    explicit CCommDev2(CWin32CommCalls& calls);
    ~CCommDev2() override;
    CCommDev2(const CCommDev2&) = delete;
    CCommDev2& operator=(const CCommDev2&) = delete;

    bool Open(int port) override;
    bool InitCommState() override;
    bool SetHandshake(bool enable) override;
    bool ApplyCommState() override;
    bool Write(const void* data, int length) override;
    int Read(char* buffer, int length) override;
    void Close() override;
    [[nodiscard]] bool IsOpen() const override;
    [[nodiscard]] bool LineGone() const override;
    [[nodiscard]] SLineSettings& LineSettings() override { return lineSettings_; }
    [[nodiscard]] const OpenError& LastOpenError() const override { return lastOpenError_; }

    // Bytes held in the receive ring now.
    [[nodiscard]] int RingCount() const;

protected:
    // The device a port number opens. Overridden by a device bound to one path.
    [[nodiscard]] virtual std::string DevicePathFor(int port) const;

private:
    struct OpenPort;  // what an open port holds on every platform (comm_dev2_shared.h)
    struct Backend;   // an OpenPort with what the platform adds to it

    // The start of every Open: whatever was open is closed and the last error forgotten.
    // Returns the device `port` stands for.
    std::string BeginOpen(int port);
    // Records why Open failed, releases everything and returns false.
    bool OpenFailed(OpenErrorKind kind, int osError, std::string osText);
    // A port whose driver still held a request after the port was closed is left to it, with its
    // buffers and its receive thread: counted, and said in the debug channel.
    void CountAbandonedPort();
    // The open port's shared part; null while closed.
    [[nodiscard]] OpenPort* Port() const;

    SLineSettings lineSettings_;
    OpenError lastOpenError_;
    std::unique_ptr<Backend> backend_;
    // The device went away under the port last opened: kept past its Close (a write that hung
    // closes the port itself) until the next Open. The owner's thread only.
    bool goneAtClose_ = false;
    // The device this one last closed, and when: opened again a moment later, it is the loader's
    // own close and reopen at another rate (used where the system's holders are looked up).
    std::string closedPath_;
    std::chrono::steady_clock::time_point closedAt_;
    [[maybe_unused]] CWin32CommCalls* calls_ = nullptr;  // null: the system's own
};

// Ports this program left to their drivers because a request was still pending after the port
// was closed (a driver that ignores cancellation under an adapter pulled out): each keeps a
// thread and a few handles until the program ends. Any thread.
[[nodiscard]] int AbandonedPortCount();

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
