// The debug channel on Windows is also the system's own: a debugger, or a viewer of debug output,
// shows the lines. With MORVANE_DEBUG set they go to stderr as well, for a console user (and
// under Wine, which keeps debug output to itself unless told otherwise).
#include <windows.h>

namespace morvane {

void SendToSystemDebugger(const char* text) { ::OutputDebugStringA(text); }

}  // namespace morvane
