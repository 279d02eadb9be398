// The bench page's listening socket, as each system needs it: the address taken by this server
// alone (a second watch asked for the same port must fail, not share it), yet free again at once
// after a watch ended.
#pragma once

#include <cstdint>

namespace morvane {

// `socket`: the system's handle of the socket, before it is bound.
void ListenAlone(std::uintptr_t socket);

}  // namespace morvane
