// Waiting in real time for something another thread or process brings about: the condition is
// looked at every few milliseconds until it holds or the bound runs out. Only the e2e tests and
// the benchmarks wait this way; unit tests run on the virtual clock.
#pragma once

#include <chrono>
#include <functional>

namespace morvane::testing {

// True as soon as `condition` holds; false if it still does not after `bound`.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds bound = std::chrono::seconds(5));

}  // namespace morvane::testing
