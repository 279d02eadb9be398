// Waits on the window's thread keep its events served.
#pragma once

#include <chrono>

#include "loader/load_seams.h"
#include "loader/wait_pumping.h"

namespace morvane {

// Serves the calling thread's Qt events until the deadline.
class CQtEventPump : public IEventPump {
public:
    void PumpUntil(std::chrono::steady_clock::time_point deadline) override;
};

}  // namespace morvane
