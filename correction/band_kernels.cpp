// The two loops over every sample that a correction runs: the column totals its
// amplitude and profile are measured from, and the adding of the amplitude to every
// offset band. Both are vectorised; each lane does the plain sequential arithmetic of
// one column, so both builds give the bits of the simple loop, which the tests hold
// them to. Also the exact mean of one band window, for the columns whose samples are
// too small for plain double sums.
#include "correction/band_kernels.h"

#include "core/arith.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kestrel {

namespace {

WindowSumBuild resolved(WindowSumBuild build)
{
    if (build == WindowSumBuild::chosen)
        return avx2Available() ? WindowSumBuild::avx2 : WindowSumBuild::portable;
    return build;
}

/// Column totals: each lane adds one column's samples top to bottom, a plain double
/// addition per qualifying sample (+0 for the others), as a loop over one column would.
/// The bounds are compared in single precision, four or eight lanes at a time: a float lies
/// above a double bound exactly when it lies above the largest float not above it, and
/// below one exactly when below the smallest float not below it.

float floatNotAbove(double x)
{
    float f = static_cast<float>(x);
    if (static_cast<double>(f) > x)
        f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
}

float floatNotBelow(double x)
{
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x)
        f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

struct ColumnTotalArgs {
    const float* px;
    std::int64_t width;
    std::int32_t height;
    std::int32_t columns;
    double lower, upper, tiny;
    double* sums;
    std::int32_t* counts;
    unsigned char* small;
};

/// The columns after the last whole group of lanes, one at a time; true when one of
/// their samples is NaN.
bool remainingColumnTotals(const ColumnTotalArgs& a, std::int32_t from)
{
    bool unordered = false;
    for (std::int32_t c = from; c < a.columns; ++c) {
        double sum = 0.0;
        std::int32_t count = 0;
        bool small = false;
        for (std::int32_t r = 0; r < a.height; ++r) {
            const double v = a.px[r * a.width + c];
            const bool in = v > a.lower && v < a.upper;
            sum += in ? v : 0.0;
            count += in;
            small |= in && v < a.tiny;
            unordered |= v != v;
        }
        a.sums[c] = sum;
        a.counts[c] = count;
        a.small[c] = small;
    }
    return unordered;
}

/// Marks the columns before `whole` that hold a qualifying sample below `tiny`, given the
/// smallest qualifying sample among them.
void markSmallSamples(const ColumnTotalArgs& a, std::int32_t whole, float smallest)
{
    std::fill(a.small, a.small + whole, static_cast<unsigned char>(0));
    if (!(static_cast<double>(smallest) < a.tiny))
        return;
    for (std::int32_t r = 0; r < a.height; ++r)
        for (std::int32_t c = 0; c < whole; ++c) {
            const double v = a.px[r * a.width + c];
            a.small[c] |= static_cast<unsigned char>(v > a.lower && v < a.upper && v < a.tiny);
        }
}

// Strips of columns go down the whole image in turn, so that the running totals of a
// strip stay in the nearest cache; the rows of a strip lie a page or more apart, so the
// ones ahead are fetched in advance, as the hardware would not. Counts are kept in the
// lanes by subtracting the -1 masks of the qualifying samples. Whether a qualifying
// sample lies below `tiny` is first asked of the whole image at once, through the
// smallest of them; only an image that has one is looked at column by column.
constexpr std::int32_t totalStrip = 1024;
constexpr std::int32_t rowsAhead = 8;

[[gnu::target("avx2")]] void columnTotalsAvx2(const ColumnTotalArgs& a)
{
    const __m256 lower = _mm256_set1_ps(floatNotAbove(a.lower));
    const __m256 upper = _mm256_set1_ps(floatNotBelow(a.upper));
    const std::int32_t whole = a.columns / 16 * 16;
    std::fill(a.sums, a.sums + whole, 0.0);
    std::fill(a.counts, a.counts + whole, 0);
    __m256 nan = _mm256_setzero_ps();
    __m256 smallest = _mm256_set1_ps(std::numeric_limits<float>::infinity());
    for (std::int32_t first = 0; first < whole; first += totalStrip) {
        const std::int32_t end = std::min(whole, first + totalStrip);
        for (std::int32_t r = 0; r < a.height; ++r) {
            const float* x = a.px + r * a.width;
            const float* ahead = r + rowsAhead < a.height ? x + rowsAhead * a.width : x;
            for (std::int32_t k = first; k < end; k += 8) {
                if ((k & 15) == 0)
                    _mm_prefetch(reinterpret_cast<const char*>(ahead + k), _MM_HINT_T0);
                const __m256 v = _mm256_loadu_ps(x + k);
                const __m256 in =
                    _mm256_and_ps(_mm256_cmp_ps(v, lower, _CMP_GT_OQ), _mm256_cmp_ps(v, upper, _CMP_LT_OQ));
                // The samples that do not qualify add +0, as in the loop.
                const __m256 kept = _mm256_and_ps(v, in);
                double* sum = a.sums + k;
                _mm256_storeu_pd(sum,
                                 _mm256_add_pd(_mm256_loadu_pd(sum), _mm256_cvtps_pd(_mm256_castps256_ps128(kept))));
                _mm256_storeu_pd(sum + 4, _mm256_add_pd(_mm256_loadu_pd(sum + 4),
                                                        _mm256_cvtps_pd(_mm256_extractf128_ps(kept, 1))));
                auto* count = reinterpret_cast<__m256i*>(a.counts + k);
                _mm256_storeu_si256(count, _mm256_sub_epi32(_mm256_loadu_si256(count), _mm256_castps_si256(in)));
                smallest = _mm256_min_ps(smallest, _mm256_blendv_ps(smallest, v, in));
                nan = _mm256_or_ps(nan, _mm256_cmp_ps(v, v, _CMP_UNORD_Q));
            }
        }
    }
    float lanes[8];
    _mm256_storeu_ps(lanes, smallest);
    const bool unordered = _mm256_movemask_ps(nan) != 0;
    if (remainingColumnTotals(a, whole) || unordered)
        failInvalidOperation();
    markSmallSamples(a, whole, *std::min_element(lanes, lanes + 8));
}

void columnTotalsPortable(const ColumnTotalArgs& a)
{
    std::int32_t whole = 0;
    bool unordered = false;
    float least = std::numeric_limits<float>::infinity();
#if defined(__SSE2__)
    const __m128 lower = _mm_set1_ps(floatNotAbove(a.lower));
    const __m128 upper = _mm_set1_ps(floatNotBelow(a.upper));
    whole = a.columns / 16 * 16;
    std::fill(a.sums, a.sums + whole, 0.0);
    std::fill(a.counts, a.counts + whole, 0);
    __m128 nan = _mm_setzero_ps();
    __m128 smallest = _mm_set1_ps(least);
    for (std::int32_t first = 0; first < whole; first += totalStrip) {
        const std::int32_t end = std::min(whole, first + totalStrip);
        for (std::int32_t r = 0; r < a.height; ++r) {
            const float* x = a.px + r * a.width;
            const float* ahead = r + rowsAhead < a.height ? x + rowsAhead * a.width : x;
            for (std::int32_t k = first; k < end; k += 4) {
                if ((k & 15) == 0)
                    _mm_prefetch(reinterpret_cast<const char*>(ahead + k), _MM_HINT_T0);
                const __m128 v = _mm_loadu_ps(x + k);
                const __m128 in = _mm_and_ps(_mm_cmpgt_ps(v, lower), _mm_cmplt_ps(v, upper));
                const __m128 kept = _mm_and_ps(v, in);
                double* sum = a.sums + k;
                _mm_storeu_pd(sum, _mm_add_pd(_mm_loadu_pd(sum), _mm_cvtps_pd(kept)));
                _mm_storeu_pd(sum + 2, _mm_add_pd(_mm_loadu_pd(sum + 2), _mm_cvtps_pd(_mm_movehl_ps(kept, kept))));
                auto* count = reinterpret_cast<__m128i*>(a.counts + k);
                _mm_storeu_si128(count, _mm_sub_epi32(_mm_loadu_si128(count), _mm_castps_si128(in)));
                smallest = _mm_min_ps(smallest, _mm_or_ps(_mm_and_ps(in, v), _mm_andnot_ps(in, smallest)));
                nan = _mm_or_ps(nan, _mm_cmpunord_ps(v, v));
            }
        }
    }
    float lanes[4];
    _mm_storeu_ps(lanes, smallest);
    least = *std::min_element(lanes, lanes + 4);
    unordered = _mm_movemask_ps(nan) != 0;
#endif
    if (remainingColumnTotals(a, whole) || unordered)
        failInvalidOperation();
    markSmallSamples(a, whole, least);
}

} // namespace

