// --trace: a serial device that forwards every call to the real one and writes a line for each
// write and read, so a support case can see exactly what went over the wire and when.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <span>
#include <string>

#include "serial/serial_device.h"
#include "session/load_session.h"

namespace morvane {

// One trace line: seconds since the start, the line rate, the direction ('>' sent, '<'
// received), the count, the bytes in hex and as text ('.' for what does not print):
//   "    12.345  19200 >    7  24 4A 4F 46 46 0D 0A  |$JOFF..|"
[[nodiscard]] std::string FormatTraceLine(double seconds, std::uint32_t baudRate, char direction,
                                          std::span<const std::uint8_t> bytes);

// A note in the trace about the port itself (opened, closed, rate applied).
[[nodiscard]] std::string FormatTraceNote(double seconds, const std::string& text);

class CTraceCommDev : public CSerialDeviceWrapper {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // `portLabel` names the port in the trace ("COM5", "/dev/ttyUSB0"). `out` receives whole
    // lines, one write per line; it must outlive the device. `clock` defaults to the steady
    // clock; timestamps count from construction.
    CTraceCommDev(std::unique_ptr<ISerialDevice> inner, std::string portLabel, std::ostream& out,
                  Clock clock = {});

    bool Open(int port) override;
    bool ApplyCommState() override;
    bool Write(const void* data, int length) override;
    int Read(char* buffer, int length) override;
    void Close() override;

private:
    [[nodiscard]] double Seconds() const;
    void Emit(const std::string& line);

    std::string portLabel_;
    std::ostream& out_;
    Clock clock_;
    std::chrono::steady_clock::time_point start_;
    std::mutex outLock_;
};

// For a session: every device it opens traced to `out` under `portLabel`.
[[nodiscard]] DeviceDecorator TraceTo(std::ostream& out, std::string portLabel);

}  // namespace morvane
