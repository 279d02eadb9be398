#include "serial/receive_ring.h"

#include <algorithm>
#include <cstring>

namespace morvane {

int CReceiveRing::Store(const char* data, int length) {
    if (data == nullptr || length <= 0) return 0;
    const int capacity = Capacity();
    const CMutexLock guard(lock_);
    const int n = std::min(length, capacity - count_);
    // At most two block copies: up to the end of the storage, then from its start.
    const int first = std::min(n, capacity - write_);
    std::memcpy(bytes_.data() + write_, data, static_cast<std::size_t>(first));
    write_ += first;
    if (write_ == capacity) write_ = 0;
    if (n > first) {
        std::memcpy(bytes_.data(), data + first, static_cast<std::size_t>(n - first));
        write_ = n - first;
    }
    count_ += n;
    return n;
}

int CReceiveRing::Take(char* buffer, int length) {
    if (buffer == nullptr || length <= 0) return 0;
    const int capacity = Capacity();
    const CMutexLock guard(lock_);
    const int n = std::min(length, count_);
    const int first = std::min(n, capacity - read_);
    std::memcpy(buffer, bytes_.data() + read_, static_cast<std::size_t>(first));
    read_ += first;
    if (read_ == capacity) read_ = 0;
    if (n > first) {
        std::memcpy(buffer + first, bytes_.data(), static_cast<std::size_t>(n - first));
        read_ = n - first;
    }
    count_ -= n;
    return n;
}

int CReceiveRing::Count() const {
    const CMutexLock guard(lock_);
    return count_;
}

void CReceiveRing::Clear() {
    const CMutexLock guard(lock_);
    write_ = read_ = count_ = 0;
}

}  // namespace morvane
