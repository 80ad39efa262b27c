// One file through the correction or the phase search, as the window's runs treat it,
// each in a workspace of its own so that files can run in parallel.
#pragma once

#include "app/batch.h"
#include "cli/options.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::cli {

struct FileResult {
    enum class Status { corrected, skipped, failed } status = Status::skipped;
    std::string name;                  // the input's file name
    ImageOutcome outcome;              // what became of the image
    std::vector<std::string> messages; // what the window would have shown in boxes
    /// The written file's flush and rename, still to run when set (see correctOne).
    std::function<void()> commit;

    /// Runs the pending flush and rename; a failure turns the result into the window's
    /// report of it.
    void finishWriting();
    /// The tab-separated result line, without line end.
    std::string line() const;
    /// The results entry for the CSV export, when the image was measured.
    std::optional<tImageData> entry() const;
};

/// Memory that one worker keeps from file to file. A frame's pixels take tens of
/// megabytes, and fresh pages for every frame cost about as much as reading it.
struct WorkerMemory {
    std::vector<float> floatPixels;
};

/// Corrects one file into `outputPath`. The corrected file is left unnamed: the caller
/// runs the result's finishWriting, on any thread, for it to appear.
FileResult correctOne(const std::filesystem::path& input, const std::filesystem::path& outputPath,
                      const PhaseFields& phases, double amplitudeSetting, WorkerMemory& memory);

struct PhaseResult {
    FileResult::Status status = FileResult::Status::skipped;
    std::string line;
    std::vector<std::string> messages;
    std::optional<PhaseOutcome> outcome;
};

/// Finds the band phase of one 16-bit file.
PhaseResult findPhaseOf(const std::filesystem::path& input);

/// A text as one field of a result line: tabs, line ends and backslashes escaped, so a
/// file name cannot break the line into other fields or lines.
std::string fieldText(std::string_view text);

} // namespace kestrel::cli
