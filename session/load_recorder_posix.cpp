#include <unistd.h>

#include "session/load_recorder.h"

namespace morvane {

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace morvane
