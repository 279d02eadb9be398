// A mutex the thread-safety analysis knows as a lock. The standard library's std::mutex carries
// no annotations under libstdc++, so members guarded by one could not be checked.
#pragma once

#include <mutex>

#include "platform/thread_annotations.h"

namespace morvane {

class MORVANE_CAPABILITY("mutex") CMutex {
public:
    void Lock() MORVANE_ACQUIRE() { mutex_.lock(); }
    void Unlock() MORVANE_RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// Holds `mutex` for its own lifetime.
class MORVANE_SCOPED_CAPABILITY CMutexLock {
public:
    explicit CMutexLock(CMutex& mutex) MORVANE_ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
    ~CMutexLock() MORVANE_RELEASE() { mutex_.Unlock(); }
    CMutexLock(const CMutexLock&) = delete;
    CMutexLock& operator=(const CMutexLock&) = delete;

private:
    CMutex& mutex_;
};

}  // namespace morvane
