// Linux: logind's inhibitor lock holds off sleep and shutdown, UPower's display device tells the
// battery. Both are asked over the system bus through sd-bus; where no bus or no such service
// answers (a container, a machine without a desktop), a load goes on without them and the debug
// channel says why.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <systemd/sd-bus.h>

#include "platform/debug.h"
#include "platform/power.h"

namespace morvane {
namespace {

// A service that takes longer than this is not one to hold the start of a load for.
constexpr std::uint64_t kAnswerWithinUs = 5'000'000;

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// An error filled in by a call, freed when it goes.
struct SBusError {
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, whose C compound literal C++ does not take
    SBusError() = default;
    ~SBusError() { sd_bus_error_free(&error); }
    SBusError(const SBusError&) = delete;
    SBusError& operator=(const SBusError&) = delete;

    [[nodiscard]] std::string Text(int result) const {
        if (sd_bus_error_is_set(&error) != 0)
            return std::string(error.name) + ": " + (error.message ? error.message : "");
        return std::strerror(-result);
    }
};

void Debug(const std::string& text) { OutputDebugStringA(("morvane: " + text + "\n").c_str()); }

// A connection of its own for each question: sd-bus connections belong to one thread, and the
// questions come from whichever thread starts a load.
BusPtr OpenSystemBus(const char* purpose) {
    sd_bus* bus = nullptr;
    const int result = sd_bus_open_system(&bus);
    if (result < 0) {
        Debug(std::string("no system bus (") + std::strerror(-result) + "): " + purpose);
        return nullptr;
    }
    (void)sd_bus_set_method_call_timeout(bus, kAnswerWithinUs);
    return BusPtr(bus);
}

// UPower's device types and states, as its DisplayDevice reports them.
constexpr std::uint32_t kTypeBattery = 2;
constexpr std::uint32_t kTypeUps = 3;
constexpr std::uint32_t kStateDischarging = 2;
constexpr std::uint32_t kStateEmpty = 3;
constexpr std::uint32_t kStatePendingDischarge = 6;

constexpr const char* kUPower = "org.freedesktop.UPower";
constexpr const char* kDisplayDevice = "/org/freedesktop/UPower/devices/DisplayDevice";
constexpr const char* kUPowerDevice = "org.freedesktop.UPower.Device";

class CLinuxPowerService : public IPowerService {
public:
    CAwakeLock HoldAwake(const std::string& why) override {
        const char* const goesOn = "the load goes on without holding off sleep and shutdown";
        const BusPtr bus = OpenSystemBus(goesOn);
        if (!bus) return {};
        SBusError error;
        sd_bus_message* rawReply = nullptr;
        int result =
            sd_bus_call_method(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "Inhibit", &error.error, &rawReply,
                               "ssss", "sleep:shutdown", "Morvane", why.c_str(), "block");
        const MessagePtr reply(rawReply);
        if (result < 0) {
            Debug("logind took no inhibitor lock (" + error.Text(result) + "): " + goesOn);
            return {};
        }
        int lockFd = -1;
        result = sd_bus_message_read(reply.get(), "h", &lockFd);
        // The descriptor belongs to the reply: the lock is a copy of it, kept until the load ends.
        const int held = result < 0 ? -1 : fcntl(lockFd, F_DUPFD_CLOEXEC, 3);
        if (held < 0) {
            Debug("logind's inhibitor lock could not be kept: " + std::string(goesOn));
            return {};
        }
        return CAwakeLock([held] { (void)close(held); });
    }

    SBatteryReading ReadBattery() override {
        SBatteryReading battery;
        const BusPtr bus = OpenSystemBus("the battery is taken as unknown");
        if (!bus) return battery;
        int present = 0;
        std::uint32_t type = 0;
        std::uint32_t state = 0;
        double percentage = 0;
        SBusError error;
        int result = 0;
        const auto read = [&](const char* property, char kind, void* value) {
            if (result >= 0)
                result =
                    sd_bus_get_property_trivial(bus.get(), kUPower, kDisplayDevice, kUPowerDevice,
                                                property, &error.error, kind, value);
        };
        read("IsPresent", 'b', &present);
        read("Type", 'u', &type);
        read("State", 'u', &state);
        read("Percentage", 'd', &percentage);
        if (result < 0) {
            Debug("UPower did not tell the battery (" + error.Text(result) +
                  "): it is taken as unknown");
            return battery;
        }
        // A UPS that carries a desktop through a power cut runs flat just as a laptop does.
        if (present == 0 || (type != kTypeBattery && type != kTypeUps)) return battery;
        battery.known = true;
        battery.onBattery =
            state == kStateDischarging || state == kStateEmpty || state == kStatePendingDischarge;
        battery.percent = static_cast<int>(std::clamp(percentage, 0.0, 100.0));
        return battery;
    }
};

}  // namespace

IPowerService& SystemPowerService() {
    static CLinuxPowerService service;
    return service;
}

}  // namespace morvane
