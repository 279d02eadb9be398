#include <windows.h>
// After windows.h, which it needs.
#include <timeapi.h>

#include "platform/pacing.h"

namespace morvane {

// Windows wakes sleepers on its timer tick, 15.6 ms by default, which would make a 20 ms pause
// last 31 ms. The finest tick is asked for while a load runs and given back after it: the raised
// rate costs the whole PC power.
CPacingScope::CPacingScope() { saved_ = ::timeBeginPeriod(1) == TIMERR_NOERROR ? 1 : 0; }

CPacingScope::~CPacingScope() {
    if (saved_ != 0) (void)::timeEndPeriod(1);
}

}  // namespace morvane
