// The background level: the mean of a dark slice of the sorted samples. Only the
// averaged slice has to be in sorted order (the sum is accumulated in that order), so
// 16-bit images use a counting histogram, and float images a count of their bit
// patterns, or, when the slice spreads over very many values, a selection on a 4-byte
// copy followed by a sort of the slice alone, when its order can matter at all.
#include "analysis/background.h"

#include "core/arith.h"

#include <algorithm>
#include <optional>
#include <bit>
#include <array>
#include <cmath>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kestrel {

namespace {

/// The sample count as the 32-bit count the positions are computed from.
std::int32_t sampleTotal(std::size_t size)
{
    if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        failRange();
    return static_cast<std::int32_t>(size);
}

struct Slice {
    std::int32_t lower;
    std::int32_t upper;
};

Slice averagedSlice(std::int32_t count, Extended upperFraction)
{
    const Extended last = static_cast<Extended>(count) - 1;
    return {static_cast<std::int32_t>(roundHalfEven(0.002L * last)),
            static_cast<std::int32_t>(roundHalfEven(upperFraction * last))};
}

BackgroundLevel background16(std::span<const std::uint16_t> samples)
{
    const std::int32_t n = sampleTotal(samples.size());
    if (n == 0)
        throw NoBackgroundSamples();
    std::vector<std::uint32_t> histogram(65536, 0);
    const std::uint16_t* px = samples.data();
    for (std::int32_t i = 0; i < n; ++i)
        ++histogram[px[i]];
    const Slice s = averagedSlice(n, 0.01L);
    // Walk the histogram: samples at sorted positions lower..upper.
    std::uint64_t sum = 0;
    std::int64_t position = 0;
    for (std::size_t v = 0; v < histogram.size() && position <= s.upper; ++v) {
        const std::int64_t first = position;
        const std::int64_t end = position + histogram[v]; // one past the last of value v
        position = end;
        const std::int64_t from = std::max<std::int64_t>(first, s.lower);
        const std::int64_t to = std::min<std::int64_t>(end, static_cast<std::int64_t>(s.upper) + 1);
        if (to > from)
            sum += static_cast<std::uint64_t>(to - from) * v;
    }
    const std::int32_t count = s.upper - s.lower + 1;
    return {toDouble(divide(static_cast<Extended>(sum), count)), count};
}

// The slice selected from a 4-byte copy of the kept samples and, when the order of
// its additions can matter, sorted. For slices that spread over many values.
BackgroundLevel selectedSliceBackground(std::span<const float> samples)
{
    const std::int32_t n = sampleTotal(samples.size());
    std::vector<float> kept;
    kept.reserve(static_cast<std::size_t>(n));
    const float* px = samples.data();
    bool unordered = false;
    for (std::int32_t i = 0; i < n; ++i) {
        const float v = px[i];
        unordered |= std::isnan(v);
        if (v >= 0.0f)
            kept.push_back(v);
    }
    if (unordered)
        failInvalidOperation();
    const std::int32_t count = static_cast<std::int32_t>(kept.size());
    if (count == 0)
        throw NoBackgroundSamples();
    const Slice s = averagedSlice(count, 0.1L);
    auto first = kept.begin() + s.lower;
    auto last = kept.begin() + s.upper;
    std::nth_element(kept.begin(), last, kept.end());
    std::nth_element(kept.begin(), first, last);
    // When every partial sum of the slice is exact in a double, the order of the
    // additions cannot matter and the slice need not be sorted.
    float smallest = std::numeric_limits<float>::infinity();
    for (auto it = first; it <= last; ++it)
        if (*it > 0.0f && *it < smallest)
            smallest = *it;
    const std::int32_t averaged = s.upper - s.lower + 1;
    double sum = 0.0;
    const bool exact = !std::isfinite(smallest) ||
                       static_cast<double>(averaged) * *last <
                           std::ldexp(1.0, std::max(std::ilogb(smallest) - 23, -149) + 53);
    if (exact) {
        for (auto it = first; it <= last; ++it)
            sum += *it;
    } else {
        std::sort(first, last);
        for (auto it = first; it <= last; ++it)
            sum = addStored(sum, *it);
    }
    return {toDouble(divide(sum, averaged)), averaged};
}

// Non-negative floats order as their bit patterns, so the slice is found by counting:
// a histogram of the upper 16 bits of every pattern ("buckets") gives the ranks where
// each bucket starts, and a second pass counts every pattern of the buckets from the
// slice's first sample to its last. That gives the slice in ascending order, as a sort
// of all samples would, without moving a sample.
constexpr std::uint32_t signBit = 0x80000000u;
constexpr std::uint32_t infinityBits = 0x7F800000u;
constexpr std::uint32_t infinityBucket = infinityBits >> 16;
// The second count takes 256 KB per bucket; a slice over more buckets than this is
// spread so widely that selecting it costs less.
constexpr std::uint32_t maxCountedBuckets = 64;

/// How many patterns fall in each bucket. Neighbouring samples of a sky often share a
/// bucket, and counting them into one table would make each addition wait for the one
/// before; four tables, taken in turn and added up after, let them overlap.
std::vector<std::uint32_t> bucketCounts(const std::uint32_t* bits, std::int32_t n)
{
    constexpr std::size_t tables = 4;
    std::vector<std::uint32_t> counts(tables << 16, 0);
    std::uint32_t* t = counts.data();
    std::int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++t[bits[i] >> 16];
        ++t[(1u << 16) + (bits[i + 1] >> 16)];
        ++t[(2u << 16) + (bits[i + 2] >> 16)];
        ++t[(3u << 16) + (bits[i + 3] >> 16)];
    }
    for (; i < n; ++i)
        ++t[bits[i] >> 16];
    for (std::size_t b = 0; b < (1u << 16); ++b)
        t[b] += t[b + (1u << 16)] + t[b + (2u << 16)] + t[b + (3u << 16)];
    counts.resize(1u << 16);
    return counts;
}

