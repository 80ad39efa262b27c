// The files written besides images, the results file and the plot, checked before any
// image is touched: a slip on the command line, or in a script, must never write
// results or a drawing over an image.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

/// How a front end names the file in its messages: kestrel-cli by its option ("--csv: "),
/// and what the files of the run are to the user ("the input").
struct TargetNames {
    const char* option;
    const char* image;
};

struct TargetProblem {
    /// True when the command line names the wrong file (an input, an image, a file of
    /// another kind): a usage error. False when the file can never be written there.
    bool usage = false;
    std::string message;
};

/// Where `p` leads, links followed (a final link that leads nowhere yet included), for
/// comparing spellings of a file that may not exist yet.
std::filesystem::path resolvedPath(const std::filesystem::path& p);

/// Why results may not be appended to `csv`: it is one of the `inputs` or `outputs`
/// (links followed), it is plainly no results file (a FITS image, or binary: a NUL byte
/// in its first 2880 bytes), it is write-protected, a folder or no regular file, or the
/// folder it lands in (links followed) is missing or cannot be written. Nothing when
/// the results may go there.
std::optional<TargetProblem> resultsFileProblem(const std::filesystem::path& csv,
                                                const std::vector<std::filesystem::path>& inputs,
                                                const std::vector<std::filesystem::path>& outputs = {},
                                                TargetNames names = {"--csv: ", "the input"});

/// The same for a plot, which replaces the file: an existing file must be a plot (PNG,
/// PDF or text without NUL bytes that is no FITS image).
std::optional<TargetProblem> plotFileProblem(const std::filesystem::path& plot,
                                             const std::vector<std::filesystem::path>& inputs,
                                             TargetNames names = {"--plot: ", "the input"});

} // namespace kestrel
