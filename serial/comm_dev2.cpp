#include "serial/comm_dev2.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <utility>

#include "platform/debug.h"
#include "serial/comm_dev2_shared.h"

namespace morvane {

void CommDebugLine(const char* format, ...) {
    char line[64];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    OutputDebugStringA(line);
}

std::chrono::microseconds LineTime(std::uint32_t bytes, std::uint32_t rate) {
    const std::uint64_t bitsPerSecond = rate > 0 ? rate : 9600;
    const std::uint64_t us =
        (std::uint64_t{bytes} * 10 * 1'000'000 + bitsPerSecond - 1) / bitsPerSecond;
    return std::chrono::microseconds(us);
}

namespace {
std::atomic<int> g_abandonedPorts{0};
}  // namespace

int AbandonedPortCount() { return g_abandonedPorts.load(); }

void CCommDev2::CountAbandonedPort() {
    g_abandonedPorts.fetch_add(1);
    OutputDebugStringA(Format("morvane: the driver of %s kept requests past their cancellation "
                              "and the port's close: its buffers and its thread are left to it\n",
                              lastOpenError_.devicePath.c_str())
                           .c_str());
}

std::string CCommDev2::BeginOpen(int port) {
    Close();
    goneAtClose_ = false;
    lastOpenError_ = OpenError{};
    lastOpenError_.devicePath = DevicePathFor(port);
    return lastOpenError_.devicePath;
}

bool CCommDev2::OpenFailed(OpenErrorKind kind, int osError, std::string osText) {
    lastOpenError_.kind = kind;
    lastOpenError_.osError = osError;
    lastOpenError_.osText = std::move(osText);
    Close();
    return false;
}

bool CCommDev2::InitCommState() {
    if (!IsOpen()) return false;
    lineSettings_ = DefaultLineSettings();
    return ApplyCommState();
}

bool CCommDev2::SetHandshake(bool enable) {
    if (!IsOpen()) return false;
    SetLineHandshake(lineSettings_, enable);
    return true;
}

int CCommDev2::Read(char* buffer, int length) {
    OpenPort* port = Port();
    return port != nullptr && IsOpen() ? port->ring.Take(buffer, length) : 0;
}

int CCommDev2::RingCount() const {
    const OpenPort* port = Port();
    return port != nullptr ? port->ring.Count() : 0;
}

}  // namespace morvane
