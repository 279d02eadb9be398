// The termios side of a serial line, as pure functions: which speed constant a rate is, what an
// open's errno means to the user, and how the line settings become a termios. The device and
// the simulated receiver use them; tests check them without a port.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

#include "serial/serial_device.h"

namespace morvane {

// The speed constant for a number of baud, and back; nothing (or 0) for rates termios has no
// constant for.
[[nodiscard]] std::optional<speed_t> SpeedForRate(std::uint32_t rate);
[[nodiscard]] std::uint32_t RateForSpeed(speed_t speed);

// What an errno from opening or setting up a port means to the user.
[[nodiscard]] OpenErrorKind OpenErrorKindForErrno(int error);

// `current` changed to raw bytes both ways with what `settings` ask for; nothing when they ask
// for what a termios line cannot do (a rate without a constant, a byte size other than 5 to 8,
// mark or space parity, one and a half stop bits).
[[nodiscard]] std::optional<termios> TermiosForSettings(const termios& current,
                                                        const SLineSettings& settings);

}  // namespace morvane
