// The band profile and the band amplitude from one pass over an image: what the user
// looks at to judge a correction, before it and after it, measured over the columns and
// with the bounds of the amplitude itself.
#include "correction/correction.h"

#include "core/arith.h"
#include "correction/band_means.h"

#include <cmath>
#include <limits>
#include <vector>

namespace kestrel {

ColumnRange amplitudeColumns(std::int32_t width, const BandGeometry& bands, std::int32_t phase)
{
    const std::int64_t starts = static_cast<std::int64_t>(width) - bands.window; // band window means
    std::int64_t first = -1, last = -1;                                          // reference windows
    forEachBandPair(width, bands, phase, [&](std::int64_t i) {
        if (i >= starts)
            failRange();
        if (first < 0)
            first = i;
        last = i;
    });
    if (first < 0)
        return {};
    return {static_cast<std::int32_t>(first - bands.window), static_cast<std::int32_t>(last + bands.window - 1)};
}

namespace {

/// Sums and counts of the qualifying samples of each column, every column summed top to
/// bottom in double, and the smallest qualifying sample of each column.
struct ColumnTotals {
    std::vector<double> sums;
    std::vector<double> counts; // whole numbers, exact in double
    std::vector<double> smallest;
};

/// Row by row, one running sum per column: each column is still summed top to bottom,
/// and the pass reads the image in the order it lies in memory. Columns 0 to `columns`
/// - 1. A NaN among them is an invalid operation.
ColumnTotals columnTotals(ImageView<const float> image, std::int32_t columns, double lower, double upper)
{
    const auto n = static_cast<std::size_t>(columns);
    ColumnTotals t{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0),
                   std::vector<double>(n, std::numeric_limits<double>::infinity())};
    double* sums = t.sums.data();
    double* counts = t.counts.data();
    double* smallest = t.smallest.data();
    bool nan = false;
    for (std::int32_t row = 0; row < image.height; ++row) {
        const float* x = image.row(row);
        for (std::size_t j = 0; j < n; ++j) {
            const double v = x[j];
            const bool in = v > lower && v < upper;
            sums[j] += in ? v : 0.0;
            counts[j] += in ? 1.0 : 0.0;
            smallest[j] = in && v < smallest[j] ? v : smallest[j];
            nan |= v != v;
        }
    }
    if (nan)
        failInvalidOperation();
    return t;
}

} // namespace

BandMeasure measureBands(ImageView<const float> image, const BandGeometry& bands, std::int32_t phase, double upper)
{
    const std::int32_t window = bands.window;
    const double lower = bands.lowerBound;
    requireOrdered(upper, lower);
    if (image.width < window)
        failRange();
    const ColumnRange columns = amplitudeColumns(image.width, bands, phase);

    // The columns the band windows read: starts 0 to width - window - 1.
    const std::int32_t starts = image.width - window;
    const std::int32_t read = starts > 0 ? starts + window - 1 : 0;
    const ColumnTotals t = columnTotals(image, read, lower, upper);

    // The table of window means would fail at a window without a qualifying sample.
    double open = 0;
    for (std::int32_t c = 0; c < read; ++c) {
        open += t.counts[static_cast<std::size_t>(c)];
        if (c >= window)
            open -= t.counts[static_cast<std::size_t>(c - window)];
        if (c >= window - 1 && open == 0)
            failInvalidOperation();
    }

    // A window sum in its own order (column by column, each top to bottom, extended then
    // double after every addition) equals the sum of its column sums when every partial
    // sum is exact in a double. It is when no qualifying sample lies more than 28 binary
    // orders below the largest possible window sum: all samples are then whole multiples
    // of 2^(e - 23), e the smallest exponent among them, and every sum stays below
    // 2^(e + 30), within a double's 53 bits. Other windows are summed in their order.
    const double largestSum = static_cast<double>(window) * image.height * upper;
    const double tiny = std::isfinite(largestSum) && largestSum > 0 ? std::ldexp(1.0, std::ilogb(largestSum) - 28)
                                                                     : std::numeric_limits<double>::infinity();
    std::vector<long double> means(static_cast<std::size_t>(starts), 0.0L);
    for (std::int32_t start = columns.first; start < columns.last; start += window) {
        double sum = 0, count = 0;
        bool exact = true;
        for (std::int32_t c = start; c < start + window; ++c) {
            sum += t.sums[static_cast<std::size_t>(c)];
            count += t.counts[static_cast<std::size_t>(c)];
            exact = exact && t.smallest[static_cast<std::size_t>(c)] >= tiny;
        }
        means[static_cast<std::size_t>(start)] =
            exact ? toDouble(divide(sum, count)) : bandWindowMean(image, bands, upper, start);
    }

    BandMeasure out;
    out.amplitude = bandAmplitude(means, bands, image.width, phase);

    // The profile: the column sums of one position in column order, in extended precision.
    const std::int32_t period = bands.period;
    const std::int32_t p = normalisedPhase(phase, period);
    std::vector<Extended> positionSums(static_cast<std::size_t>(period), 0.0L);
    std::vector<Extended> positionCounts(static_cast<std::size_t>(period), 0.0L);
    for (std::int32_t c = columns.first; c <= columns.last; ++c) {
        const auto position = static_cast<std::size_t>(((c - p) % period + period) % period);
        positionSums[position] += t.sums[static_cast<std::size_t>(c)];
        positionCounts[position] += t.counts[static_cast<std::size_t>(c)];
    }
    out.profile.resize(static_cast<std::size_t>(period));
    for (std::size_t q = 0; q < out.profile.size(); ++q)
        out.profile[q] = toDouble(divide(positionSums[q], positionCounts[q]));
    return out;
}

} // namespace kestrel
