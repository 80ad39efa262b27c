// Band correction: measure the band amplitude of the current float image, add it to
// the offset bands, write the corrected file and fill the image's grid row.
#pragma once

#include "fits/workspace.h"

#include <filesystem>

namespace kestrel {

/// The whole treatment of one unbinned float image whose header was just read:
/// load, measure (or take amplitudeSetting), correct, write to `outputPath`, fill grid
/// row fileCount. A failure is reported ("... in function fixFloat32Columns.") and sets
/// cancelRequested. An image whose load failed or whose pixels are fewer than
/// imageWidth x imageHeight is marked Failed (amplitude 9999) and nothing is written.
void fixFloat32Columns(Workspace& ws, const std::filesystem::path& outputPath);
/// The same for 2x2-binned images ("... in function fixFloat32Columns2x2.").
void fixFloat32Columns2x2(Workspace& ws, const std::filesystem::path& outputPath);

/// Mean difference of the band pairs from columnMeans; sets bandCount. Throws.
double getBandAmplitude(Workspace& ws);
double getBandAmplitude2x2(Workspace& ws);
/// Adds `amplitude` to every whole offset band of floatPixels. Throws.
void applyBandCorrection(Workspace& ws);
void applyBandCorrection2x2(Workspace& ws);

} // namespace kestrel