/// The samples of the slice's first and last buckets counted pattern by pattern, and the
/// sum of the samples of the buckets between them, which all lie inside the slice. The
/// sum is formed in any order: it is used only where every partial sum is exact.
struct BoundaryCounts {
    std::vector<std::uint32_t> first; // by the lower 16 bits of the pattern
    std::vector<std::uint32_t> last;  // empty when the slice lies in one bucket
    double middle = 0;
};

/// One sample outside the vector lanes: counted when it is in a boundary bucket, added
/// when it lies between them.
inline void boundarySample(std::uint32_t u, std::uint32_t first, std::uint32_t last, std::uint32_t* countsFirst,
                           std::uint32_t* countsLast, double& middle)
{
    const std::uint32_t b = u >> 16;
    if (b == first)
        ++countsFirst[u & 0xFFFF];
    else if (b == last)
        ++countsLast[u & 0xFFFF];
    else if (b > first && b < last)
        middle += std::bit_cast<float>(u);
}

#if defined(__x86_64__)
// Eight samples at a time: the middle samples are added in four double lanes each, the
// rare samples of the boundary buckets are counted one by one.
[[gnu::target("avx2")]] void boundaryCountsAvx2(const std::uint32_t* bits, std::int32_t n, std::uint32_t first,
                                                std::uint32_t last, std::uint32_t* countsFirst,
                                                std::uint32_t* countsLast, double& middle)
{
    const __m256i f = _mm256_set1_epi32(static_cast<int>(first));
    const __m256i l = _mm256_set1_epi32(static_cast<int>(last));
    __m256d low = _mm256_setzero_pd(), high = _mm256_setzero_pd();
    std::int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bits + i));
        const __m256i b = _mm256_srli_epi32(u, 16);
        const __m256i edge = _mm256_or_si256(_mm256_cmpeq_epi32(b, f), _mm256_cmpeq_epi32(b, l));
        const __m256i between = _mm256_and_si256(_mm256_cmpgt_epi32(b, f), _mm256_cmpgt_epi32(l, b));
        const __m256 v = _mm256_castsi256_ps(_mm256_and_si256(u, between));
        low = _mm256_add_pd(low, _mm256_cvtps_pd(_mm256_castps256_ps128(v)));
        high = _mm256_add_pd(high, _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)));
        for (unsigned m = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(edge))); m != 0; m &= m - 1) {
            const std::uint32_t x = bits[i + __builtin_ctz(m)];
            ++((x >> 16) == first ? countsFirst : countsLast)[x & 0xFFFF];
        }
    }
    double lanes[8];
    _mm256_storeu_pd(lanes, low);
    _mm256_storeu_pd(lanes + 4, high);
    for (double x : lanes)
        middle += x;
    for (; i < n; ++i)
        boundarySample(bits[i], first, last, countsFirst, countsLast, middle);
}
#endif

