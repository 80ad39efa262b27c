// kestrel-cli profile: the band profile of each image before and after its correction,
// in numbers and as a plot, with nothing written but the plot.
#pragma once

#include "cli/options.h"

#include <filesystem>

namespace kestrel::cli {

/// kestrel-cli profile: one table and summary per image, and the plot of --plot. Writes
/// no image. Returns the exit status: 0 every image profiled, 1 something skipped or
/// failed (a plot that could not be written included).
int runProfile(const Options& o, const std::filesystem::path& settingsFile);

} // namespace kestrel::cli
