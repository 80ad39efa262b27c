// What stops a correct run from outside, one implementation per system: SIGINT, SIGTERM
// and SIGHUP on Linux (stop_signals_posix.cpp); Ctrl-C, Ctrl-Break, closing the console
// and the end of the session on Windows (stop_signals_windows.cpp). Either way no
// further file is replaced, every replaced file is reported and no temporary file is
// left, and the exit status is 128 plus the signal's number.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace kestrel::cli {

/// The signal of a reader that went away (SIGPIPE's number, which Windows lacks): a
/// closed output stops a run as a signal does.
inline constexpr int closedOutputSignal = 13;

/// While it lives, each stop from outside calls `stop` with its signal's number, from a
/// thread of its own. On Windows Ctrl-C is SIGINT (2), Ctrl-Break SIGBREAK (21), a
/// closed console SIGHUP (1), the end of the session SIGTERM (15); for the last two the
/// system ends the program a few seconds later, so the run finishes before that.
class StopSignals {
public:
    explicit StopSignals(std::function<void(int)> stop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};

/// What "stopped by ..." names for `signal`: "signal 2 (Interrupt)" on Linux, "Ctrl-C"
/// on Windows.
std::string stopCause(int signal);

} // namespace kestrel::cli
