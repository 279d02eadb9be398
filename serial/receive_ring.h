// CReceiveRing: the bytes a port received and nobody has read yet.
//
// The receive thread stores what each driver read brought, the owner's thread takes them out
// in arrival order. When the ring is full the newest bytes are dropped, never the oldest: a
// reply that began arriving stays whole as far as it got. The lock is held only while bytes
// are copied, never across I/O, so a slow driver read cannot stall Read().
//
// The ring owns no memory: the device hands it storage that lives as long as the port is open,
// so nothing is allocated while bytes flow.
#pragma once

#include <span>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace morvane {

class CReceiveRing {
public:
    explicit CReceiveRing(std::span<char> storage) : bytes_(storage) {}
    CReceiveRing(const CReceiveRing&) = delete;
    CReceiveRing& operator=(const CReceiveRing&) = delete;

    // Stores up to `length` bytes, as many as there is room for; the rest is dropped.
    // Returns how many were kept.
    int Store(const char* data, int length);
    // Copies up to `length` of the oldest bytes out and forgets them; returns how many.
    int Take(char* buffer, int length);
    [[nodiscard]] int Count() const;
    [[nodiscard]] int Capacity() const { return static_cast<int>(bytes_.size()); }
    // Forgets everything held.
    void Clear();

private:
    const std::span<char> bytes_;
    mutable CMutex lock_;
    int write_ MORVANE_GUARDED_BY(lock_) = 0;  // where the next stored byte goes
    int read_ MORVANE_GUARDED_BY(lock_) = 0;   // where the oldest held byte is
    int count_ MORVANE_GUARDED_BY(lock_) = 0;  // bytes held
};

}  // namespace morvane
