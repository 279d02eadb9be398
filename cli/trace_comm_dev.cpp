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

CTraceCommDev::CTraceCommDev(std::unique_ptr<CCommDev2> inner, std::string portLabel,
                             std::ostream& out, Clock clock)
    : inner_(std::move(inner)),
      portLabel_(std::move(portLabel)),
      out_(out),
      clock_(std::move(clock)) {
    if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
    start_ = clock_();
    PullSettings();
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
    const bool ok = inner_->Open(port);
    PullSettings();
    lastOpenError_ = inner_->LastOpenError();
    if (ok) {
        Emit(FormatTraceNote(
            Seconds(), Format("open %s at %u baud", portLabel_.c_str(), lineSettings.BaudRate)));
    } else {
        Emit(FormatTraceNote(
            Seconds(), Format("open %s (%s) failed: %s", portLabel_.c_str(),
                              lastOpenError_.devicePath.c_str(), lastOpenError_.osText.c_str())));
    }
    return ok;
}

bool CTraceCommDev::InitCommState() {
    PushSettings();
    const bool ok = inner_->InitCommState();
    PullSettings();
    return ok;
}

bool CTraceCommDev::SetHandshake(bool enable) {
    PushSettings();
    const bool ok = inner_->SetHandshake(enable);
    PullSettings();
    return ok;
}

bool CTraceCommDev::ApplyCommState() {
    PushSettings();
    const bool ok = inner_->ApplyCommState();
    PullSettings();
    Emit(FormatTraceNote(
        Seconds(), Format("line rate %u baud%s", lineSettings.BaudRate, ok ? "" : " refused")));
    return ok;
}

bool CTraceCommDev::Write(const void* data, int length) {
    const bool ok = inner_->Write(data, length);
    if (length > 0) {
        std::string line =
            FormatTraceLine(Seconds(), lineSettings.BaudRate, '>',
                            std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data),
                                                          static_cast<std::size_t>(length)));
        if (!ok) line.insert(line.size() - 1, "  write failed");
        Emit(line);
    }
    return ok;
}

int CTraceCommDev::Read(char* buffer, int length) {
    const int n = inner_->Read(buffer, length);
    // The loader polls; an empty poll is not traffic.
    if (n > 0) {
        Emit(FormatTraceLine(
            Seconds(), lineSettings.BaudRate, '<',
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(buffer),
                                          static_cast<std::size_t>(n))));
    }
    return n;
}

void CTraceCommDev::Close() {
    const bool wasOpen = inner_->IsOpen();
    inner_->Close();
    if (wasOpen) Emit(FormatTraceNote(Seconds(), "close"));
}

bool CTraceCommDev::IsOpen() const { return inner_->IsOpen(); }

}  // namespace morvane