long double bandWindowMean(ImageView<const float> image, const BandGeometry& bands, double upper, std::int32_t start)
{
    if (start < 0 || static_cast<std::int64_t>(start) + bands.window > image.width)
        failRange();
    const double lower = bands.lowerBound;
    requireOrdered(upper, lower);
    double sum = 0.0;
    std::int32_t count = 0;
    for (std::int32_t col = start; col < start + bands.window; ++col)
        for (std::int32_t row = 0; row < image.height; ++row) {
            const double x = image.row(row)[col];
            if (std::isnan(x))
                failInvalidOperation();
            if (x > lower && x < upper) {
                sum = addStored(sum, x);
                ++count;
            }
        }
    return toDouble(divide(sum, count));
}

namespace {

/// Adds the amplitude to one run of `count` samples, each in double and rounded back to
/// single as the plain loop does; true when a finite sample became infinite.
bool addToRunPortable(float* px, std::int64_t count, double amplitude)
{
    bool overflow = false;
    for (std::int64_t i = 0; i < count; ++i) {
        const float v = px[i];
        const float x = static_cast<float>(static_cast<double>(v) + amplitude);
        overflow |= std::isinf(x) && !std::isinf(v);
        px[i] = x;
    }
    return overflow;
}

// Eight samples at a time: widened to double in two halves, added, rounded back to
// single, which is what the plain loop does to each one.
[[gnu::target("avx2")]] bool addToRunAvx2(float* px, std::int64_t count, double amplitude)
{
    const __m256d a = _mm256_set1_pd(amplitude);
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    const __m256 infinity = _mm256_set1_ps(std::numeric_limits<float>::infinity());
    int grown = 0;
    std::int64_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 v = _mm256_loadu_ps(px + i);
        const __m128 low = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(v)), a));
        const __m128 high = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)), a));
        const __m256 x = _mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1);
        const __m256 wasInfinite = _mm256_cmp_ps(_mm256_and_ps(v, magnitude), infinity, _CMP_EQ_OQ);
        const __m256 isInfinite = _mm256_cmp_ps(_mm256_and_ps(x, magnitude), infinity, _CMP_EQ_OQ);
        grown |= _mm256_movemask_ps(_mm256_andnot_ps(wasInfinite, isInfinite));
        _mm256_storeu_ps(px + i, x);
    }
    return addToRunPortable(px + i, count - i, amplitude) || grown != 0;
}

} // namespace

