// Band analysis: the sorts, the background level as a low-percentile mean, and the
// band phase finder, over the current image of the workspace.
#pragma once

#include "fits/workspace.h"

#include <cstdint>
#include <vector>

namespace kestrel {

/// Ascending in-place sort of values[iLo..iHi] (inclusive); reports a failure in an
/// error box "... in procedure QuickSort16." and returns with the range partly sorted.
void QuickSort16(Workspace& ws, std::vector<std::uint16_t>& values, std::int32_t iLo, std::int32_t iHi);
/// As QuickSort16 for doubles ("... in procedure QuickSort.").
void QuickSort(Workspace& ws, std::vector<double>& values, std::int32_t iLo, std::int32_t iHi);

/// Background level of the current image: the mean of the sorted samples from 0.2 %
/// to 1 % (16-bit) or 10 % (float, negative samples left out). Reports a failure in an
/// error box "... in function getBackgroundFlux." and then returns 0.
double getBackgroundFlux(Workspace& ws, SampleType type);

/// Finds the band phase of the current 16-bit image (backgroundFlux already set),
/// asks whether to store it, and on Yes sets Edit1 or Edit2 and the settings file.
void findPhase16(Workspace& ws, Binning binning);

} // namespace kestrel
