#include "serial/sysfs_port_text.h"

namespace morvane {
namespace {

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

CString SysfsText(std::string_view raw) {
    CString text(raw);
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    const std::size_t first = text.find_first_not_of(' ');
    if (first == CString::npos) return {};
    const std::size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::optional<int> SysfsNumber(std::string_view raw) {
    std::size_t begin = 0;
    std::size_t end = raw.size();
    while (begin < end && IsBlank(raw[begin])) ++begin;
    while (end > begin && IsBlank(raw[end - 1])) --end;
    if (begin == end || end - begin > 9) return std::nullopt;
    int value = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (raw[i] < '0' || raw[i] > '9') return std::nullopt;
        value = value * 10 + (raw[i] - '0');
    }
    return value;
}

std::string_view LinkTargetName(std::string_view target) {
    while (!target.empty() && target.back() == '/') target.remove_suffix(1);
    const std::size_t slash = target.rfind('/');
    return slash == std::string_view::npos ? target : target.substr(slash + 1);
}

bool IsPlaceholderUart(std::optional<int> uartType, std::string_view driverName,
                       std::string_view resolvedDevicePath) {
    if (uartType) return *uartType == 0;
    return driverName == "serial8250" ||
           resolvedDevicePath.find("/serial8250") != std::string_view::npos;
}

bool IsBelowUsbRootHub(std::string_view resolvedDevicePath) {
    std::size_t pos = 0;
    while ((pos = resolvedDevicePath.find("/usb", pos)) != std::string_view::npos) {
        std::size_t i = pos + 4;
        const std::size_t digits = i;
        while (i < resolvedDevicePath.size() && resolvedDevicePath[i] >= '0' &&
               resolvedDevicePath[i] <= '9')
            ++i;
        if (i > digits && (i == resolvedDevicePath.size() || resolvedDevicePath[i] == '/'))
            return true;
        pos = i;
    }
    return false;
}

CString UsbAdapterName(std::string_view product, std::string_view manufacturer,
                       std::string_view vendorId, std::string_view productId) {
    CString productText = SysfsText(product);
    if (!productText.empty()) return productText;
    const CString maker = SysfsText(manufacturer);
    const CString vendor = SysfsText(vendorId);
    const CString model = SysfsText(productId);
    if (!maker.empty())
        return vendor.empty() || model.empty() ? maker + " USB Serial Port"
                                               : maker + " " + vendor + ":" + model;
    return "USB Serial Port";
}

CString OnBoardPortName(std::string_view ttyName) {
    if (ttyName.substr(0, 6) == "rfcomm") return "Bluetooth Serial Port";
    return "Communications Port";
}

SSerInfo MakePortRecord(int comPort, const CString& devicePath, const CString& name, bool isUsb) {
    SSerInfo port;
    port.devicePath = devicePath;
    port.portName = Format("COM%d", comPort);
    port.friendlyName = name + " (" + port.portName + ")";
    port.isUsb = isUsb;
    port.description = name;
    return port;
}

}  // namespace morvane