void addToOffsetBands(ImageView<float> image, const BandGeometry& bands, std::int32_t phase, double amplitude,
                      WindowSumBuild build)
{
    const bool avx2 = resolved(build) == WindowSumBuild::avx2;
    const std::int32_t width = image.width;
    const std::int32_t p = normalisedPhase(phase, bands.period);
    bool overflow = false;
    for (std::int32_t row = 0; row < image.height; ++row) {
        float* px = image.row(row);
        for (std::int64_t b = p; b <= width; b += bands.period) {
            if (b < bands.window)
                continue;
            float* run = px + (b - bands.window);
            overflow |= avx2 ? addToRunAvx2(run, bands.window, amplitude)
                             : addToRunPortable(run, bands.window, amplitude);
        }
    }
    if (overflow)
        throw Failure(messages::overflow);
}

bool avx2Available()
{
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

ColumnTotals columnTotals(ImageView<const float> image, std::int32_t columns, double lower, double upper, double tiny,
                          WindowSumBuild build)
{
    if (columns < 0 || columns > image.width)
        failRange();
    const auto n = static_cast<std::size_t>(columns);
    ColumnTotals t{std::vector<double>(n), std::vector<std::int32_t>(n), std::vector<unsigned char>(n)};
    const ColumnTotalArgs args{image.pixels.data(), image.width, image.height, columns, lower, upper, tiny,
                               t.sums.data(), t.counts.data(), t.tiny.data()};
    if (resolved(build) == WindowSumBuild::avx2)
        columnTotalsAvx2(args);
    else
        columnTotalsPortable(args);
    return t;
}


} // namespace kestrel
