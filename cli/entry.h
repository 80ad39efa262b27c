// kestrel-cli's entry, apart from the program's main function, which each system has
// its own: cli/entry_posix.cpp, and cli/entry_windows.cpp with the wide arguments.
#pragma once

#include <string>
#include <vector>

namespace kestrel::cli {

/// Runs kestrel-cli with its arguments (the program's name left out), as UTF-8 text;
/// the exit status.
int runCommandLine(const std::vector<std::string>& arguments);

} // namespace kestrel::cli
