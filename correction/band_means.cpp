// The band window means. Each window's sum is a sequential sum in its own order
// (column by column, each column top to bottom), formed in extended precision and
// stored as a double after every addition. Neighbouring windows are computed side by
// side, one lane each: at every step the lanes read contiguous samples of one row.
//
// Plain double additions give the same bits as the extended-then-double ones whenever
// every exact partial sum fits in 64 bits, which holds when no qualifying sample lies
// more than 39 binary orders below the largest possible window sum. Strips of windows
// that read such a tiny sample, or a NaN, are summed the exact scalar way instead.
#include "correction/band_layout.h"

#include "core/arith.h"

#include <cmath>

namespace kestrel {

namespace {

constexpr int lanes = 16;

struct LaneSums {
    double sum[lanes];
    double count[lanes];
};

__attribute__((target_clones("avx2", "default"))) void sumStrip(const float* px, std::int64_t width, std::int32_t height,
                                                               std::int32_t start, std::int32_t window, double lower,
                                                               double upper, LaneSums& out)
{
    double sum[lanes] = {};
    double count[lanes] = {};
    for (std::int32_t c = 0; c < window; ++c) {
        const float* column = px + start + c;
        for (std::int32_t r = 0; r < height; ++r) {
            const float* row = column + r * width;
            for (int j = 0; j < lanes; ++j) {
                const double x = row[j];
                const bool in = x > lower && x < upper;
                sum[j] += in ? x : 0.0;
                count[j] += in ? 1.0 : 0.0;
            }
        }
    }
    for (int j = 0; j < lanes; ++j) {
        out.sum[j] = sum[j];
        out.count[j] = count[j];
    }
}

/// The window that starts at `start`, summed exactly as defined.
void exactWindow(Workspace& ws, std::int32_t start, std::int32_t window, double lower, double upper)
{
    const float* px = ws.floatPixels.data();
    const std::int64_t width = ws.imageWidth;
    double sum = 0.0;
    std::int32_t count = 0;
    for (std::int32_t col = start; col < start + window; ++col)
        for (std::int32_t row = 0; row < ws.imageHeight; ++row) {
            const double x = px[col + row * width];
            if (std::isnan(x))
                failInvalidOperation();
            if (x > lower && x < upper) {
                sum = addStored(sum, x);
                ++count;
            }
        }
    ws.sampleIndex = start;
    ws.sampleSum = sum;
    ws.sampleCount = count;
    ws.sampleMean = toDouble(divide(sum, count));
    ws.columnMeans[static_cast<std::size_t>(start)] = ws.sampleMean;
}

} // namespace

void fillColumnMeans(Workspace& ws, const BandLayout& layout)
{
    const std::int32_t width = ws.imageWidth;
    const std::int32_t height = ws.imageHeight;
    const std::int32_t window = layout.window;
    const std::int64_t total = static_cast<std::int64_t>(width) * height;
    if (width < window || height < 0 || static_cast<std::uint64_t>(total) > ws.floatPixels.size())
        failRange();
    const std::int32_t starts = width - window;
    ws.columnMeans.assign(static_cast<std::size_t>(starts), 0.0L);
    ws.sampleIndex = -1;
    const double lower = layout.lowerBound;
    const double upper = ws.backgroundFlux;
    requireOrdered(upper, lower);

    // Columns that hold a NaN or a qualifying sample too small for plain double sums.
    const double largestSum = static_cast<double>(window) * height * std::fabs(upper);
    const double tiny = std::isfinite(largestSum) && largestSum > 0
                            ? std::ldexp(1.0, std::ilogb(largestSum) - 39)
                            : std::numeric_limits<double>::infinity();
    std::vector<unsigned char> exactColumn(static_cast<std::size_t>(width), 0);
    {
        const float* px = ws.floatPixels.data();
        for (std::int32_t r = 0; r < height; ++r) {
            const float* row = px + static_cast<std::int64_t>(r) * width;
            for (std::int32_t c = 0; c < width; ++c) {
                const double x = row[c];
                const bool awkward = (x != x) || (x > lower && x < upper && x < tiny);
                exactColumn[static_cast<std::size_t>(c)] |= awkward ? 1 : 0;
            }
        }
    }

    LaneSums strip;
    std::int32_t start = 0;
    for (; start < starts; start += lanes) {
        const std::int32_t n = std::min(lanes, starts - start);
        bool exact = n < lanes;
        for (std::int32_t c = start; c < start + n + window - 1 && !exact; ++c)
            exact = exactColumn[static_cast<std::size_t>(c)] != 0;
        if (exact) {
            for (std::int32_t s = start; s < start + n; ++s)
                exactWindow(ws, s, window, lower, upper);
        } else {
            sumStrip(ws.floatPixels.data(), width, height, start, window, lower, upper, strip);
            for (int j = 0; j < n; ++j) {
                ws.sampleIndex = start + j;
                ws.sampleSum = strip.sum[j];
                ws.sampleCount = static_cast<std::int32_t>(strip.count[j]);
                ws.sampleMean = toDouble(divide(ws.sampleSum, ws.sampleCount));
                ws.columnMeans[static_cast<std::size_t>(start + j)] = ws.sampleMean;
            }
        }
        ws.host.pumpMessages();
    }
}

} // namespace kestrel
