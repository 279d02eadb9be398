#include <sys/socket.h>

#include "cli/bench_socket.h"

namespace morvane {

// SO_REUSEADDR lets a new watch take the port while the last one's connections linger in
// TIME_WAIT, and refuses it while another server listens there; SO_REUSEPORT, which the HTTP
// library would set, lets two servers share it.
void ListenAlone(std::uintptr_t socket) {
    int yes = 1;
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

}  // namespace morvane
