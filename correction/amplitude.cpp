// The band profile and the band amplitude from one pass over an image: what the user
// looks at to judge a correction, before it and after it, measured over the columns and
// with the bounds of the amplitude itself.
#include "correction/correction.h"

#include "core/arith.h"
#include "correction/band_kernels.h"

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

/// What both measurements share: the totals of the columns the band windows read, the
/// columns of the pairs, and the amplitude.
struct Measured {
    ColumnTotals totals;
    ColumnRange columns;
    double amplitude = 0;
};

/// The smallest sample a window sum may hold for the sum of its column sums to be its
/// own, bit for bit (see measured).
double exactSumLimit(ImageView<const float> image, const BandGeometry& bands, double upper)
{
    // A window sum in its own order (column by column, each top to bottom, extended then
    // double after every addition) equals the sum of its column sums when every partial
    // sum is exact in a double. It is when no qualifying sample lies more than 28 binary
    // orders below the largest possible window sum: all samples are then whole multiples
    // of 2^(e - 23), e the smallest exponent among them, and every sum stays below
    // 2^(e + 30), within a double's 53 bits. Other windows are summed in their order.
    const double largestSum = static_cast<double>(bands.window) * image.height * upper;
    return std::isfinite(largestSum) && largestSum > 0 ? std::ldexp(1.0, std::ilogb(largestSum) - 28)
                                                       : std::numeric_limits<double>::infinity();
}

/// The columns the band windows read: starts 0 to width - window - 1.
std::int32_t columnsRead(std::int32_t width, const BandGeometry& bands)
{
    const std::int32_t starts = width - bands.window;
    return starts > 0 ? starts + bands.window - 1 : 0;
}

Measured measured(ImageView<const float> image, const BandGeometry& bands, std::int32_t phase, double upper,
                  const ColumnTotals* given = nullptr)
{
    const std::int32_t window = bands.window;
    const double lower = bands.lowerBound;
    requireOrdered(upper, lower);
    if (image.width < window)
        failRange();
    Measured m;
    m.columns = amplitudeColumns(image.width, bands, phase);

    const std::int32_t starts = image.width - window;
    const std::int32_t read = columnsRead(image.width, bands);
    m.totals = given ? *given : columnTotals(image, read, lower, upper, exactSumLimit(image, bands, upper));
    const ColumnTotals& t = m.totals;

    // The table of window means would fail at a window without a qualifying sample.
    std::int64_t open = 0;
    for (std::int32_t c = 0; c < read; ++c) {
        open += t.counts[static_cast<std::size_t>(c)];
        if (c >= window)
            open -= t.counts[static_cast<std::size_t>(c - window)];
        if (c >= window - 1 && open == 0)
            failInvalidOperation();
    }

    std::vector<long double> means(static_cast<std::size_t>(starts), 0.0L);
    for (std::int32_t start = m.columns.first; start < m.columns.last; start += window) {
        double sum = 0, count = 0;
        bool exact = true;
        for (std::int32_t c = start; c < start + window; ++c) {
            sum += t.sums[static_cast<std::size_t>(c)];
            count += t.counts[static_cast<std::size_t>(c)];
            exact = exact && !t.tiny[static_cast<std::size_t>(c)];
        }
        means[static_cast<std::size_t>(start)] =
            exact ? toDouble(divide(sum, count)) : bandWindowMean(image, bands, upper, start);
    }
    m.amplitude = bandAmplitude(means, bands, image.width, phase);
    return m;
}

} // namespace

double measureAmplitude(ImageView<const float> image, const BandGeometry& bands, std::int32_t phase, double upper)
{
    return measured(image, bands, phase, upper).amplitude;
}

ColumnTotals amplitudeTotals(ImageView<const float> image, const BandGeometry& bands, double upper)
{
    requireOrdered(upper, bands.lowerBound);
    return columnTotals(image, columnsRead(image.width, bands), bands.lowerBound, upper,
                        exactSumLimit(image, bands, upper));
}

double measureAmplitude(ImageView<const float> image, const BandGeometry& bands, std::int32_t phase, double upper,
                        const ColumnTotals& totals)
{
    return measured(image, bands, phase, upper, &totals).amplitude;
}

ColumnSums contrastSums(const ColumnTotals& totals)
{
    return {totals.sums, std::vector<double>(totals.counts.begin(), totals.counts.end())};
}

std::vector<BandContrast> floatPhaseContrasts(ImageView<const float> image, const BandGeometry& bands, double upper)
{
    return phaseContrasts(contrastSums(amplitudeTotals(image, bands, upper)), bands);
}

BandMeasure measureBands(ImageView<const float> image, const BandGeometry& bands, std::int32_t phase, double upper)
{
    const Measured m = measured(image, bands, phase, upper);
    const ColumnTotals& t = m.totals;
    const ColumnRange columns = m.columns;
    BandMeasure out;
    out.amplitude = m.amplitude;

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