void boundaryCountsPortable(const std::uint32_t* bits, std::int32_t n, std::uint32_t first, std::uint32_t last,
                            std::uint32_t* countsFirst, std::uint32_t* countsLast, double& middle)
{
    std::int32_t i = 0;
#if defined(__SSE2__)
    const __m128i f = _mm_set1_epi32(static_cast<int>(first));
    const __m128i l = _mm_set1_epi32(static_cast<int>(last));
    __m128d low = _mm_setzero_pd(), high = _mm_setzero_pd();
    for (; i + 4 <= n; i += 4) {
        const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bits + i));
        const __m128i b = _mm_srli_epi32(u, 16);
        const __m128i edge = _mm_or_si128(_mm_cmpeq_epi32(b, f), _mm_cmpeq_epi32(b, l));
        const __m128i between = _mm_and_si128(_mm_cmpgt_epi32(b, f), _mm_cmpgt_epi32(l, b));
        const __m128 v = _mm_castsi128_ps(_mm_and_si128(u, between));
        low = _mm_add_pd(low, _mm_cvtps_pd(v));
        high = _mm_add_pd(high, _mm_cvtps_pd(_mm_movehl_ps(v, v)));
        for (unsigned m = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(edge))); m != 0; m &= m - 1) {
            const std::uint32_t x = bits[i + __builtin_ctz(m)];
            ++((x >> 16) == first ? countsFirst : countsLast)[x & 0xFFFF];
        }
    }
    double lanes[4];
    _mm_storeu_pd(lanes, low);
    _mm_storeu_pd(lanes + 2, high);
    for (double x : lanes)
        middle += x;
#endif
    for (; i < n; ++i)
        boundarySample(bits[i], first, last, countsFirst, countsLast, middle);
}

/// The sum of count x value over the patterns of one boundary bucket whose sorted
/// positions (the bucket's first at `start`) fall in the slice, and the smallest
/// positive value among them (infinity when none).
struct BucketPart {
    double sum = 0;
    float smallest = std::numeric_limits<float>::infinity();
};

BucketPart bucketPart(const std::vector<std::uint32_t>& counts, std::uint32_t bucket, std::int64_t start, Slice s)
{
    BucketPart part;
    std::int64_t position = start;
    for (std::uint32_t d = 0; d < counts.size() && position <= s.upper; ++d) {
        const std::int64_t end = position + counts[d];
        const std::int64_t from = std::max<std::int64_t>(position, s.lower);
        const std::int64_t to = std::min<std::int64_t>(end, static_cast<std::int64_t>(s.upper) + 1);
        if (to > from) {
            const float v = std::bit_cast<float>((bucket << 16) + d);
            part.sum += static_cast<double>(to - from) * v;
            if (v > 0.0f && v < part.smallest)
                part.smallest = v;
        }
        position = end;
    }
    return part;
}

