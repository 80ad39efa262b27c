// The system's side of kestrel-cli's standard output (cli/output.cpp): output_posix.cpp
// and output_windows.cpp. Nothing but cli/output.cpp includes this header.
#pragma once

#include <cstddef>

namespace kestrel::cli {

/// Sets standard output up for writeStandardOutput before the first line.
void prepareStandardOutput();

/// Writes at most `size` bytes of `data` to standard output: the number written, at
/// least one, or 0 with the reason in `error` (see outputError).
std::ptrdiff_t writeStandardOutput(const char* data, std::size_t size, int& error);

} // namespace kestrel::cli
