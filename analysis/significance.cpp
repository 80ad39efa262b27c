// The band contrast and its noise, from per-column totals. Everything after the one
// pass that gathers the totals works on a few thousand numbers.
#include "analysis/significance.h"

#include "core/arith.h"

#include <cmath>
#include <limits>

namespace kestrel {

namespace {

constexpr std::int32_t finderBlocks = 101;

/// The mean of the counted samples of `window` columns from `first`.
double bandMean(const ColumnSums& t, std::int64_t first, std::int32_t window)
{
    double sum = 0, count = 0;
    for (std::int64_t c = first; c < first + window; ++c) {
        sum += t.sums[static_cast<std::size_t>(c)];
        count += t.counts[static_cast<std::size_t>(c)];
    }
    return toDouble(divide(sum, count));
}

/// s^2 of balancedContrast: the squared differences of neighbouring columns' means
/// inside each band whose start is marked, bands in column order.
double columnNoiseVariance(const ColumnSums& t, const std::vector<std::int64_t>& bandStarts, std::int32_t window)
{
    double squares = 0;
    std::int64_t neighbours = 0;
    for (const std::int64_t first : bandStarts)
        for (std::int64_t c = first; c + 1 < first + window; ++c) {
            const auto a = static_cast<std::size_t>(c), b = a + 1;
            if (t.counts[a] == 0 || t.counts[b] == 0)
                continue;
            const double d = t.sums[b] / t.counts[b] - t.sums[a] / t.counts[a];
            squares += d * d;
            ++neighbours;
        }
    return toDouble(divide(squares, 2.0L * static_cast<Extended>(neighbours)));
}

} // namespace

BandContrast balancedContrast(const ColumnSums& totals, std::int32_t window, std::span<const std::int64_t> starts)
{
    const auto columns = static_cast<std::int64_t>(totals.sums.size());
    if (window < 1 || totals.counts.size() != totals.sums.size())
        failRange();

    // The weight of each band in the contrast, by its first column; the bands of
    // consecutive pairs share their reference bands.
    std::vector<std::int64_t> bandStarts;
    std::vector<double> weights;
    auto weigh = [&](std::int64_t first, double w) {
        if (!bandStarts.empty() && bandStarts.back() == first) {
            weights.back() += w;
            return;
        }
        if (!bandStarts.empty() && first < bandStarts.back())
            failRange();
        bandStarts.push_back(first);
        weights.push_back(w);
    };

    double sum = 0;
    std::int32_t n = 0;
    for (const std::int64_t i : starts) {
        if (i - 2 * window < 0 || i + window > columns)
            failRange();
        const double before = bandMean(totals, i - 2 * window, window);
        const double offset = bandMean(totals, i - window, window);
        const double after = bandMean(totals, i, window);
        sum += (before + after) / 2 - offset;
        ++n;
        weigh(i - 2 * window, 0.5);
        weigh(i - window, -1);
        weigh(i, 0.5);
    }

    BandContrast out;
    out.pairs = n;
    out.contrast = toDouble(divide(sum, n));
    double weightSquares = 0;
    for (const double w : weights)
        weightSquares += w * w;
    const double variance = columnNoiseVariance(totals, bandStarts, window);
    out.standardError = std::sqrt(variance * weightSquares / window) / n;
    if (out.standardError > 0)
        out.significance = out.contrast / out.standardError;
    else if (out.contrast != 0)
        out.significance = std::copysign(std::numeric_limits<double>::infinity(), out.contrast);
    return out;
}

std::int32_t phaseFinderColumns(Binning binning)
{
    const BandGeometry& bands = bandGeometry(binning);
    return finderBlocks * bands.period + bands.window - 1;
}

ColumnSums phaseColumnSums(ImageView<const std::uint16_t> image, Binning binning, PhaseLimits limits)
{
    const std::int32_t columns = phaseFinderColumns(binning);
    if (image.width < columns)
        failRange();
    requireOrdered(limits.lower, limits.upper);
    // Whole-number sums: a column of 16-bit samples sums exactly in 64 bits.
    std::vector<std::uint64_t> sums(static_cast<std::size_t>(columns), 0);
    std::vector<std::uint32_t> counts(static_cast<std::size_t>(columns), 0);
    for (std::int32_t row = 0; row < image.height; ++row) {
        const std::uint16_t* px = image.row(row);
        for (std::int32_t col = 0; col < columns; ++col) {
            const double v = px[col];
            const bool in = v > limits.lower && v < limits.upper;
            sums[static_cast<std::size_t>(col)] += in ? px[col] : 0u;
            counts[static_cast<std::size_t>(col)] += in ? 1u : 0u;
        }
    }
    ColumnSums t;
    t.sums.assign(sums.begin(), sums.end());
    t.counts.assign(counts.begin(), counts.end());
    return t;
}

std::vector<BandContrast> phaseContrasts(ImageView<const std::uint16_t> image, Binning binning, PhaseLimits limits)
{
    const ColumnSums totals = phaseColumnSums(image, binning, limits);
    const BandGeometry& bands = bandGeometry(binning);
    const auto columns = static_cast<std::int64_t>(totals.sums.size());
    std::vector<BandContrast> out;
    for (std::int32_t p = 0; p < bands.period; ++p) {
        std::vector<std::int64_t> starts;
        for (std::int64_t i = p; i + bands.window <= columns; i += bands.period)
            if (i >= bands.period)
                starts.push_back(i);
        out.push_back(balancedContrast(totals, bands.window, starts));
        out.back().phase = p;
    }
    return out;
}

std::int32_t runnerUpPhase(std::span<const long double> scores, std::int32_t best)
{
    double maximum = 0.0;
    std::int32_t runnerUp = -1;
    for (std::size_t p = 0; p < scores.size(); ++p) {
        if (static_cast<std::int32_t>(p) == best)
            continue;
        requireOrdered(scores[p], maximum);
        if (runnerUp < 0 || scores[p] > maximum) {
            maximum = toDouble(scores[p]);
            runnerUp = static_cast<std::int32_t>(p);
        }
    }
    return runnerUp;
}

} // namespace kestrel
