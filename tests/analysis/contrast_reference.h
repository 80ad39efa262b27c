// The band contrast, its standard error and the residual band written out the
// straightforward way: band by band, every sample through the range-checked accessor,
// the pairs named as the measurement names them. The tests compare the kernels with
// these bit for bit.
#pragma once

#include "analysis/significance.h"
#include "tests/support/straightforward.h"
#include "core/arith.h"
#include "fits/workspace.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

namespace kestrel::reference {

/// Reads one sample as a double; the accessor for 16-bit or for float images.
using SampleReader = std::function<double(Workspace&, std::int32_t col, std::int32_t row)>;

inline double sample16(Workspace& ws, std::int32_t col, std::int32_t row) { return testing::getPixelValueInt16(ws, col, row); }
inline double sampleFloat(Workspace& ws, std::int32_t col, std::int32_t row)
{
    return static_cast<float>(testing::getPixelValueFloat(ws, col, row));
}

/// The contrast of the pairs at `starts` (first columns of their reference bands, one
/// period apart) with its standard error, counting samples strictly between the bounds.
inline BandContrast contrastOf(Workspace& ws, const SampleReader& read, std::int32_t window, double lower,
                               double upper, const std::vector<std::int64_t>& starts)
{
    // One column: its counted samples top to bottom, and how many.
    auto column = [&](std::int64_t col, double& sum, double& count) {
        sum = 0;
        count = 0;
        for (std::int32_t row = 0; row < ws.image.imageHeight; ++row) {
            const double v = read(ws, static_cast<std::int32_t>(col), row);
            if (v > lower && v < upper) {
                sum += v;
                count += 1;
            }
        }
    };
    auto bandMean = [&](std::int64_t first) {
        double sum = 0, count = 0;
        for (std::int64_t col = first; col < first + window; ++col) {
            double s, n;
            column(col, s, n);
            sum += s;
            count += n;
        }
        return toDouble(divide(sum, count));
    };

    double sum = 0;
    for (const std::int64_t i : starts)
        sum += (bandMean(i - 2 * window) + bandMean(i)) / 2 - bandMean(i - window);
    const auto n = static_cast<std::int32_t>(starts.size());

    // The bands tile the columns from the first pair's reference band before to the
    // last pair's after: neighbours inside one band are the noise.
    double squares = 0;
    std::int64_t neighbours = 0;
    const std::int64_t from = starts.front() - 2 * window, to = starts.back() + window;
    for (std::int64_t col = from; col + 1 < to; ++col) {
        if ((col + 1 - from) % window == 0)
            continue;
        double s0, n0, s1, n1;
        column(col, s0, n0);
        column(col + 1, s1, n1);
        if (n0 == 0 || n1 == 0)
            continue;
        const double d = s1 / n1 - s0 / n0;
        squares += d * d;
        ++neighbours;
    }
    // Reference bands weigh 1/2 at the two ends and 1 between, offset bands 1.
    const double weightSquares = 2.0 * n - 0.5;

    BandContrast out;
    out.pairs = n;
    out.contrast = toDouble(divide(sum, n));
    const double variance = toDouble(divide(squares, 2.0L * static_cast<Extended>(neighbours)));
    out.standardError = std::sqrt(variance * weightSquares / window) / n;
    out.significance = out.standardError > 0 ? out.contrast / out.standardError
                       : out.contrast == 0   ? 0.0
                                             : std::copysign(std::numeric_limits<double>::infinity(), out.contrast);
    return out;
}

/// The contrast of candidate phase p (0 to the period - 1) of a 16-bit image over the
/// phase finder's 101 periods and a band: reference bands from p + k period, each pair
/// with its reference band before and after inside those columns.
inline BandContrast phaseContrast(Workspace& ws, bool binned, double lower, double upper, std::int32_t p)
{
    const std::int32_t period = binned ? 16 : 32, window = period / 2;
    const std::int32_t columns = 101 * period + window - 1;
    std::vector<std::int64_t> starts;
    for (std::int32_t k = 1; p + k * period + window <= columns; ++k)
        starts.push_back(p + k * period);
    BandContrast c = contrastOf(ws, sample16, window, lower, upper, starts);
    c.phase = p;
    return c;
}

/// The balanced amplitude of a float image at `phase` (1 to the period): the pairs of
/// the standard amplitude (unbinned, period indices 20 to width / 32 - 20; 2x2-binned,
/// 0 to width / 16 - 4) whose reference band before the offset band starts at column
/// 0 or later.
inline BandContrast balancedAmplitude(Workspace& ws, bool binned, std::int32_t phase, double upper)
{
    const std::int32_t period = binned ? 16 : 32, window = period / 2;
    const std::int32_t first = binned ? 0 : 20;
    const std::int32_t last = binned ? ws.image.imageWidth / 16 - 4 : ws.image.imageWidth / 32 - 20;
    std::vector<std::int64_t> starts;
    for (std::int32_t k = first; k <= last; ++k)
        if (period * k + phase - period >= 0)
            starts.push_back(period * k + phase);
    BandContrast c = contrastOf(ws, sampleFloat, window, binned ? 5.0 : 0.0, upper, starts);
    c.phase = phase;
    return c;
}

/// The largest balanced amplitude over the phases 1 to the period, the first of equal
/// ones.
inline BandContrast residualBand(Workspace& ws, bool binned, double upper)
{
    const std::int32_t period = binned ? 16 : 32;
    BandContrast best = balancedAmplitude(ws, binned, 1, upper);
    for (std::int32_t phase = 2; phase <= period; ++phase) {
        const BandContrast c = balancedAmplitude(ws, binned, phase, upper);
        if (c.contrast > best.contrast)
            best = c;
    }
    return best;
}

} // namespace kestrel::reference
