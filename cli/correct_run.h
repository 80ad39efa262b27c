// kestrel-cli correct: files in parallel, results in input order, and a clean stop on
// an interrupt, a termination or a closed output.
#pragma once

#include "cli/options.h"
#include "core/program_folder.h"

namespace kestrel::cli {

/// Corrects the files of `o`. Exit status 0 when every file was corrected, 1 when one
/// was skipped or failed (or the results file could not be written), and 128 + the
/// signal's number after SIGINT, SIGTERM, SIGHUP or a closed output (SIGPIPE): then no
/// further file is replaced, the line of every file already replaced is printed, and no
/// temporary file is left.
int runCorrect(const Options& o, const FileLocations& where);

/// With correct --verify, one line on standard error before the results: which
/// estimator measured the amplitudes, and what the residual is.
void noteEstimators(const Options& o);

} // namespace kestrel::cli
