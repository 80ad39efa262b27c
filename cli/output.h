// Standard output of kestrel-cli. Written with the system's own call under std::cout
// (write(2); WriteFile on Windows, cli/output_system.h), so that a failed write keeps
// its reason: a reader that went away stops a run like a signal, while a full disk is a
// failure with its own message.
#pragma once

#include <string>

namespace kestrel::cli {

/// Puts std::cout on standard output through a buffer that records the first failed
/// write. Also ignores SIGPIPE: a closed pipe is seen as a failed write.
void installOutput();

/// The error (errno; on Windows the system's code) of the first write to standard output
/// that failed, or 0.
int outputError();

/// The reader went away: a closed pipe, or an output closed before the start.
bool outputGone(int error);

/// "Cannot write to standard output: REASON".
std::string outputFailureText(int error);

/// Ends a command: flushes standard output and returns `status`, or, when a write failed
/// and the command has not said so itself (`reported`), says so on standard error and
/// returns 141 for a reader that went away, 1 for any other failure.
int finishOutput(int status, bool reported = false);

} // namespace kestrel::cli
