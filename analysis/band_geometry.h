// The band pattern of one binning: everything that differs between unbinned and
// 2x2-binned images is data here, so one piece of code serves both.
#pragma once

#include "fits/image.h"

#include <cstdint>

namespace kestrel {

/// The pattern repeats every `period` columns; each half of a period is one band. The
/// reference band starts at the phase, the offset band is the half period before it.
struct BandGeometry {
    std::int32_t period;  // 32 unbinned, 16 when 2x2-binned
    std::int32_t window;  // columns of one band: half a period
    double lowerBound;    // a sample must exceed it to enter a band mean
    // The band pairs that make the amplitude: period indices firstPair up to
    // bandCount - lastPairMargin, where bandCount = width / bandCountDivisor - bandCountOffset.
    std::int32_t bandCountDivisor;
    std::int32_t bandCountOffset;
    std::int32_t firstPair;
    std::int32_t lastPairMargin;
};

// The unbinned amplitude leaves the first and the last 20 periods out; the binned one
// uses every period from the first, less the last three.
inline constexpr BandGeometry unbinnedBands{32, 16, 0.0, 32, 0, 20, 20};
inline constexpr BandGeometry binned2x2Bands{16, 8, 5.0, 16, 3, 0, 1};

inline const BandGeometry& bandGeometry(Binning binning)
{
    return binning == Binning::unbinned ? unbinnedBands : binned2x2Bands;
}

/// `phase` brought into 1..period; values outside select the same band positions.
inline std::int32_t normalisedPhase(std::int32_t phase, std::int32_t period)
{
    const std::int64_t p = ((static_cast<std::int64_t>(phase) - 1) % period + period) % period + 1;
    return static_cast<std::int32_t>(p);
}

} // namespace kestrel
