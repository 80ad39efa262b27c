// The float image's column totals, gathered in one pass, measured by balancedContrast.
#include "correction/balanced.h"

#include "core/arith.h"
#include "correction/band_kernels.h"

namespace kestrel {

ColumnSums floatColumnSums(ImageView<const float> image, double lower, double upper)
{
    requireOrdered(lower, upper);
    const auto n = static_cast<std::size_t>(image.width);
    ColumnSums t{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
    double* __restrict sums = t.sums.data();
    double* __restrict counts = t.counts.data();
    bool nan = false;
    // Row by row, one running sum per column: each column is still summed top to
    // bottom, and the image is read in the order it lies in memory.
    for (std::int32_t row = 0; row < image.height; ++row) {
        const float* __restrict x = image.row(row);
        for (std::size_t j = 0; j < n; ++j) {
            const double v = x[j];
            const bool in = v > lower && v < upper;
            sums[j] += in ? v : 0.0;
            counts[j] += in ? 1.0 : 0.0;
            nan |= v != v;
        }
    }
    if (nan)
        failInvalidOperation();
    return t;
}

std::vector<std::int64_t> balancedPairs(std::int32_t width, const BandGeometry& bands, std::int32_t phase)
{
    std::vector<std::int64_t> starts;
    forEachBandPair(width, bands, phase, [&](std::int64_t i) {
        if (i - 2 * bands.window >= 0)
            starts.push_back(i);
    });
    return starts;
}

BandContrast balancedAmplitude(const ColumnSums& totals, const BandGeometry& bands, std::int32_t phase)
{
    const auto width = static_cast<std::int32_t>(totals.sums.size());
    BandContrast out = balancedContrast(totals, bands.window, balancedPairs(width, bands, phase));
    out.phase = normalisedPhase(phase, bands.period);
    return out;
}

double balancedAmplitude(ImageView<const float> image, const BandGeometry& bands, std::int32_t phase, double upper)
{
    return balancedAmplitude(floatColumnSums(image, bands.lowerBound, upper), bands, phase).contrast;
}

ResidualBand residualBand(ImageView<const float> image, const BandGeometry& bands, double upper)
{
    const ColumnSums totals = floatColumnSums(image, bands.lowerBound, upper);
    ResidualBand out;
    bool first = true;
    for (std::int32_t phase = 1; phase <= bands.period; ++phase) {
        const BandContrast c = balancedAmplitude(totals, bands, phase);
        if (first || c.contrast > out.amplitude) {
            out = {c.contrast, c.phase, c.standardError};
            first = false;
        }
    }
    return out;
}

} // namespace kestrel
