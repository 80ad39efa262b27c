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

/// After a found phase: a warning when it does not stand out from the noise, every
/// candidate's score, contrast and significance (--scores) and the plot of the
/// contrasts (--plot), under the frame's `name`. Returns 0, or 1 when the plot could not
/// be written.
int showPhaseScores(const Options& o, const std::string& name, const PhaseOutcome& found);

/// Whether phase --save may store the found phase: it stands out from the noise, or
/// --force says to store it anyway. Says why not on standard error.
bool phaseMayBeStored(const Options& o, const PhaseOutcome& found);

/// With correct --verify, one line on standard error before the results: which
/// estimator measured the amplitudes, and what the residual is.
void noteEstimators(const Options& o);

} // namespace kestrel::cli
