// The band phase finder. Window sums and counts are exact integers, so they are built
// from per-column sums and counts of in-range samples, gathered in one pass over the
// rows; the window means and their accumulation per phase keep the block order.
#include "analysis/analysis.h"

#include "core/arith.h"
#include "core/numbers.h"
#include "settings/settings.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace kestrel {

namespace {

struct PhaseSearch {
    std::int32_t period;
    Extended upperFactor;
    std::string WindowModel::*field;
    const char* key;
};

constexpr std::int32_t blockCount = 101;

PhaseSearch searchFor(Binning binning)
{
    if (binning == Binning::unbinned)
        return {32, 1.333L, &WindowModel::edit1, "1x1phase"};
    return {16, 1.33L, &WindowModel::edit2, "2x2phase"};
}

/// The phase scores; sets backgroundFlux to the upper limit first.
std::vector<long double> phaseScores(Workspace& ws, const PhaseSearch& search)
{
    const std::int32_t period = search.period;
    const std::int32_t half = period / 2;
    ws.columnMeans.assign(static_cast<std::size_t>(period), 0.0L);
    const double lowerLimit = toDouble(0.75L * ws.backgroundFlux);
    const double upperLimit = toDouble(search.upperFactor * ws.backgroundFlux);
    ws.backgroundFlux = upperLimit;

    const std::int32_t columns = (blockCount - 1) * period + period + half - 1;
    const std::int64_t total = static_cast<std::int64_t>(ws.imageWidth) * ws.imageHeight;
    if (ws.imageWidth < columns || ws.imageHeight < 0 || static_cast<std::uint64_t>(total) > ws.int16Pixels.size())
        failRange();

    // In-range samples as whole numbers: v > lower and v < upper.
    requireOrdered(lowerLimit, upperLimit);
    const double lowFloor = std::floor(lowerLimit) + 1;
    const double highCeil = std::ceil(upperLimit) - 1;
    const std::int32_t first = static_cast<std::int32_t>(std::clamp(lowFloor, 0.0, 65536.0));
    const std::int32_t last = static_cast<std::int32_t>(std::clamp(highCeil, -1.0, 65535.0));
    std::vector<std::uint64_t> columnSum(static_cast<std::size_t>(columns), 0);
    std::vector<std::uint32_t> columnCount(static_cast<std::size_t>(columns), 0);
    if (first <= last) {
        const std::uint32_t span = static_cast<std::uint32_t>(last - first);
        for (std::int32_t row = 0; row < ws.imageHeight; ++row) {
            const std::uint16_t* px = ws.int16Pixels.data() + static_cast<std::size_t>(row) * ws.imageWidth;
            for (std::int32_t col = 0; col < columns; ++col) {
                const std::uint32_t v = px[col];
                const std::uint32_t in = (v - static_cast<std::uint32_t>(first)) <= span ? 1u : 0u;
                columnSum[static_cast<std::size_t>(col)] += v * in;
                columnCount[static_cast<std::size_t>(col)] += in;
            }
            if ((row & 255) == 255)
                ws.host.pumpMessages();
        }
    }

    for (std::int32_t block = 0; block < blockCount; ++block) {
        for (std::int32_t p = 0; p < period; ++p) {
            std::int64_t sum = 0;
            std::int64_t count = 0;
            for (std::int32_t c = block * period + p; c < block * period + p + half; ++c) {
                sum += static_cast<std::int64_t>(columnSum[static_cast<std::size_t>(c)]);
                count += columnCount[static_cast<std::size_t>(c)];
            }
            if (count > std::numeric_limits<std::int32_t>::max())
                failRange();
            ws.sampleCount = static_cast<std::int32_t>(count);
            ws.sampleMean = toDouble(divide(static_cast<Extended>(sum), static_cast<Extended>(count)));
            ws.columnMeans[static_cast<std::size_t>(p)] += ws.sampleMean;
        }
        ws.host.pumpMessages();
    }
    return ws.columnMeans;
}

std::int32_t bestPhase(const std::vector<long double>& scores)
{
    double maximum = 0.0;
    std::int32_t best = 0;
    for (std::size_t p = 0; p < scores.size(); ++p) {
        requireOrdered(scores[p], maximum);
        if (scores[p] > maximum) {
            maximum = toDouble(scores[p]);
            best = static_cast<std::int32_t>(p);
        }
    }
    return best;
}

} // namespace

void findPhase16(Workspace& ws, Binning binning)
{
    try {
        const PhaseSearch search = searchFor(binning);
        const std::int32_t best = bestPhase(phaseScores(ws, search));
        const std::string text = "The Phase = " + std::to_string(best) + "\n" + "Update the congfiguration (.ini) file?";
        if (ws.host.confirm(text, true)) {
            std::string& field = ws.window.*search.field;
            field = std::to_string(best);
            writeProfileString(ws.programFolder / settingsFileName, settingsSection, search.key,
                               std::string(trimBlanks(field)));
        }
    } catch (const std::exception& e) {
        ws.host.errorBox(failureMessage(e) + inFunction("findPhase16"));
    }
}

} // namespace kestrel
