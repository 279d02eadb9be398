// A serial device that records what the load did with it and answers from a scripted reply:
// the session's and the trace's tests share it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "serial/serial_device.h"

namespace morvane::testing_support {

// What a fake device saw; outlives the device, which the loader owns and destroys.
struct SDeviceLog {
    int opens = 0;
    int writes = 0;
    bool open = false;
    std::uint32_t appliedRate = 0;
    std::string written;
};

class CFakeDevice : public ISerialDevice {
public:
    CFakeDevice(SDeviceLog& log, OpenErrorKind refuse = OpenErrorKind::None)
        : log_(log), refuse_(refuse) {}

    bool Open(int) override {
        ++log_.opens;
        if (refuse_ != OpenErrorKind::None) {
            lastOpenError_ = OpenError{refuse_, "/dev/ttyFAKE0", "Device or resource busy", 16, {}};
            return false;
        }
        lastOpenError_ = OpenError{};
        lineSettings_.BaudRate = 9600;
        log_.open = true;
        return true;
    }
    bool InitCommState() override { return log_.open; }
    bool SetHandshake(bool) override { return log_.open; }
    bool ApplyCommState() override {
        log_.appliedRate = lineSettings_.BaudRate;
        return log_.open;
    }
    bool Write(const void* data, int length) override {
        ++log_.writes;
        log_.written.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
        return log_.open;
    }
    int Read(char* buffer, int length) override {
        const int n = std::min(length, static_cast<int>(reply_.size()));
        reply_.copy(buffer, static_cast<std::size_t>(n));
        reply_.erase(0, static_cast<std::size_t>(n));
        return n;
    }
    void Close() override { log_.open = false; }
    [[nodiscard]] bool IsOpen() const override { return log_.open; }
    [[nodiscard]] SLineSettings& LineSettings() override { return lineSettings_; }
    [[nodiscard]] const OpenError& LastOpenError() const override { return lastOpenError_; }

    std::string reply_;

private:
    SLineSettings lineSettings_;
    OpenError lastOpenError_;
    SDeviceLog& log_;
    OpenErrorKind refuse_;
};

}  // namespace morvane::testing_support
