// CSerialLink: the loader's serial line. It owns the device, opens it at the rate the loader
// wants with the fixed line settings, and sends command lines the way the receiver expects them:
// one byte per device write, then CR, then LF.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/text.h"
#include "serial/serial_device.h"

namespace morvane {

class CSerialLink {
public:
    // Null: a real device. The link owns the device; it starts closed.
    explicit CSerialLink(std::unique_ptr<ISerialDevice> device = nullptr);
    ~CSerialLink();
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    // Opens COM `port` and sets `rate` (8N1, no flow control, DTR and RTS on). False only when
    // the device could not be opened.
    bool Open(int port, unsigned rate);
    // Always true; harmless when already closed.
    bool Close();
    // One device write of `len` bytes; what the device reported (false when closed, on error,
    // or when the line did not take the bytes in time).
    bool Write(const std::uint8_t* data, int len);
    // The text one byte per device write, then CR, then LF; returns the text's length. Nothing
    // else is added: no checksum.
    int WriteLine(const CString& text);
    // Up to `len` received bytes, without waiting; 0 when nothing is there.
    int Read(char* buffer, int len);

    [[nodiscard]] bool IsOpen() const { return device_->IsOpen(); }
    // The port's device went away under it: the line hung up while open, or the port was not
    // there to open.
    [[nodiscard]] bool DeviceGone() const {
        return device_->LineGone() ||
               (!device_->IsOpen() && device_->LastOpenError().kind == OpenErrorKind::NoSuchDevice);
    }
    // Why the last open failed, for a caller that tells the user more than a status text.
    [[nodiscard]] const OpenError& LastOpenError() const { return device_->LastOpenError(); }

private:
    std::unique_ptr<ISerialDevice> device_;
};

}  // namespace morvane
