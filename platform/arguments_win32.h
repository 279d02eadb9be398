// A Windows program's arguments, in UTF-8 as every text of the program is. Before Windows 10 1903
// `argv` arrives in the machine's ANSI code page whatever the manifest says, and a --log path
// with letters beyond it ("é" on a Russian Windows 7) arrives changed: the wide command line
// keeps them.
#pragma once

#include <string>
#include <vector>

namespace morvane {

// The program's arguments, its own path first, read again from the wide command line.
[[nodiscard]] std::vector<std::string> ArgumentsUtf8();

}  // namespace morvane
