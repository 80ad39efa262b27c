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

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kestrel {

namespace {

/// Window sums by columns: the windows that contain column `col` are the `Window`
/// starts col - Window + 1 .. col, and each of them adds the column's rows next in its
/// own order. So one pass down a column adds each qualifying sample to all the open
/// windows at once (one lane each); a window opens at its first column and is complete
/// after its last. Counts are exact integers and come from per-column counts.
typedef double Lanes4 __attribute__((vector_size(32)));

template <int Window>
__attribute__((target_clones("avx2", "default"))) void windowSums(const float* px, std::int64_t width,
                                                                 std::int32_t height, std::int32_t starts,
                                                                 double lower, double upper, double tiny,
                                                                 double* sums, std::int32_t* columnCounts,
                                                                 unsigned char* awkwardColumns)
{
    // Tiles of columns are first copied column by column (samples that do not
    // qualify as 0), so the pass down a column reads contiguous memory.
    constexpr std::int32_t tile = 32;
    constexpr int groups = Window / 4;
    std::vector<float> columns(static_cast<std::size_t>(tile) * height);
    const std::int32_t lastColumn = starts + Window - 2;
    double open[Window] = {};
    for (std::int32_t first = 0; first <= lastColumn; first += tile) {
        const std::int32_t n = std::min(tile, lastColumn + 1 - first);
        std::int32_t count[tile] = {};
        std::int32_t awkward[tile] = {};
        float* out = columns.data();
        for (std::int32_t r = 0; r < height; ++r) {
            const float* row = px + r * width + first;
            // Rows lie a page or more apart: fetch ahead, the hardware will not.
            if (r + 32 < height) {
                __builtin_prefetch(row + 32 * width);
                __builtin_prefetch(row + 32 * width + tile - 1);
            }
            float padded[tile] = {};
            const float* x = row;
            if (n < tile) {
                std::memcpy(padded, row, sizeof(float) * static_cast<std::size_t>(n));
                x = padded;
            }
            float v[tile];
            for (std::int32_t j = 0; j < tile; ++j) {
                const double d = x[j];
                const std::int32_t in = static_cast<std::int32_t>(d > lower) & static_cast<std::int32_t>(d < upper);
                v[j] = in ? x[j] : 0.0f;
                count[j] += in;
                awkward[j] |= static_cast<std::int32_t>(d != d) | (in & static_cast<std::int32_t>(d < tiny));
            }
            for (std::int32_t j = 0; j < tile; ++j)
                out[static_cast<std::size_t>(j) * height + r] = v[j];
        }
        for (std::int32_t j = 0; j < n; ++j) {
            const std::int32_t col = first + j;
            columnCounts[col] = count[j];
            awkwardColumns[col] = awkward[j] != 0;
            open[col % Window] = 0.0; // the window that starts here
            Lanes4 acc[groups];
            std::memcpy(acc, open, sizeof open);
            const float* column = columns.data() + static_cast<std::size_t>(j) * height;
            for (std::int32_t r = 0; r < height; ++r) {
                const double v = column[r];
                const Lanes4 add = {v, v, v, v};
#pragma GCC unroll 4
                for (int k = 0; k < groups; ++k)
                    acc[k] += add;
            }
            std::memcpy(open, acc, sizeof open);
            const std::int32_t done = col - Window + 1; // the window whose last column this is
            if (done >= 0)
                sums[done] = open[done % Window];
        }
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

    // A column that holds a NaN or a qualifying sample too small for plain double sums
    // is awkward: the windows that read it are summed exactly.
    const double largestSum = static_cast<double>(window) * height * std::fabs(upper);
    const double tiny = std::isfinite(largestSum) && largestSum > 0
                            ? std::ldexp(1.0, std::ilogb(largestSum) - 39)
                            : std::numeric_limits<double>::infinity();
    std::vector<unsigned char> exactColumn(static_cast<std::size_t>(width), 0);
    std::vector<double> sums(static_cast<std::size_t>(starts));
    std::vector<std::int32_t> columnCounts(static_cast<std::size_t>(width), 0);
    if (starts > 0) {
        if (window == 16)
            windowSums<16>(ws.floatPixels.data(), width, height, starts, lower, upper, tiny, sums.data(), columnCounts.data(),
                          exactColumn.data());
        else if (window == 8)
            windowSums<8>(ws.floatPixels.data(), width, height, starts, lower, upper, tiny, sums.data(), columnCounts.data(),
                          exactColumn.data());
        else
            failRange();
    }
    ws.host.pumpMessages();

    // Means in window order, so a failure comes at the same window as when summing one
    // window after the other. A window that reads an awkward column is summed exactly.
    std::int32_t awkwardUntil = -1; // windows starting up to here read an awkward column
    for (std::int32_t s = 0; s < starts; ++s) {
        const std::int32_t last = s + window - 1;
        if (s == 0) {
            for (std::int32_t c = 0; c <= last; ++c)
                if (exactColumn[static_cast<std::size_t>(c)])
                    awkwardUntil = c;
        } else if (exactColumn[static_cast<std::size_t>(last)]) {
            awkwardUntil = last;
        }
        if (awkwardUntil >= s) {
            exactWindow(ws, s, window, lower, upper);
        } else {
            std::int32_t count = 0;
            for (std::int32_t c = s; c <= last; ++c)
                count += columnCounts[static_cast<std::size_t>(c)];
            ws.sampleIndex = s;
            ws.sampleSum = sums[static_cast<std::size_t>(s)];
            ws.sampleCount = count;
            ws.sampleMean = toDouble(divide(ws.sampleSum, count));
            ws.columnMeans[static_cast<std::size_t>(s)] = ws.sampleMean;
        }
        if ((s & 255) == 255)
            ws.host.pumpMessages();
    }
}

} // namespace kestrel
