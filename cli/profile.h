// Kept for cli/watch_run.cpp alone, which includes it for noteEstimators: that now
// lives beside the correct command (cli/correct_run.h), the profile command in
// cli/profile_run.h and the phase command in cli/phase_run.h. Goes when watch_run.cpp
// includes cli/correct_run.h itself.
#pragma once

#include "cli/correct_run.h"
