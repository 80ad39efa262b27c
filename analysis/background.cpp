// The background level: the mean of a dark slice of the sorted samples. Only the
// averaged slice has to be in sorted order (the sum is accumulated in that order), so
// 16-bit images use a counting histogram, and float images a count of their bit
// patterns, or, when the slice spreads over very many values, a selection on a 4-byte
// copy followed by a sort of the slice alone, when its order can matter at all.
#include "analysis/analysis.h"

#include "core/arith.h"

#include <algorithm>
#include <bit>
#include <array>
#include <cmath>

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

BackgroundLevel backgroundFloat(std::span<const float> samples)
{
    const std::int32_t n = sampleTotal(samples.size());
    const auto* bits = reinterpret_cast<const std::uint32_t*>(samples.data());

    std::vector<std::uint32_t> buckets(1u << 16, 0);
    for (std::int32_t i = 0; i < n; ++i)
        ++buckets[bits[i] >> 16];

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
BackgroundLevel backgroundLevel(std::span<const float> samples) { return backgroundFloat(samples); }

double getBackgroundFlux(Workspace& ws, SampleType type)
{
    double result = 0;
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
