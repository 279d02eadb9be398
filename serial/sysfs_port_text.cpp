#include "serial/sysfs_port_text.h"

#include "serial/port_identity.h"

namespace morvane {
namespace {

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view Trimmed(std::string_view raw) {
    while (!raw.empty() && IsBlank(raw.front())) raw.remove_prefix(1);
    while (!raw.empty() && IsBlank(raw.back())) raw.remove_suffix(1);
    return raw;
}

// The next blank-separated word of `line`, taken off its front.
std::string_view NextWord(std::string_view& line) {
    line = Trimmed(line);
    std::size_t end = 0;
    while (end < line.size() && !IsBlank(line[end])) ++end;
    const std::string_view word = line.substr(0, end);
    line.remove_prefix(end);
    return word;
}

std::optional<unsigned> Decimal(std::string_view digits) {
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    unsigned value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

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
    const std::optional<unsigned> value = Decimal(Trimmed(raw));
    if (!value) return std::nullopt;
    return static_cast<int>(*value);
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

std::vector<STtyDriverRange> ParseTtyDrivers(std::string_view text) {
    std::vector<STtyDriverRange> drivers;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        // name, device node, major, minor or first-last, type
        NextWord(line);
        NextWord(line);
        const std::optional<unsigned> major = Decimal(NextWord(line));
        const std::string_view minors = NextWord(line);
        const std::size_t dash = minors.find('-');
        const std::optional<unsigned> first = Decimal(minors.substr(0, dash));
        const std::optional<unsigned> last =
            dash == std::string_view::npos ? first : Decimal(minors.substr(dash + 1));
        if (major && first && last && *first <= *last) drivers.push_back({*major, *first, *last});
    }
    return drivers;
}

bool IsTtyDevice(unsigned major, unsigned minor, const std::vector<STtyDriverRange>& drivers) {
    for (const STtyDriverRange& d : drivers) {
        if (d.major == major && minor >= d.firstMinor && minor <= d.lastMinor) return true;
    }
    return false;
}

SSerInfo MakePortRecord(int comPort, const CString& devicePath, const CString& name, bool isUsb) {
    SSerInfo port;
    port.devicePath = devicePath;
    port.portName = ComPortName(comPort);
    port.friendlyName = name + " (" + port.portName + ")";
    port.isUsb = isUsb;
    port.description = name;
    return port;
}

}  // namespace morvane
