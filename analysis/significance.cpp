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

/// The weight of each band in a balanced contrast, by its first column; the bands of
/// consecutive pairs share their reference bands.
struct BandWeights {
    std::vector<std::int64_t> starts;
    std::vector<double> weights;
};
BandWeights bandWeights(std::span<const std::int64_t> pairs, std::int32_t window)
{
    BandWeights b;
    auto weigh = [&](std::int64_t first, double w) {
        if (!b.starts.empty() && b.starts.back() == first) {
            b.weights.back() += w;
            return;
        }
        if (!b.starts.empty() && first < b.starts.back())
            failRange();
        b.starts.push_back(first);
        b.weights.push_back(w);
    };
    for (const std::int64_t i : pairs) {
        weigh(i - 2 * window, 0.5);
        weigh(i - window, -1);
        weigh(i, 0.5);
    }
    return b;
}

/// The pairs of candidate phase p over `columns` columns (see phaseContrasts).
std::vector<std::int64_t> candidatePairs(std::int64_t columns, const BandGeometry& bands, std::int32_t p)
{
    std::vector<std::int64_t> starts;
    for (std::int64_t i = p; i + bands.window <= columns; i += bands.period)
        if (i >= bands.period)
            starts.push_back(i);
    return starts;
}

/// The standard error of contrast(a) - contrast(b), each column's mean weighed by the
/// weight of its band over window x pairs in each, with the column noise `variance`.
double differenceError(std::size_t columns, std::int32_t window, std::span<const std::int64_t> a,
                       std::span<const std::int64_t> b, double variance)
{
    std::vector<double> w(columns, 0.0);
    auto spread = [&](std::span<const std::int64_t> pairs, double sign) {
        const BandWeights bw = bandWeights(pairs, window);
        const double scale = sign / (static_cast<double>(window) * static_cast<double>(pairs.size()));
        for (std::size_t j = 0; j < bw.starts.size(); ++j)
            for (std::int64_t c = bw.starts[j]; c < bw.starts[j] + window; ++c)
                w[static_cast<std::size_t>(c)] += bw.weights[j] * scale;
    };
    spread(a, 1);
    spread(b, -1);
    double squares = 0;
    for (const double x : w)
        squares += x * x;
    return std::sqrt(variance * squares);
}

} // namespace

BandContrast balancedContrast(const ColumnSums& totals, std::int32_t window, std::span<const std::int64_t> starts)
{
    const auto columns = static_cast<std::int64_t>(totals.sums.size());
    if (window < 1 || totals.counts.size() != totals.sums.size())
        failRange();

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
    }
    const BandWeights bands = bandWeights(starts, window);

    BandContrast out;
    out.pairs = n;
    out.contrast = toDouble(divide(sum, n));
    double weightSquares = 0;
    for (const double w : bands.weights)
        weightSquares += w * w;
    const double variance = columnNoiseVariance(totals, bands.starts, window);
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
    return phaseContrasts(phaseColumnSums(image, binning, limits), bandGeometry(binning));
}

std::vector<BandContrast> phaseContrasts(const ColumnSums& totals, const BandGeometry& bands)
{
    const auto columns = static_cast<std::int64_t>(totals.sums.size());
    std::vector<BandContrast> out;
    for (std::int32_t p = 0; p < bands.period; ++p) {
        out.push_back(balancedContrast(totals, bands.window, candidatePairs(columns, bands, p)));
        out.back().phase = p;
    }
    return out;
}

std::int32_t strongestPhase(std::span<const BandContrast> contrasts)
{
    std::int32_t best = 0;
    for (std::size_t p = 0; p < contrasts.size(); ++p) {
        requireOrdered(contrasts[p].contrast, contrasts[static_cast<std::size_t>(best)].contrast);
        if (contrasts[p].contrast > contrasts[static_cast<std::size_t>(best)].contrast)
            best = static_cast<std::int32_t>(p);
    }
    return best;
}

std::vector<BandContrast> combinedContrasts(std::span<const std::vector<BandContrast>> frames)
{
    if (frames.empty())
        failInvalidOperation();
    const std::size_t candidates = frames.front().size();
    std::vector<BandContrast> out(candidates);
    for (std::size_t p = 0; p < candidates; ++p) {
        bool noiseless = false;
        for (const auto& f : frames) {
            if (f.size() != candidates)
                failRange();
            noiseless = noiseless || f[p].standardError == 0;
        }
        Extended weighted = 0, weights = 0;
        BandContrast& c = out[p];
        c.phase = static_cast<std::int32_t>(p);
        for (const auto& f : frames) {
            const BandContrast& one = f[p];
            c.pairs += one.pairs;
            if (noiseless && one.standardError != 0)
                continue;
            const Extended w = noiseless ? 1.0L : 1.0L / (static_cast<Extended>(one.standardError) * one.standardError);
            weighted += w * one.contrast;
            weights += w;
        }
        c.contrast = toDouble(divide(weighted, weights));
        c.standardError = noiseless ? 0.0 : toDouble(1.0L / std::sqrt(weights));
        if (c.standardError > 0)
            c.significance = c.contrast / c.standardError;
        else if (c.contrast != 0)
            c.significance = std::copysign(std::numeric_limits<double>::infinity(), c.contrast);
    }
    return out;
}

PhaseVerdict judgePhase(const ColumnSums& totals, const BandGeometry& bands, std::int32_t given)
{
    const std::vector<BandContrast> contrasts = phaseContrasts(totals, bands);
    const std::int32_t own = strongestPhase(contrasts);
    const std::int32_t g = normalisedPhase(given, bands.period) % bands.period;
    const std::int32_t twin = (g + bands.window) % bands.period;
    PhaseVerdict v;
    v.own = contrasts[static_cast<std::size_t>(own)];
    v.given = contrasts[static_cast<std::size_t>(g)];
    if (own == g || own == twin)
        return v;
    const std::int32_t matched = contrasts[static_cast<std::size_t>(twin)].contrast > v.given.contrast ? twin : g;
    const auto columns = static_cast<std::int64_t>(totals.sums.size());
    const std::vector<std::int64_t> ownPairs = candidatePairs(columns, bands, own);
    const double variance = columnNoiseVariance(totals, bandWeights(ownPairs, bands.window).starts, bands.window);
    const double difference = v.own.contrast - contrasts[static_cast<std::size_t>(matched)].contrast;
    const double error = differenceError(totals.sums.size(), bands.window, ownPairs,
                                         candidatePairs(columns, bands, matched), variance);
    if (error > 0)
        v.separation = difference / error;
    else if (difference > 0)
        v.separation = std::numeric_limits<double>::infinity();
    v.contradicts = difference > 0 && v.separation >= significantContrast;
    return v;
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
