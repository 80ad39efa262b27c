// The background level: the mean of a dark slice of the sorted samples. Only the
// averaged slice has to be in sorted order (the sum is accumulated in that order), so
// 16-bit images use a counting histogram and float images a selection on a 4-byte
// copy followed by a sort of the slice alone, when its order can matter at all.
#include "analysis/analysis.h"

#include "core/arith.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace kestrel {

namespace {

/// Sample count of the current image, checked against the buffer that holds it.
std::int32_t sampleTotal(const Workspace& ws, std::size_t bufferSize)
{
    const std::int64_t n = static_cast<std::int64_t>(ws.imageWidth) * ws.imageHeight;
    if (ws.imageWidth < 0 || ws.imageHeight < 0 || n > std::numeric_limits<std::int32_t>::max() ||
        static_cast<std::uint64_t>(n) > bufferSize)
        failRange();
    return static_cast<std::int32_t>(n);
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

double background16(Workspace& ws)
{
    const std::int32_t n = sampleTotal(ws, ws.int16Pixels.size());
    ws.backgroundSamples16.clear();
    if (n == 0)
        failInvalidOperation();
    std::vector<std::uint32_t> histogram(65536, 0);
    const std::uint16_t* px = ws.int16Pixels.data();
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
    ws.sampleIndex = count;
    return toDouble(divide(static_cast<Extended>(sum), count));
}

double backgroundFloat(Workspace& ws)
{
    const std::int32_t n = sampleTotal(ws, ws.floatPixels.size());
    ws.backgroundSamplesFloat.clear();
    std::vector<float> kept;
    kept.reserve(static_cast<std::size_t>(n));
    const float* px = ws.floatPixels.data();
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
        failInvalidOperation();
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
    ws.sampleIndex = averaged;
    return toDouble(divide(sum, averaged));
}

} // namespace

double getBackgroundFlux(Workspace& ws, SampleType type)
{
    double result = 0;
    try {
        result = type == SampleType::int16 ? background16(ws) : backgroundFloat(ws);
    } catch (const std::exception& e) {
        result = 0;
        ws.host.errorBox(failureMessage(e) + inFunction("getBackgroundFlux"));
    }
    ws.host.pumpMessages();
    return result;
}

} // namespace kestrel
