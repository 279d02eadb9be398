// CLoaderW6: the load the program runs for a Tundro W6.
//
// On the base loader's detection and transfer it differs in its pace (20 ms after each block),
// in a one-time "$JCONN,X" at every rate on the first load of a program run, and in the command
// sequence between detection and transfer that puts the receiver into transfer mode. Every wait
// keeps the calling thread's event queue served.
#pragma once

#include "loader/loader.h"

namespace morvane {

class CLoaderW6 : public CLoader {
public:
    explicit CLoaderW6(SLoaderState* state, LoaderDeps deps = {});
    ~CLoaderW6() override;

    // The product's load sequence.
    void Run() override;
    // "$JCONN,X" once at each rate, on the first load of the program run only.
    void SweepConnX();
};

}  // namespace morvane
