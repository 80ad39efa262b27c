// The two partition sorts. They recurse into the smaller part and loop over the
// larger one, so the stack stays shallow even on adversarial orders.
#include "analysis/analysis.h"

#include "core/arith.h"
#include "core/report.h"

namespace kestrel {

namespace {

template <typename T>
void partitionSort(std::vector<T>& values, std::int32_t iLo, std::int32_t iHi)
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

} // namespace

void QuickSort16(Workspace& ws, std::vector<std::uint16_t>& values, std::int32_t iLo, std::int32_t iHi)
{
    reportFailures(ws.host, inProcedure("QuickSort16"), [&] { partitionSort(values, iLo, iHi); });
}

void QuickSort(Workspace& ws, std::vector<double>& values, std::int32_t iLo, std::int32_t iHi)
{
    reportFailures(ws.host, inProcedure("QuickSort"), [&] { partitionSort(values, iLo, iHi); });
}

} // namespace kestrel
