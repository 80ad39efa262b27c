// Standard output of kestrel-cli. Written with the system's own call under std::cout
// (write(2); WriteFile on Windows, cli/output_system.h), so that a failed write keeps
// its reason: a reader that went away stops a run like a signal, while a full disk is a
// failure with its own message. Besides, the chart of --plot written, its failure said
// on standard error.
#pragma once

#include "plot/plot.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

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

/// `line` as a terminal is to show it: a control character (a file name can hold an
/// escape sequence that would clear the screen or set the window's title) written as
/// `\e` or `\xHH`, the tabs between fields kept.
std::string terminalText(std::string_view line);

/// The result lines of a run that corrects files (correct, watch) and how it ends: a
/// signal, or an output that fails, stops it. An output that fails stops the run: a
/// closed one (a reader that went away) like a signal, any other failure (a full disk)
/// as a failure of its own; the lines that can no longer be printed there go to
/// standard error.
class ResultLines {
public:
    /// Prints one result line; false when the output failed just now and the run is to
    /// stop.
    bool print(const std::string& line);
    /// A signal arrived (called from the signal's thread).
    void stoppedBy(int signal) { stopSignal_ = signal; }
    /// How a stopped run ends: says why on standard error and gives the status (1 for a
    /// failed output, 128 + the signal), or none when the run was not stopped.
    std::optional<int> stoppedStatus() const;

private:
    const bool outputTerminal_ = isTerminal(1), errorTerminal_ = isTerminal(2);
    static bool isTerminal(int descriptor);
    std::atomic<int> stopSignal_{0};
    bool lost_ = false;
    int failure_ = 0; // the errno of an output that failed otherwise than closed
};

/// Refuses a standard stream open on one of a run's images (`1<> frame.fits`), where a
/// line would be written over a frame's header: says why on the other stream and
/// returns true. `ofRun` is given the stream (a path that reaches its file) and names
/// the image it is, if it is one. Nothing is refused where the system does not name the
/// streams' files (/proc on Linux).
bool refusedStreamOntoImage(
    const std::function<std::optional<std::filesystem::path>(const std::filesystem::path& stream)>& ofRun);

/// Says on standard error that the system gave fewer workers than asked, and how the
/// files are treated then.
void sayFewerJobs(unsigned started, unsigned asked, const std::string& reason);

/// Draws the chart into the file of --plot; false after a failure, which it reports on
/// standard error.
bool drawn(const plot::Chart& chart, const std::filesystem::path& file);

} // namespace kestrel::cli
