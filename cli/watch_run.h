// kestrel-cli watch: the folders of a night watched, each frame corrected as it lands,
// until a stop from outside or until no folder is left.
#pragma once

#include "cli/options.h"
#include "core/program_folder.h"

namespace kestrel::cli {

/// Watches the folders of `o`. Exit status 128 + the signal's number after SIGINT,
/// SIGTERM, SIGHUP or a closed output, as a stopped correct run; 1 when no folder is
/// left to watch, a folder cannot be watched or the results file could not be written;
/// 2 for an output folder that is itself watched.
int runWatch(const Options& o, const FileLocations& where);

} // namespace kestrel::cli
