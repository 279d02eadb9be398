// No system debugger listens on Linux: the channel's lines go only to its sink and stderr.
namespace morvane {

void SendToSystemDebugger(const char* /*text*/) {}

}  // namespace morvane
