#include "tests/support/mock_system_bus.h"

#include <cstdlib>
#include <systemd/sd-bus.h>

#include "tests/support/wait_until.h"

namespace morvane::testing {
namespace {

// Debian's python3-dbusmock belongs to the system's Python, whatever python3 is first on PATH.
constexpr const char* kSystemPython = "/usr/bin/python3";

struct SBus {
    sd_bus* bus = nullptr;
    explicit SBus(const std::string& address) {
        if (sd_bus_new(&bus) < 0) return;
        if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
            sd_bus_start(bus) < 0) {
            bus = sd_bus_flush_close_unref(bus);
        }
    }
    ~SBus() { sd_bus_flush_close_unref(bus); }
    SBus(const SBus&) = delete;
    SBus& operator=(const SBus&) = delete;
};

bool HasOwner(const std::string& address, const char* name) {
    SBus bus(address);
    if (bus.bus == nullptr) return false;
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, whose C compound literal C++ does not take
    sd_bus_message* reply = nullptr;
    int owned = 0;
    if (sd_bus_call_method(bus.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s", name) >= 0)
        (void)sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return owned != 0;
}

}  // namespace

CMockSystemBus::CMockSystemBus() {
    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                                 "--print-address=1"},
        std::vector<std::string>{}, ChildStderr::ToFile, "/dev/null");
    if (!daemon_->Started()) return;
    address_ = daemon_->FirstLine(std::chrono::seconds(10));
    if (address_.empty()) return;
    const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    hadPreviousAddress_ = previous != nullptr;
    if (previous != nullptr) previousAddress_ = previous;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

CMockSystemBus::~CMockSystemBus() {
    for (auto* mock : {&logind_, &upower_, &daemon_}) {
        if (*mock) (*mock)->Stop();
    }
    if (hadPreviousAddress_) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", previousAddress_.c_str(), 1);
    } else {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
}

bool CMockSystemBus::StartTemplate(const char* name, const char* busName,
                                   std::unique_ptr<ChildProcess>& mock) {
    if (!Ready()) return false;
    mock = std::make_unique<ChildProcess>(
        std::vector<std::string>{kSystemPython, "-m", "dbusmock", "--system", "--template", name},
        Env());
    return mock->Started() &&
           WaitUntil([&] { return HasOwner(address_, busName); }, std::chrono::seconds(20));
}

bool CMockSystemBus::StartLogind() {
    return StartTemplate("logind", "org.freedesktop.login1", logind_);
}

bool CMockSystemBus::StartUPower() {
    return StartTemplate("upower", "org.freedesktop.UPower", upower_);
}

std::vector<SInhibitor> CMockSystemBus::Inhibitors() const {
    std::vector<SInhibitor> out;
    SBus bus(address_);
    if (bus.bus == nullptr) return out;
    sd_bus_error error{};
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus.bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "ListInhibitors", &error, &reply,
                           "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") > 0) {
        const char* text[4] = {};
        std::uint32_t uid = 0;
        std::uint32_t pid = 0;
        while (sd_bus_message_read(reply, "(ssssuu)", &text[0], &text[1], &text[2], &text[3], &uid,
                                   &pid) > 0) {
            out.push_back({text[0], text[1], text[2], text[3]});
        }
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return out;
}

bool CMockSystemBus::WaitForInhibitor(const std::string& who, const std::string& what,
                                      bool held) const {
    return WaitUntil(
        [&] {
            bool listed = false;
            for (const SInhibitor& inhibitor : Inhibitors())
                listed |= inhibitor.who == who && inhibitor.what.find(what) != std::string::npos;
            return listed == held;
        },
        std::chrono::seconds(10));
}

bool CMockSystemBus::SetDisplayDevice(bool present, unsigned type, unsigned state,
                                      double percentage) {
    SBus bus(address_);
    if (bus.bus == nullptr) return false;
    sd_bus_error error{};
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call_method(
        bus.bus, "org.freedesktop.UPower", "/org/freedesktop/UPower", "org.freedesktop.DBus.Mock",
        "SetupDisplayDevice", &error, &reply, "uuddddxxbsu", type, state, percentage, 0.0, 0.0, 0.0,
        std::int64_t{0}, std::int64_t{0}, present ? 1 : 0, "", 1u);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return result >= 0;
}

}  // namespace morvane::testing
