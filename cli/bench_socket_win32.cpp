#include <winsock2.h>

#include "cli/bench_socket.h"

namespace morvane {

// Windows' SO_REUSEADDR lets another program take a port that is in use; SO_EXCLUSIVEADDRUSE
// alone keeps it ours (the two together are refused, which left the first in force).
void ListenAlone(std::uintptr_t socket) {
    BOOL yes = TRUE;
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&yes), sizeof(yes));
}

}  // namespace morvane
