// The band window means: the plain definition of the band amplitude, which the tests
// and benchmarks hold the correction's own measurement to, bit for bit, through
// bandAmplitude. No product path computes this table.
#pragma once

#include "correction/band_kernels.h"

#include <span>

namespace kestrel {

/// means[s] := the mean of the samples above bands.lowerBound and below `upper` of the
/// band window of bands.window columns that starts at column s, for every start s; the
/// span holds width - window entries. Each window is summed column by column, each
/// column top to bottom, in extended precision stored as a double after every addition,
/// so the means are bit for bit those of that plain loop. A window without a qualifying
/// sample, or with a NaN, is an invalid operation; the windows before it are filled.
/// The correction does not fill this table (measureAmplitude reads the counted pairs
/// alone); it stays as the definition the tests and benchmarks hold measureAmplitude to,
/// bit for bit through bandAmplitude.
void bandWindowMeans(ImageView<const float> image, const BandGeometry& bands, double upper,
                     std::span<long double> means);


/// bandWindowMeans with the window sums of the given build.
void bandWindowMeans(ImageView<const float> image, const BandGeometry& bands, double upper,
                     std::span<long double> means, WindowSumBuild build);

} // namespace kestrel
