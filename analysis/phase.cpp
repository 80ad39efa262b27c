// The band phase finder. Window sums and counts are exact integers, so they are built
// from per-column sums and counts of in-range samples, gathered in one pass over the
// rows; the window means and their accumulation per phase keep the block order.
#include "analysis/analysis.h"

#include "core/arith.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrel {

namespace {

constexpr std::int32_t blockCount = 101;

} // namespace

PhaseLimits phaseLimits(Binning binning, double background)
{
    const Extended upperFactor = binning == Binning::unbinned ? 1.333L : 1.33L;
    return {toDouble(0.75L * background), toDouble(upperFactor * background)};
}

void addPhaseScores(ImageView<const std::uint16_t> image, Binning binning, PhaseLimits limits,
                    std::span<long double> scores)
{
    const std::int32_t period = bandGeometry(binning).period;
    const std::int32_t half = period / 2;
    const std::int32_t columns = (blockCount - 1) * period + period + half - 1;
    if (image.width < columns || scores.size() != static_cast<std::size_t>(period))
        failRange();

    // In-range samples as whole numbers: v > lower and v < upper.
    requireOrdered(limits.lower, limits.upper);
    const double lowFloor = std::floor(limits.lower) + 1;
    const double highCeil = std::ceil(limits.upper) - 1;
    const std::int32_t first = static_cast<std::int32_t>(std::clamp(lowFloor, 0.0, 65536.0));
    const std::int32_t last = static_cast<std::int32_t>(std::clamp(highCeil, -1.0, 65535.0));
    std::vector<std::uint64_t> columnSum(static_cast<std::size_t>(columns), 0);
    std::vector<std::uint32_t> columnCount(static_cast<std::size_t>(columns), 0);
    if (first <= last) {
        const std::uint32_t span = static_cast<std::uint32_t>(last - first);
        for (std::int32_t row = 0; row < image.height; ++row) {
            const std::uint16_t* px = image.row(row);
            for (std::int32_t col = 0; col < columns; ++col) {
                const std::uint32_t v = px[col];
                const std::uint32_t in = (v - static_cast<std::uint32_t>(first)) <= span ? 1u : 0u;
                columnSum[static_cast<std::size_t>(col)] += v * in;
                columnCount[static_cast<std::size_t>(col)] += in;
            }
        }
    }

    for (std::int32_t block = 0; block < blockCount; ++block) {
        for (std::int32_t p = 0; p < period; ++p) {
            std::int64_t sum = 0;
            std::int64_t count = 0;
            for (std::int32_t c = block * period + p; c < block * period + p + half; ++c) {
                sum += static_cast<std::int64_t>(columnSum[static_cast<std::size_t>(c)]);
                count += columnCount[static_cast<std::size_t>(c)];
            }
            if (count > std::numeric_limits<std::int32_t>::max())
                failRange();
            const double mean = toDouble(divide(static_cast<Extended>(sum), static_cast<Extended>(count)));
            scores[static_cast<std::size_t>(p)] += mean;
        }
    }
}

std::int32_t bestPhase(std::span<const long double> scores)
{
    // The running maximum is a double: a later score must beat the rounded maximum.
    double maximum = 0.0;
    std::int32_t best = 0;
    for (std::size_t p = 0; p < scores.size(); ++p) {
        requireOrdered(scores[p], maximum);
        if (scores[p] > maximum) {
            maximum = toDouble(scores[p]);
            best = static_cast<std::int32_t>(p);
        }
    }
    return best;
}

PhaseSearch findBandPhase(ImageView<const std::uint16_t> image, Binning binning, double background)
{
    PhaseSearch search;
    search.limits = phaseLimits(binning, background);
    search.scores.assign(static_cast<std::size_t>(bandGeometry(binning).period), 0.0L);
    addPhaseScores(image, binning, search.limits, search.scores);
    search.phase = bestPhase(search.scores);
    return search;
}

} // namespace kestrel