/// The level from the boundary buckets' patterns and the middle buckets' sum, when the
/// order of the additions cannot matter: every sample of the slice is then a whole
/// multiple of the smallest one's last mantissa bit, and the whole sum stays below 2^53
/// of those units, so every partial sum, in any order, is exact. Otherwise nothing.
std::optional<BackgroundLevel> boundaryCounted(const std::uint32_t* bits, std::int32_t n,
                                               const std::vector<std::uint32_t>& buckets, Slice s, std::uint32_t first,
                                               std::uint32_t last, std::int64_t firstStart, std::int64_t negativeZeros,
                                               BackgroundBuild build)
{
    if (last >= infinityBucket)
        return std::nullopt;
    BoundaryCounts c;
    c.first.assign(1u << 16, 0);
    if (last != first)
        c.last.assign(1u << 16, 0);
    // With one bucket, every boundary sample is the first bucket's.
    std::uint32_t* countsLast = last != first ? c.last.data() : c.first.data();
#if defined(__x86_64__)
    if (build == BackgroundBuild::chosen)
        build = __builtin_cpu_supports("avx2") ? BackgroundBuild::avx2 : BackgroundBuild::portable;
    if (build == BackgroundBuild::avx2)
        boundaryCountsAvx2(bits, n, first, last, c.first.data(), countsLast, c.middle);
    else
#endif
        boundaryCountsPortable(bits, n, first, last, c.first.data(), countsLast, c.middle);
    if (first == 0)
        c.first[0] += static_cast<std::uint32_t>(negativeZeros);

    const BucketPart low = bucketPart(c.first, first, firstStart, s);
    BucketPart high;
    float smallest = low.smallest;
    if (last != first) {
        std::int64_t lastStart = firstStart;
        for (std::uint32_t b = first; b < last; ++b)
            lastStart += buckets[b];
        high = bucketPart(c.last, last, lastStart, s);
        // The smallest positive sample of a middle bucket is at least the bucket's first pattern.
        for (std::uint32_t b = first + 1; b <= last && !std::isfinite(smallest); ++b)
            if (buckets[b] != 0)
                smallest = std::bit_cast<float>(b << 16);
    }
    const std::int32_t averaged = s.upper - s.lower + 1;
    // An upper bound of the whole sum: every sample is below the next bucket's first pattern.
    const double bound = static_cast<double>(averaged) * std::bit_cast<float>((last + 1) << 16);
    if (std::isfinite(smallest) &&
        !(bound < std::ldexp(1.0, std::max(std::ilogb(smallest) - 23, -149) + 53)))
        return std::nullopt;
    const double sum = low.sum + c.middle + high.sum;
    return BackgroundLevel{toDouble(divide(sum, averaged)), averaged};
}

