// The band analysis written out the straightforward way: every sample through the
// range-checked accessor, the full copy sorted, each window summed on its own. The
// tests compare the production routines with these bit for bit, and the benchmarks
// measure them as the baseline.
#pragma once

#include "analysis/analysis.h"
#include "core/arith.h"
#include "tests/support/straightforward.h"

#include <cstdint>
#include <vector>

namespace kestrel::reference {

using testing::getPixelValueFloat;
using testing::getPixelValueInt16;
using testing::QuickSort;
using testing::QuickSort16;

/// Background level as gathered, sorted and averaged over the whole copy.
inline double background(Workspace& ws, SampleType type)
{
    const std::int32_t w = ws.image.imageWidth, h = ws.image.imageHeight;
    if (type == SampleType::int16) {
        std::vector<std::uint16_t> v;
        v.reserve(static_cast<std::size_t>(w) * h);
        for (std::int32_t c = 0; c < w; ++c)
            for (std::int32_t r = 0; r < h; ++r)
                v.push_back(getPixelValueInt16(ws, c, r));
        const std::int32_t n = static_cast<std::int32_t>(v.size());
        QuickSort16(ws, v, 0, n - 1);
        const auto lo = roundHalfEven(0.002L * (n - 1)), hi = roundHalfEven(0.01L * (n - 1));
        std::uint64_t sum = 0;
        for (auto i = lo; i <= hi; ++i)
            sum += v.at(static_cast<std::size_t>(i));
        return toDouble(divide(static_cast<Extended>(sum), static_cast<Extended>(hi - lo + 1)));
    }
    std::vector<double> v;
    v.reserve(static_cast<std::size_t>(w) * h);
    for (std::int32_t c = 0; c < w; ++c)
        for (std::int32_t r = 0; r < h; ++r) {
            const double x = static_cast<float>(getPixelValueFloat(ws, c, r));
            requireOrdered(x, 0.0);
            if (!(x < 0.0))
                v.push_back(x);
        }
    const std::int32_t n = static_cast<std::int32_t>(v.size());
    QuickSort(ws, v, 0, n - 1);
    const auto lo = roundHalfEven(0.002L * (n - 1)), hi = roundHalfEven(0.1L * (n - 1));
    double sum = 0.0;
    for (auto i = lo; i <= hi; ++i)
        sum = addStored(sum, v.at(static_cast<std::size_t>(i)));
    return toDouble(divide(sum, static_cast<Extended>(hi - lo + 1)));
}

/// Means of every band window of `window` columns; `upper` is the already scaled bound.
inline std::vector<long double> columnMeans(Workspace& ws, std::int32_t window, double lower, double upper)
{
    std::vector<long double> means(static_cast<std::size_t>(ws.image.imageWidth - window), 0.0L);
    for (std::int32_t s = 0; s < ws.image.imageWidth - window; ++s) {
        double sum = 0.0;
        std::int32_t count = 0;
        for (std::int32_t col = s; col < s + window; ++col)
            for (std::int32_t row = 0; row < ws.image.imageHeight; ++row) {
                const double x = static_cast<float>(getPixelValueFloat(ws, col, row));
                requireOrdered(x, lower);
                if (x > lower && x < upper) {
                    sum = addStored(sum, x);
                    ++count;
                }
            }
        means[static_cast<std::size_t>(s)] = toDouble(divide(sum, count));
    }
    return means;
}

/// The qualifying samples of one column: their sum, each added in double top to bottom,
/// their count, and whether one of them lies below a bound.
struct ColumnTotal {
    double sum = 0;
    std::int32_t count = 0;
    bool below = false;
};
inline std::vector<ColumnTotal> columnTotals(Workspace& ws, std::int32_t columns, double lower, double upper,
                                             double bound)
{
    std::vector<ColumnTotal> totals(static_cast<std::size_t>(columns));
    for (std::int32_t col = 0; col < columns; ++col)
        for (std::int32_t row = 0; row < ws.image.imageHeight; ++row) {
            const double x = static_cast<float>(getPixelValueFloat(ws, col, row));
            requireOrdered(x, lower);
            if (x > lower && x < upper) {
                ColumnTotal& t = totals[static_cast<std::size_t>(col)];
                t.sum += x;
                ++t.count;
                t.below = t.below || x < bound;
            }
        }
    return totals;
}

/// The band amplitude from the window means, pair by pair as the measurement names
/// them: unbinned, period indices 20 to width / 32 - 20 with the offset window 16
/// columns before i = 32 k + phase; 2x2-binned, period indices 0 to width / 16 - 4
/// with the offset window 8 columns before i = 16 k + phase, left out when it would
/// start before column 0. Each pair's difference is added in extended precision and
/// the sum kept as a double.
inline double amplitude(const std::vector<long double>& means, bool binned, std::int32_t width, std::int32_t phase)
{
    const std::int32_t period = binned ? 16 : 32, half = period / 2;
    const std::int32_t first = binned ? 0 : 20;
    const std::int32_t last = binned ? width / 16 - 3 - 1 : width / 32 - 20;
    double sum = 0.0;
    std::int32_t n = 0;
    for (std::int32_t k = first; k <= last; ++k) {
        const std::int32_t i = period * k + phase;
        if (i - half < 0)
            continue;
        sum = toDouble(static_cast<Extended>(sum) + means.at(static_cast<std::size_t>(i)) -
                       means.at(static_cast<std::size_t>(i - half)));
        ++n;
    }
    return toDouble(divide(sum, n));
}

/// The band profile as defined: the columns of every counted band pair (its offset
/// window, then its reference window), each summed top to bottom in double; per period
/// position, counted from `phase` (1 to the period), the column sums in column order in
/// extended precision.
inline std::vector<double> bandProfile(Workspace& ws, bool binned, std::int32_t phase, double upper)
{
    const std::int32_t period = binned ? 16 : 32, half = period / 2;
    const double lower = binned ? 5.0 : 0.0;
    const std::int32_t first = binned ? 0 : 20;
    const std::int32_t last = binned ? ws.image.imageWidth / 16 - 3 - 1 : ws.image.imageWidth / 32 - 20;
    std::vector<Extended> sums(static_cast<std::size_t>(period), 0.0L), counts(static_cast<std::size_t>(period), 0.0L);
    for (std::int32_t k = first; k <= last; ++k) {
        const std::int32_t i = period * k + phase;
        if (i - half < 0)
            continue;
        for (std::int32_t col = i - half; col < i + half; ++col) {
            double sum = 0.0;
            std::int32_t count = 0;
            for (std::int32_t row = 0; row < ws.image.imageHeight; ++row) {
                const double x = static_cast<float>(getPixelValueFloat(ws, col, row));
                requireOrdered(x, lower);
                if (x > lower && x < upper) {
                    sum += x;
                    ++count;
                }
            }
            const auto position = static_cast<std::size_t>(((col - phase) % period + period) % period);
            sums[position] += sum;
            counts[position] += count;
        }
    }
    std::vector<double> profile(static_cast<std::size_t>(period));
    for (std::size_t q = 0; q < profile.size(); ++q)
        profile[q] = toDouble(divide(sums[q], counts[q]));
    return profile;
}

/// Phase scores of the finder, window by window through the accessor.
inline std::vector<long double> phaseScores(Workspace& ws, std::int32_t period, Extended upperFactor,
                                            double background)
{
    std::vector<long double> scores(static_cast<std::size_t>(period), 0.0L);
    const double lower = toDouble(0.75L * background), upper = toDouble(upperFactor * background);
    for (std::int32_t b = 0; b < 101; ++b)
        for (std::int32_t p = 0; p < period; ++p) {
            std::int64_t sum = 0;
            std::int32_t count = 0;
            for (std::int32_t col = b * period + p; col < b * period + p + period / 2; ++col)
                for (std::int32_t row = 0; row < ws.image.imageHeight; ++row) {
                    const std::uint16_t v = getPixelValueInt16(ws, col, row);
                    if (v > lower && v < upper) {
                        sum += v;
                        ++count;
                    }
                }
            scores[static_cast<std::size_t>(p)] += toDouble(divide(static_cast<Extended>(sum), count));
        }
    return scores;
}

} // namespace kestrel::reference
