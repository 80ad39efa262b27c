// The straightforward routines that the fast code replaced, kept as the tests' twins:
// the pixel accessors that address one sample by column and row, and the two partition
// sorts of the background estimate. Each reports its failures in a box, as the window
// always has.
#pragma once

#include "core/arith.h"
#include "core/report.h"
#include "fits/workspace.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::testing {

namespace detail {

inline bool pixelIndex(const Workspace& ws, std::int32_t col, std::int32_t row, std::size_t size, std::size_t& index)
{
    const std::int64_t i = static_cast<std::int64_t>(col) + static_cast<std::int64_t>(row) * ws.image.imageWidth;
    if (i < 0 || static_cast<std::uint64_t>(i) >= size)
        return false;
    index = static_cast<std::size_t>(i);
    return true;
}

// The sort recurses into the smaller part and loops over the larger one, so the stack
// stays shallow even on adversarial orders.
template <typename T>
inline void partitionSort(std::vector<T>& values, std::int32_t iLo, std::int32_t iHi)
{
    // The pivot is read before anything else, so an empty range of an empty array
    // (0 to -1) is a range failure; another empty range has nothing to sort.
    const std::int64_t middle = (static_cast<std::int64_t>(iLo) + iHi) / 2;
    if (middle < 0 || static_cast<std::uint64_t>(middle) >= values.size())
        failRange();
    if (iLo > iHi)
        return;
    if (iLo < 0 || static_cast<std::size_t>(iHi) >= values.size())
        failRange();
    while (iLo < iHi) {
        std::int32_t lo = iLo;
        std::int32_t hi = iHi;
        const double pivot = static_cast<double>(values[static_cast<std::size_t>((iLo + iHi) / 2)]);
        requireOrdered(pivot, 0);
        do {
            while (static_cast<double>(values[static_cast<std::size_t>(lo)]) < pivot)
                ++lo;
            while (static_cast<double>(values[static_cast<std::size_t>(hi)]) > pivot)
                --hi;
            if (lo <= hi) {
                std::swap(values[static_cast<std::size_t>(lo)], values[static_cast<std::size_t>(hi)]);
                ++lo;
                --hi;
            }
        } while (lo <= hi);
        // Sort the smaller side by recursion, the larger one in this loop.
        if (hi - iLo < iHi - lo) {
            if (hi > iLo)
                partitionSort(values, iLo, hi);
            iLo = lo;
        } else {
            if (lo < iHi)
                partitionSort(values, lo, iHi);
            iHi = hi;
        }
    }
}


} // namespace detail

/// Sample at `col + row * imageWidth`; an index outside the buffer shows the range
/// error box and gives 0.
inline std::uint16_t getPixelValueInt16(Workspace& ws, std::int32_t col, std::int32_t row)
{
    std::size_t i = 0;
    if (detail::pixelIndex(ws, col, row, ws.image.int16Pixels.size(), i))
        return ws.image.int16Pixels[i];
    ws.host.errorBox(std::string(messages::rangeError) + inFunction("getPixelValueInt16"));
    return 0;
}

inline double getPixelValueFloat(Workspace& ws, std::int32_t col, std::int32_t row)
{
    std::size_t i = 0;
    if (detail::pixelIndex(ws, col, row, ws.image.floatPixels.size(), i))
        return ws.image.floatPixels[i];
    ws.host.errorBox(std::string(messages::rangeError) + inFunction("getPixelValueFloat"));
    return 0;
}

/// Shows the column and the row of a sample out of range before the range error box.
inline void setPixelValueFloat(Workspace& ws, std::int32_t col, std::int32_t row, float value)
{
    std::size_t i = 0;
    if (detail::pixelIndex(ws, col, row, ws.image.floatPixels.size(), i)) {
        ws.image.floatPixels[i] = value;
        return;
    }
    ws.host.plainBox(std::to_string(col));
    ws.host.plainBox(std::to_string(row));
    ws.host.errorBox(std::string(messages::rangeError) + inFunction("getPixelValueFloat"));
}

/// Ascending in-place sort of values[iLo..iHi] (inclusive); reports a failure in an
/// error box "... in procedure QuickSort16." and returns with the range partly sorted.
inline void QuickSort16(Workspace& ws, std::vector<std::uint16_t>& values, std::int32_t iLo, std::int32_t iHi)
{
    reportFailures(ws.host, inProcedure("QuickSort16"), [&] { detail::partitionSort(values, iLo, iHi); });
}

/// As QuickSort16 for doubles ("... in procedure QuickSort.").
inline void QuickSort(Workspace& ws, std::vector<double>& values, std::int32_t iLo, std::int32_t iHi)
{
    reportFailures(ws.host, inProcedure("QuickSort"), [&] { detail::partitionSort(values, iLo, iHi); });
}

} // namespace kestrel::testing
