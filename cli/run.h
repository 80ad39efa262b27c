// How kestrel-cli shows what became of a file: the result line on standard output, the
// boxes the window would have shown as lines on standard error.
#pragma once

#include "cli/options.h"
#include "engine/batch.h"
#include "engine/choices.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::cli {

/// The tab-separated result line of a file of `correct` (or of a `profile` that could
/// not be taken), without line end. With `verify` it ends in the residual amplitude.
std::string resultLine(const ImageResult& result, bool verify);

/// Corrected and written, and with `verify` its residual measured.
bool succeeded(const ImageResult& result, bool verify);

/// The one reporter of kestrel-cli: every box of the outcome as a line "NAME: TEXT" on
/// standard error, in order, followed by what the command line can do about it (the
/// hint for a phase that is missing, naming `settingsFile`). Whole lines at once, so
/// that files treated in parallel never interleave.
void reportBoxes(const std::filesystem::path& input, const ImageOutcome& outcome,
                 const std::filesystem::path& settingsFile);
void reportBoxes(const std::filesystem::path& input, const std::vector<BoxReport>& reports,
                 const std::string& hint = {});

/// The options that take a run of `command` past a refusal, for nameRemedy and
/// missingPhaseHint: those that command has.
RemedyWords optionWords(Options::Command command);

/// The phase fields from the options, else from the settings file's keys (empty when a
/// key is missing). Nothing when the settings file cannot be read, which is said on
/// standard error.
std::optional<PhaseFields> phaseFieldsFor(const Options& o, const std::filesystem::path& settingsFile);

/// The line of `phase`: name, binning, phase and its significance (empty when it could
/// not be measured), or two empty fields and why there is no phase.
std::string phaseLine(const std::filesystem::path& input, const PhaseOutcome& outcome);

/// The line of frames searched together (combinedPhases), or of one float frame:
/// `name` (the frame's, or "combined"), binning, phase, its significance and how many
/// frames took part.
std::string combinedPhaseLine(const std::string& name, const PhaseOutcome& group);

/// A text as one field of a result line: tabs, line ends and backslashes escaped, so a
/// file name cannot break the line into other fields or lines.
std::string fieldText(std::string_view text);

/// An outcome or a reason as the last field of a line: as it reads, unless a tab or a
/// line end in it would break the line, and then escaped as fieldText does.
std::string messageText(std::string_view text);

} // namespace kestrel::cli
