// Windows looks for a library a program loads in the program's own folder first. A user who
// unpacks the portable .zip into Downloads, where a browser may already have dropped a DLL of
// the same name, would run that DLL's code. The programs therefore import only libraries that
// Windows always takes from its own folder (the KnownDLLs; COMCTL32 through the window's
// manifest), and load every other one at run time from the system's folder alone.
#pragma once

#include <windows.h>

namespace morvane {

// The first thing each program does: every later LoadLibrary, ours and the system's own on our
// behalf, looks in the system's folder only.
void UseSystemLibrariesOnly();

// The system's library `name` ("winmm.dll"), from the system's folder only; null where it is not
// there.
[[nodiscard]] HMODULE LoadSystemLibrary(const wchar_t* name);

}  // namespace morvane
