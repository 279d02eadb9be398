// WaitPumping: a wait that keeps the calling thread's event queue served while it runs.
//
// The load worker normally has no queue of its own, so for it this is a plain wait. A thread
// that does have one (the window's thread) registers an event pump for itself; a wait on that
// thread then hands the time to the pump, which serves events as they come, instead of
// freezing the window. The wait blocks: it never spins a processor while nothing happens.
#pragma once

#include <chrono>

namespace morvane {

class IEventPump {
public:
    virtual ~IEventPump() = default;
    // Serves the thread's events until `deadline`. May return earlier (after some work, say);
    // the wait then calls it again. Must block while there is nothing to do.
    virtual void PumpUntil(std::chrono::steady_clock::time_point deadline) = 0;
};

// Registers the pump of the calling thread (null: none). Each thread has its own.
void SetThreadEventPump(IEventPump* pump);
[[nodiscard]] IEventPump* ThreadEventPump();

// Waits at least `ms` milliseconds on the steady clock, serving the calling thread's pump if it
// has one.
void WaitPumping(unsigned ms);

// The wait of a thread that registered no pump, each platform's own: where the system gives
// every thread a message queue (Windows), it serves that queue until `deadline`; elsewhere it
// only waits.
void WaitServingSystemQueue(std::chrono::steady_clock::time_point deadline);

}  // namespace morvane
