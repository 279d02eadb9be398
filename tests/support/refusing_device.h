// A port that will not open, for the reason the test gives: what a load meets when another
// program holds the receiver's port. The windows' and morvane-cli's tests use it.
#pragma once

#include <utility>

#include "serial/serial_device.h"

namespace morvane::testing_support {

class CRefusingDevice : public ISerialDevice {
public:
    explicit CRefusingDevice(OpenError error) : error_(std::move(error)) {}
    bool Open(int /*port*/) override { return false; }
    bool InitCommState() override { return false; }
    bool SetHandshake(bool /*enable*/) override { return false; }
    bool ApplyCommState() override { return false; }
    bool Write(const void* /*data*/, int /*length*/) override { return false; }
    int Read(char* /*buffer*/, int /*length*/) override { return 0; }
    void Close() override {}
    [[nodiscard]] bool IsOpen() const override { return false; }
    [[nodiscard]] SLineSettings& LineSettings() override { return settings_; }
    [[nodiscard]] const OpenError& LastOpenError() const override { return error_; }

private:
    OpenError error_;
    SLineSettings settings_;
};

}  // namespace morvane::testing_support
