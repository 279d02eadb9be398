// CReceiveSplitter: turns each read from the serial link into one text for the chunk sink.
#pragma once

#include "loader/callback.h"

namespace morvane {

class CReceiveSplitter {
public:
    explicit CReceiveSplitter(cCallback* chunkSink) : chunkSink_(chunkSink) {}

    // Hands exactly the `n` bytes, zero bytes included, to the sink as one text.
    void Feed(const char* buffer, int n);

private:
    cCallback* chunkSink_;
};

}  // namespace morvane
