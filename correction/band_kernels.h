// The vectorised kernels of a correction in their two builds, for the tests that
// compare both with the plain loop on every machine. Private to correction/.
#pragma once

#include "correction/correction.h"

#include <vector>

namespace kestrel {

enum class WindowSumBuild {
    chosen,   // the one this processor runs best
    avx2,     // 256-bit lanes; only where the processor has them
    portable, // the x86-64 baseline
};

/// Calls `pair(i)` for every band pair the amplitude counts, in order: i = period x k +
/// phase is the reference window's first column, i - window the offset window's, for
/// the period indices firstPair .. bandCount - lastPairMargin whose offset window does
/// not start before column 0.
template <class Pair>
void forEachBandPair(std::int32_t width, const BandGeometry& bands, std::int32_t phase, Pair pair)
{
    const std::int32_t bandCount = bandCountOf(width, bands);
    const std::int32_t p = normalisedPhase(phase, bands.period);
    for (std::int32_t k = bands.firstPair; k <= bandCount - bands.lastPairMargin; ++k) {
        const std::int64_t i = static_cast<std::int64_t>(bands.period) * k + p;
        if (i - bands.window >= 0)
            pair(i);
    }
}

/// True when this processor can run the AVX2 build.
bool avx2Available();

/// addToOffsetBands in the given build: the same bits either way.
void addToOffsetBands(ImageView<float> image, const BandGeometry& bands, std::int32_t phase, double amplitude,
                      WindowSumBuild build);

/// The samples above `lower` and below `upper` of each of the first `columns` columns:
/// their sum in double, each column added top to bottom, their count, and whether one
/// of them lies below `tiny`. A NaN in those columns is an invalid operation.
struct ColumnTotals {
    std::vector<double> sums;
    std::vector<std::int32_t> counts;
    std::vector<unsigned char> tiny;
};
ColumnTotals columnTotals(ImageView<const float> image, std::int32_t columns, double lower, double upper, double tiny,
                          WindowSumBuild build = WindowSumBuild::chosen);

/// The totals of the columns the standard amplitude reads (0 to width - 2), with its
/// bounds: one pass over the samples that serves the amplitude at any phase and the
/// frame's own phase. Fails where that pass of measureAmplitude fails (a NaN).
ColumnTotals amplitudeTotals(ImageView<const float> image, const BandGeometry& bands, double upper);

/// measureAmplitude from totals that amplitudeTotals made of the same image and bound:
/// the same bits, without a second pass.
double measureAmplitude(ImageView<const float> image, const BandGeometry& bands, std::int32_t phase, double upper,
                        const ColumnTotals& totals);

/// The totals as the band contrast takes them.
ColumnSums contrastSums(const ColumnTotals& totals);

} // namespace kestrel
