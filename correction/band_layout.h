// The band geometry of one binning: everything that differs between unbinned and
// 2x2-binned images is data here, so one implementation serves both.
#pragma once

#include "fits/workspace.h"

#include <cstdint>

namespace kestrel {

struct BandLayout {
    std::int32_t period;      // columns per band period
    std::int32_t window;      // columns per band (half a period)
    double lowerBound;        // a sample must exceed it to enter a mean
    const char* routine;      // name in failure reports
    // Band pairs counted: period indices firstPair .. bandCount - lastPairMargin.
    std::int32_t bandCountDivisor;
    std::int32_t bandCountOffset;
    std::int32_t firstPair;
    std::int32_t lastPairMargin;
};

inline constexpr BandLayout unbinnedLayout{32, 16, 0.0, "fixFloat32Columns", 32, 0, 20, 20};
inline constexpr BandLayout binned2x2Layout{16, 8, 5.0, "fixFloat32Columns2x2", 16, 3, 0, 1};

/// `phase` brought into 1..period; values outside select the same band positions.
inline std::int32_t normalisedPhase(std::int32_t phase, std::int32_t period)
{
    const std::int64_t p = ((static_cast<std::int64_t>(phase) - 1) % period + period) % period + 1;
    return static_cast<std::int32_t>(p);
}

/// Fills columnMeans (imageWidth - window entries) with the means of the samples
/// above the layout's lower bound and below backgroundFlux of every band window.
void fillColumnMeans(Workspace& ws, const BandLayout& layout);

} // namespace kestrel
