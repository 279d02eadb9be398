#include "record/loader_state.h"

namespace morvane {

void SLoaderState::Reset() {
    loadRunning_.store(false);
    firmwareDetected_.store(false);
    appsSeen_.store(false);
    waasPrnsSeen_.store(false);
    loaderVersionSeen_.store(false);
    totalBytes_.store(0);
    sentBytes_.store(0);
    thisPort_.store(4);
    waasPrn1_.store(-1);
    // Lowered last, so nothing written above counts as news for the next load.
    changed_.store(false);
}

}  // namespace morvane
