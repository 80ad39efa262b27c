// The balanced estimator over float images; its formula and why: balancedContrast, analysis/significance.h.
#pragma once

#include "analysis/band_geometry.h"
#include "analysis/significance.h"
#include "core/image_view.h"

#include <cstdint>
#include <vector>

namespace kestrel {

/// The samples a float band measurement counts, column by column: above
/// `lower` and below `upper`, each column summed top to bottom in double. A NaN
/// anywhere in the image is an invalid operation.
ColumnSums floatColumnSums(ImageView<const float> image, double lower, double upper);

/// The band pairs of the standard amplitude at `phase` (the first column of each
/// reference band, as bandAmplitude counts them) that have a whole reference band
/// before their offset band: all of them unbinned; 2x2-binned, the first one only when
/// the phase is 16.
std::vector<std::int64_t> balancedPairs(std::int32_t width, const BandGeometry& bands, std::int32_t phase);

/// The balanced amplitude and its noise, from the totals of a whole image (see
/// balancedContrast), over balancedPairs. A pair whose reference band reaches beyond
/// the image is a range failure; a band without a qualifying sample, or no pair, an
/// invalid operation.
BandContrast balancedAmplitude(const ColumnSums& totals, const BandGeometry& bands, std::int32_t phase);

/// The balanced amplitude of an image at `phase`, counting the samples above
/// bands.lowerBound and below `upper`, as the standard amplitude counts them.
double balancedAmplitude(ImageView<const float> image, const BandGeometry& bands, std::int32_t phase, double upper);

/// The banding left in a corrected image: the largest balanced amplitude over every
/// phase of the period. A correction at the right phase leaves noise (a few times
/// `noise` at most); one at a wrong phase, or by too small an amplitude, leaves a band
/// whose brighter half starts at `phase`.
struct ResidualBand {
    double amplitude = 0;   // ADU, the largest over the phases
    std::int32_t phase = 0; // where it lies, 1 to the period
    double noise = 0;       // the standard error of the amplitude at that phase, ADU
};
/// Over the phases 1 to the period, the lowest of equal amplitudes. Fails as
/// balancedAmplitude.
ResidualBand residualBand(ImageView<const float> image, const BandGeometry& bands, double upper);

} // namespace kestrel
