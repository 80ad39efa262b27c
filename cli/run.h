// One file through the correction or the phase search, as the window's runs treat it,
// each in a workspace of its own so that files can run in parallel.
#pragma once

#include "analysis/significance.h"
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
    /// --verify: the line ends in the residual amplitude of the written image, which
    /// is empty when it could not be measured (the reason is in `messages`).
    bool verify = false;
    std::optional<double> residual;

    /// Runs the pending flush and rename; a failure turns the result into the window's
    /// report of it.
    void finishWriting();
    /// The tab-separated result line, without line end.
    std::string line() const;
    /// The results entry for the CSV export, when the image was measured.
    std::optional<tImageData> entry() const;
    /// Corrected and written, and with --verify its residual measured.
    bool succeeded() const;
};

/// Memory that one worker keeps from file to file. A frame's pixels take tens of
/// megabytes, and fresh pages for every frame cost about as much as reading it.
struct WorkerMemory {
    std::vector<float> floatPixels;
};

/// Corrects one file into `outputPath`. The corrected file is left unnamed: the caller
/// runs the result's finishWriting, on any thread, for it to appear. With `verify` the
/// residual of the image as written is measured (writtenResidualAmplitude); with
/// `balanced` the amplitude is measured by the balanced rule.
FileResult correctOne(const std::filesystem::path& input, const std::filesystem::path& outputPath,
                      const PhaseFields& phases, double amplitudeSetting, WorkerMemory& memory,
                      bool verify = false, bool balanced = false);

/// What the profile of one file came to: `file` as correctOne's, without a write.
struct ProfileResult {
    FileResult file;
    BandProfile profile; // when file.status is corrected
};

/// The profile of one file (profileLoadedImage); nothing is written.
ProfileResult profileOne(const std::filesystem::path& input, const PhaseFields& phases, double amplitudeSetting,
                         bool balanced = false);

struct PhaseResult {
    FileResult::Status status = FileResult::Status::skipped;
    std::string line;
    std::vector<std::string> messages;
    std::optional<PhaseOutcome> outcome;
    /// When a phase was found: the band contrast of every candidate phase, empty when it
    /// could not be measured (the reason is in `messages`).
    std::vector<BandContrast> contrasts;
    /// The found phase's contrast and significance, when measured.
    const BandContrast* chosen() const;
};

/// The phase fields from the options, else from the settings file's keys (empty when a
/// key is missing). Throws a Failure when the settings file cannot be read.
PhaseFields phaseFieldsFor(const Options& o, const std::filesystem::path& settingsFile);

/// Finds the band phase of one 16-bit file.
PhaseResult findPhaseOf(const std::filesystem::path& input);

/// A significance with one decimal; "inf" or "-inf" for a band measured without noise.
std::string significanceText(double significance);

/// A level or amplitude with three decimals. A value that rounds to zero reads
/// 0.000: a residual of -0.0004 is no sign of over-correction.
std::string threeDecimals(double value);

/// A text as one field of a result line: tabs, line ends and backslashes escaped, so a
/// file name cannot break the line into other fields or lines.
std::string fieldText(std::string_view text);

} // namespace kestrel::cli