BackgroundLevel backgroundFloat(std::span<const float> samples, BackgroundBuild build)
{
    const std::int32_t n = sampleTotal(samples.size());
    const auto* bits = reinterpret_cast<const std::uint32_t*>(samples.data());

    std::vector<std::uint32_t> buckets = bucketCounts(bits, n);

    // NaN patterns fill the buckets above infinity's, of either sign; infinity's own
    // buckets and negative zero's are shared with other patterns and looked at closely
    // only when something is in them.
    bool unordered = false;
    for (std::uint32_t b = infinityBucket + 1; b < (1u << 15); ++b)
        unordered |= buckets[b] != 0 || buckets[b | (signBit >> 16)] != 0;
    std::int64_t negativeZeros = 0;
    if (buckets[infinityBucket] || buckets[(infinityBits | signBit) >> 16] || buckets[signBit >> 16]) {
        for (std::int32_t i = 0; i < n; ++i) {
            unordered |= (bits[i] & ~signBit) > infinityBits;
            negativeZeros += bits[i] == signBit;
        }
    }
    if (unordered)
        failInvalidOperation();
    // Negative zero is kept and sorts as zero.
    buckets[0] += static_cast<std::uint32_t>(negativeZeros);
    std::int64_t kept = 0;
    for (std::uint32_t b = 0; b <= infinityBucket; ++b)
        kept += buckets[b];
    const std::int32_t count = static_cast<std::int32_t>(kept);
    if (count == 0)
        throw NoBackgroundSamples();
    const Slice s = averagedSlice(count, 0.1L);

    std::uint32_t first = 0, last = 0;
    std::int64_t firstStart = 0;
    {
        std::int64_t position = 0;
        bool found = false;
        for (std::uint32_t b = 0; b <= infinityBucket; ++b) {
            const std::int64_t end = position + buckets[b];
            if (!found && s.lower < end) {
                first = b;
                firstStart = position;
                found = true;
            }
            if (s.upper < end) {
                last = b;
                break;
            }
            position = end;
        }
    }
    if (const auto level = boundaryCounted(bits, n, buckets, s, first, last, firstStart, negativeZeros, build))
        return *level;
    if (last - first + 1 > maxCountedBuckets)
        return selectedSliceBackground(samples);

    // Every pattern of the buckets first..last. The patterns outside go to a few spare
    // counters in turn, so that they do not queue on one.
    const std::uint32_t base = first << 16;
    const std::uint32_t range = (last - first + 1) << 16;
    constexpr std::uint32_t spares = 16;
    std::vector<std::uint32_t> counts(range + spares, 0);
    for (std::int32_t i = 0; i < n; ++i) {
        const std::uint32_t d = bits[i] - base;
        ++counts[d < range ? d : range + (static_cast<std::uint32_t>(i) & (spares - 1))];
    }
    if (first == 0)
        counts[0] += static_cast<std::uint32_t>(negativeZeros);

    double sum = 0.0;
    std::int64_t position = firstStart;
    for (std::uint32_t d = 0; d < range && position <= s.upper; ++d) {
        const std::int64_t end = position + counts[d];
        const std::int64_t from = std::max<std::int64_t>(position, s.lower);
        const std::int64_t to = std::min<std::int64_t>(end, static_cast<std::int64_t>(s.upper) + 1);
        const float v = std::bit_cast<float>(base + d);
        for (std::int64_t k = from; k < to; ++k)
            sum = addStored(sum, v);
        position = end;
    }
    const std::int32_t averaged = s.upper - s.lower + 1;
    return {toDouble(divide(sum, averaged)), averaged};
}

} // namespace

BackgroundLevel backgroundLevel(std::span<const std::uint16_t> samples) { return background16(samples); }
BackgroundLevel backgroundLevel(std::span<const float> samples)
{
    return backgroundFloat(samples, BackgroundBuild::chosen);
}
BackgroundLevel backgroundLevel(std::span<const float> samples, BackgroundBuild build)
{
    return backgroundFloat(samples, build);
}

double getBackgroundFlux(Workspace& ws, SampleType type) { return measuredBackgroundFlux(ws, type).value_or(0); }

std::optional<double> measuredBackgroundFlux(Workspace& ws, SampleType type)
{
    std::optional<double> result;
    const char* sort = type == SampleType::int16 ? "QuickSort16" : "QuickSort";
    try {
        const BackgroundLevel b = type == SampleType::int16 ? backgroundLevel(ws.image.int16Image().pixels)
                                                            : backgroundLevel(ws.image.floatImage().pixels);
        result = b.level;
    } catch (const NoBackgroundSamples& e) {
        // Sorting nothing reads a pivot that is not there, and then so does the sum.
        ws.host.errorBox(e.message() + inProcedure(sort));
        ws.host.errorBox(e.message() + inFunction("getBackgroundFlux"));
    } catch (const std::exception& e) {
        ws.host.errorBox(failureMessage(e) + inFunction("getBackgroundFlux"));
    }
    return result;
}

} // namespace kestrel
