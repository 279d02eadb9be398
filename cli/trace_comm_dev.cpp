#include "cli/trace_comm_dev.h"

#include "platform/text.h"

namespace morvane {

std::string FormatTraceLine(double seconds, std::uint32_t baudRate, char direction,
                            std::span<const std::uint8_t> bytes) {
    std::string line = Format("%10.3f %6u %c %4zu ", seconds, baudRate, direction, bytes.size());
    std::string printable;
    printable.reserve(bytes.size());
    for (std::uint8_t b : bytes) {
        line += Format(" %02X", b);
        printable += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
    }
    line += "  |" + printable + "|\n";
    return line;
}

std::string FormatTraceNote(double seconds, const std::string& text) {
    return Format("%10.3f        %s\n", seconds, text.c_str());
}

CTraceCommDev::CTraceCommDev(std::unique_ptr<ISerialDevice> inner, std::string portLabel,
                             std::ostream& out, Clock clock)
    : CSerialDeviceWrapper(std::move(inner)),
      portLabel_(std::move(portLabel)),
      out_(out),
      clock_(std::move(clock)) {
    if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
    start_ = clock_();
}

double CTraceCommDev::Seconds() const {
    return std::chrono::duration<double>(clock_() - start_).count();
}

void CTraceCommDev::Emit(const std::string& line) {
    const std::lock_guard<std::mutex> guard(outLock_);
    out_ << line;
    out_.flush();
}

bool CTraceCommDev::Open(int port) {
    const bool ok = Inner().Open(port);
    if (ok) {
        Emit(FormatTraceNote(
            Seconds(), Format("open %s at %u baud", portLabel_.c_str(), LineSettings().BaudRate)));
    } else {
        const OpenError& error = LastOpenError();
        Emit(FormatTraceNote(Seconds(), Format("open %s (%s) failed: %s", portLabel_.c_str(),
                                               error.devicePath.c_str(), error.osText.c_str())));
    }
    return ok;
}

bool CTraceCommDev::ApplyCommState() {
    const bool ok = Inner().ApplyCommState();
    Emit(FormatTraceNote(
        Seconds(), Format("line rate %u baud%s", LineSettings().BaudRate, ok ? "" : " refused")));
    return ok;
}

bool CTraceCommDev::Write(const void* data, int length) {
    const bool ok = Inner().Write(data, length);
    if (length > 0) {
        std::string line =
            FormatTraceLine(Seconds(), LineSettings().BaudRate, '>',
                            std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data),
                                                          static_cast<std::size_t>(length)));
        if (!ok) line.insert(line.size() - 1, "  write failed");
        Emit(line);
    }
    return ok;
}

int CTraceCommDev::Read(char* buffer, int length) {
    const int n = Inner().Read(buffer, length);
    // The loader polls; an empty poll is not traffic.
    if (n > 0) {
        Emit(FormatTraceLine(
            Seconds(), LineSettings().BaudRate, '<',
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(buffer),
                                          static_cast<std::size_t>(n))));
    }
    return n;
}

void CTraceCommDev::Close() {
    const bool wasOpen = Inner().IsOpen();
    Inner().Close();
    if (wasOpen) Emit(FormatTraceNote(Seconds(), "close"));
}

DeviceDecorator TraceTo(std::ostream& out, std::string portLabel) {
    return [&out, label = std::move(portLabel)](std::unique_ptr<ISerialDevice> device) {
        return std::make_unique<CTraceCommDev>(std::move(device), label, out);
    };
}

}  // namespace morvane
