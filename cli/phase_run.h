// kestrel-cli phase: the band phase of each frame, or of the frames of one binning
// together, its scores and plot, and --save, which stores it only when it stands out.
#pragma once

#include "cli/options.h"
#include "core/program_folder.h"

namespace kestrel::cli {

/// kestrel-cli phase: one line per frame searched alone (a single 16-bit frame, or one
/// whose phase was not found) and one per binning of the frames searched together, the
/// warning of a weak phase, --scores, --plot and --save. Returns the exit status: 0 every
/// phase found (and, with --save, stored), 1 otherwise (a plot that could not be written
/// included).
int runPhase(const Options& o, const FileLocations& where);

} // namespace kestrel::cli
