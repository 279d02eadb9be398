#include "loader/serial_link.h"

#include "serial/comm_dev2.h"

namespace morvane {

CSerialLink::CSerialLink(std::unique_ptr<ISerialDevice> device)
    : device_(device ? std::move(device) : std::make_unique<CCommDev2>()) {}

CSerialLink::~CSerialLink() { device_->Close(); }

bool CSerialLink::Open(int port, unsigned rate) {
    if (!device_->Open(port)) return false;
    if (device_->IsOpen()) device_->LineSettings().BaudRate = rate;
    device_->SetHandshake(false);
    device_->ApplyCommState();
    return true;
}

bool CSerialLink::Close() {
    device_->Close();
    return true;
}

bool CSerialLink::Write(const std::uint8_t* data, int len) { return device_->Write(data, len); }

int CSerialLink::WriteLine(const CString& text) {
    // Every byte in a write of its own: a command line leaves the port one byte per write.
    for (const char c : text) device_->Write(&c, 1);
    static constexpr char kCr = '\r';
    static constexpr char kLf = '\n';
    device_->Write(&kCr, 1);
    device_->Write(&kLf, 1);
    return static_cast<int>(text.size());
}

int CSerialLink::Read(char* buffer, int len) { return device_->Read(buffer, len); }

}  // namespace morvane
