// The seams of a load: what a loader waits with, how it tells the user something, where the image
// comes from, which serial device it talks through and how it finds the receiver's port again
// after a restart. The product uses the real ones; tests put a virtual clock, a recording prompt,
// short images, a scripted device and a scripted port in their place.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "platform/text.h"
#include "serial/serial_device.h"

namespace morvane {

// The two kinds of wait a load uses, kept apart so tests can see which kind each step used.
class IWaits {
public:
    virtual ~IWaits() = default;
    // A wait that keeps the calling thread's event queue served (where it has one). Never
    // shorter than asked.
    virtual void WaitPumping(unsigned ms) = 0;
    // A plain sleep.
    virtual void Sleep(unsigned ms) = 0;
};

// The real clock.
IWaits& RealWaits();

// Message boxes of the loader: OK button only; returns when the user closed it.
class IPrompt {
public:
    virtual ~IPrompt() = default;
    virtual void ShowMessage(const CString& text) = 0;
};

// Finds the receiver's port again after the receiver restarted. A receiver with a USB serial port
// of its own drops that port while it restarts, and the system gives it back a moment later,
// not always under the same number. The loader asks on its own waits, so a virtual clock serves
// tests.
class IPortFollower {
public:
    virtual ~IPortFollower() = default;
    // Called while the receiver answers on `comPort`: notes what that port is, to know it again.
    virtual void Remember(int comPort) = 0;
    // The COM number that stands for the remembered port now; nothing while it is gone.
    [[nodiscard]] virtual std::optional<int> Find() = 0;
};

struct SReceiverRates;

// Where the image comes from; nothing when it cannot be obtained.
using ImageSource = std::function<std::optional<std::span<const std::uint8_t>>()>;

struct LoaderDeps {
    std::unique_ptr<ISerialDevice> device;  // null: a real CCommDev2
    IWaits* waits = nullptr;                // null: RealWaits()
    IPrompt* prompt = nullptr;              // null: the text goes to the debug channel only
    ImageSource image;                      // empty: EmbeddedFirmwareImage()
    // The probe cycle and sweep of the receiver this load talks to; null: the program-wide ones,
    // which the window's loads share. Give each receiver of a process its own, and every load
    // has a single load's wire timeline.
    SReceiverRates* rates = nullptr;
    // null: port discovery follows the port (CDiscoveryPortFollower).
    std::unique_ptr<IPortFollower> portFollower;
};

}  // namespace morvane
