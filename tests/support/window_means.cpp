// The band window means, kept as the definition the correction's amplitude is held to
// bit for bit (through bandAmplitude), and timed beside it by the benchmarks. Each
// window's sum is a sequential sum in its own order (column by column, each column top
// to bottom), formed in extended precision and stored as a double after every addition.
// Neighbouring windows are computed side by side, one lane each: at every step the
// lanes read contiguous samples of one row.
//
// Plain double additions give the same bits as the extended-then-double ones whenever
// every exact partial sum fits in 64 bits, which holds when no qualifying sample lies
// more than 39 binary orders below the largest possible window sum. Strips of windows
// that read such a tiny sample, or a NaN, are summed the exact scalar way instead.
#include "tests/support/window_means.h"

#include "core/arith.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace kestrel {

namespace {

/// Window sums by columns: the windows that contain column `col` are the `Window`
/// starts col - Window + 1 .. col, and each of them adds the column's rows next in its
/// own order. So one pass down a column adds each qualifying sample to all the open
/// windows at once (one lane each); a window opens at its first column and is complete
/// after its last. Counts are exact integers and come from per-column counts.
typedef double Lanes4 __attribute__((vector_size(32)));

struct WindowSumArgs {
    const float* px;
    std::int64_t width;
    std::int32_t height;
    std::int32_t starts;
    double lower, upper, tiny;
    double* sums;
    std::int32_t* columnCounts;
    unsigned char* awkwardColumns;
};

// One body, built twice below: each lane is an independent double addition, so both
// builds give the same bits, and the tests hold both to the plain loop.
template <int Window> [[gnu::always_inline]] inline void windowSumsBody(const WindowSumArgs& a)
{
    const float* px = a.px;
    const std::int64_t width = a.width;
    const std::int32_t height = a.height, starts = a.starts;
    const double lower = a.lower, upper = a.upper, tiny = a.tiny;
    double* sums = a.sums;
    std::int32_t* columnCounts = a.columnCounts;
    unsigned char* awkwardColumns = a.awkwardColumns;
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

template <int Window> [[gnu::target("avx2")]] void windowSumsAvx2(const WindowSumArgs& a) { windowSumsBody<Window>(a); }
template <int Window> void windowSumsPortable(const WindowSumArgs& a) { windowSumsBody<Window>(a); }

WindowSumBuild resolved(WindowSumBuild build)
{
    if (build == WindowSumBuild::chosen)
        return avx2Available() ? WindowSumBuild::avx2 : WindowSumBuild::portable;
    return build;
}

template <int Window> void windowSums(const WindowSumArgs& a, WindowSumBuild build)
{
    if (resolved(build) == WindowSumBuild::avx2)
        windowSumsAvx2<Window>(a);
    else
        windowSumsPortable<Window>(a);
}

} // namespace

void bandWindowMeans(ImageView<const float> image, const BandGeometry& bands, double upper,
                     std::span<long double> means)
{
    bandWindowMeans(image, bands, upper, means, WindowSumBuild::chosen);
}

void bandWindowMeans(ImageView<const float> image, const BandGeometry& bands, double upper,
                     std::span<long double> means, WindowSumBuild build)
{
    const std::int32_t width = image.width;
    const std::int32_t height = image.height;
    const std::int32_t window = bands.window;
    if (width < window || means.size() != static_cast<std::size_t>(width - window))
        failRange();
    const std::int32_t starts = width - window;
    const double lower = bands.lowerBound;
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
        const WindowSumArgs args{image.pixels.data(), width, height, starts, lower, upper, tiny,
                                 sums.data(), columnCounts.data(), exactColumn.data()};
        if (window == 16)
            windowSums<16>(args, build);
        else if (window == 8)
            windowSums<8>(args, build);
        else
            failRange();
    }

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
            means[static_cast<std::size_t>(s)] = bandWindowMean(image, bands, upper, s);
            continue;
        }
        std::int32_t count = 0;
        for (std::int32_t c = s; c <= last; ++c)
            count += columnCounts[static_cast<std::size_t>(c)];
        means[static_cast<std::size_t>(s)] = toDouble(divide(sums[static_cast<std::size_t>(s)], count));
    }
}

} // namespace kestrel
