// The band profile and the residual amplitude: what the user looks at to judge a
// correction, measured over the columns and with the bounds of the amplitude itself.
#include "correction/correction.h"

#include "core/arith.h"

#include <cmath>
#include <vector>

namespace kestrel {

ColumnRange amplitudeColumns(std::int32_t width, const BandGeometry& bands, std::int32_t phase)
{
    const std::int32_t bandCount = bandCountOf(width, bands);
    const std::int32_t p = normalisedPhase(phase, bands.period);
    const std::int64_t starts = static_cast<std::int64_t>(width) - bands.window; // band window means
    std::int64_t first = -1, last = -1;                                          // reference windows
    for (std::int32_t k = bands.firstPair; k <= bandCount - bands.lastPairMargin; ++k) {
        const std::int64_t i = static_cast<std::int64_t>(bands.period) * k + p;
        if (i - bands.window < 0)
            continue;
        if (i >= starts)
            failRange();
        if (first < 0)
            first = i;
        last = i;
    }
    if (first < 0)
        return {};
    return {static_cast<std::int32_t>(first - bands.window), static_cast<std::int32_t>(last + bands.window - 1)};
}

std::vector<double> bandProfile(ImageView<const float> image, const BandGeometry& bands, std::int32_t phase,
                                double upper)
{
    const ColumnRange columns = amplitudeColumns(image.width, bands, phase);
    const double lower = bands.lowerBound;
    requireOrdered(upper, lower);

    // Row by row, one running sum per column: every column is still summed top to
    // bottom, and the pass reads the image in the order it lies in memory.
    const std::int32_t n = columns.last >= columns.first ? columns.last - columns.first + 1 : 0;
    std::vector<double> sums(static_cast<std::size_t>(n), 0.0);
    std::vector<double> counts(static_cast<std::size_t>(n), 0.0); // whole numbers, exact in double
    bool nan = false;
    for (std::int32_t row = 0; row < image.height; ++row) {
        const float* x = image.row(row) + columns.first;
        for (std::int32_t j = 0; j < n; ++j) {
            const double v = x[j];
            const bool in = v > lower && v < upper;
            sums[static_cast<std::size_t>(j)] += in ? v : 0.0;
            counts[static_cast<std::size_t>(j)] += in ? 1.0 : 0.0;
            nan |= v != v;
        }
    }
    if (nan)
        failInvalidOperation();

    const std::int32_t period = bands.period;
    const std::int32_t p = normalisedPhase(phase, period);
    std::vector<Extended> positionSums(static_cast<std::size_t>(period), 0.0L);
    std::vector<Extended> positionCounts(static_cast<std::size_t>(period), 0.0L);
    for (std::int32_t j = 0; j < n; ++j) {
        const std::int32_t position = ((columns.first + j - p) % period + period) % period;
        positionSums[static_cast<std::size_t>(position)] += sums[static_cast<std::size_t>(j)];
        positionCounts[static_cast<std::size_t>(position)] += counts[static_cast<std::size_t>(j)];
    }
    std::vector<double> profile(static_cast<std::size_t>(period));
    for (std::size_t q = 0; q < profile.size(); ++q)
        profile[q] = toDouble(divide(positionSums[q], positionCounts[q]));
    return profile;
}

double residualAmplitude(ImageView<const float> corrected, const BandGeometry& bands, std::int32_t phase,
                         double upper)
{
    if (corrected.width < bands.window)
        failRange();
    std::vector<long double> means(static_cast<std::size_t>(corrected.width - bands.window));
    bandWindowMeans(corrected, bands, upper, means);
    return bandAmplitude(means, bands, corrected.width, phase);
}

} // namespace kestrel
