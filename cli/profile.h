// What kestrel-cli shows of a measurement beyond its one line: the band profile of
// each image before and after its correction, and the scores of the phase search, in
// numbers and as plots.
#pragma once

#include "cli/options.h"
#include "cli/run.h"

#include <filesystem>

namespace kestrel::cli {

/// kestrel-cli profile: one table and summary per image, and the plot of --plot. Writes
/// no image. Returns the exit status: 0 every image profiled, 1 something skipped or
/// failed (a plot that could not be written included).
int runProfile(const Options& o, const std::filesystem::path& settingsFile);

/// After a found phase: its scores and margin (--scores) and their plot (--plot).
/// Returns 0, or 1 when the plot could not be written.
int showPhaseScores(const Options& o, const PhaseOutcome& found);

} // namespace kestrel::cli
