// The band correction of one float image: measure the amplitude (or take the typed
// one), add it to every whole offset band, write the file and fill the grid row.
#include "correction/correction.h"

#include "analysis/analysis.h"
#include "core/arith.h"
#include "core/numbers.h"
#include "correction/band_layout.h"

#include <cmath>
#include <string>

namespace kestrel {

namespace {

double bandAmplitude(Workspace& ws, const BandLayout& layout)
{
    ws.bandCount = ws.imageWidth / layout.bandCountDivisor - layout.bandCountOffset;
    const std::int32_t phase = normalisedPhase(ws.phase, layout.period);
    double sum = 0.0;
    std::int32_t n = 0;
    for (std::int32_t k = layout.firstPair; k <= ws.bandCount - layout.lastPairMargin; ++k) {
        const std::int64_t i = static_cast<std::int64_t>(layout.period) * k + phase;
        const std::int64_t offset = i - layout.window;
        if (offset < 0)
            continue;
        if (static_cast<std::uint64_t>(i) >= ws.columnMeans.size())
            failRange();
        const Extended reference = ws.columnMeans[static_cast<std::size_t>(i)];
        const Extended offsetBand = ws.columnMeans[static_cast<std::size_t>(offset)];
        sum = toDouble(static_cast<Extended>(sum) + reference - offsetBand);
        ++n;
    }
    ws.host.pumpMessages();
    return toDouble(divide(sum, n));
}

void bandCorrection(Workspace& ws, const BandLayout& layout)
{
    const std::int32_t width = ws.imageWidth;
    const std::int64_t total = static_cast<std::int64_t>(width) * ws.imageHeight;
    if (width < 0 || ws.imageHeight < 0 || static_cast<std::uint64_t>(total) > ws.floatPixels.size())
        failRange();
    const std::int32_t phase = normalisedPhase(ws.phase, layout.period);
    const double amplitude = ws.amplitude;
    bool overflow = false;
    for (std::int32_t row = 0; row < ws.imageHeight; ++row) {
        float* px = ws.floatPixels.data() + static_cast<std::int64_t>(row) * width;
        for (std::int64_t b = phase; b <= width; b += layout.period) {
            if (b < layout.window)
                continue;
            for (std::int64_t col = b - layout.window; col < b; ++col) {
                const float v = px[col];
                const float x = static_cast<float>(static_cast<double>(v) + amplitude);
                overflow |= std::isinf(x) && !std::isinf(v);
                px[col] = x;
            }
        }
    }
    if (overflow)
        throw Failure(messages::overflow);
    ws.host.pumpMessages();
}

tImageData& resultsEntry(Workspace& ws)
{
    if (ws.fileCount < 1 || static_cast<std::size_t>(ws.fileCount) > ws.imageResults.size())
        failRange();
    return ws.imageResults[static_cast<std::size_t>(ws.fileCount - 1)];
}

void correctImage(Workspace& ws, const std::filesystem::path& outputPath, const BandLayout& layout)
{
    try {
        const bool loaded = loadAllImageDataFloat32(ws);
        ws.ccdTemperature = roundToInt32(getTemp(ws));
        resultsEntry(ws).ccdTemp = ws.ccdTemperature;
        const std::int32_t exposure = getExposure(ws);
        resultsEntry(ws).exposure = exposure;
        ResultsGrid& grid = ws.window.grid;
        grid.setCell(2, ws.fileCount, "    " + std::to_string(exposure));

        // A failed load (already reported by the loader) or a short buffer cannot be
        // measured: the image is marked failed and the run goes on.
        const std::int64_t total = static_cast<std::int64_t>(ws.imageWidth) * ws.imageHeight;
        if (!loaded || ws.imageWidth <= 0 || ws.imageHeight <= 0 ||
            static_cast<std::uint64_t>(total) > ws.floatPixels.size()) {
            ws.amplitude = failedAmplitude;
            grid.setCell(3, ws.fileCount, "Failed");
        } else {
            ws.backgroundFlux = getBackgroundFlux(ws, SampleType::float32);
            grid.setCell(1, ws.fileCount, "  " + formatFixed(ws.backgroundFlux, 2));
            if (ws.amplitudeSetting != 0.0) {
                ws.amplitude = ws.amplitudeSetting;
            } else {
                ws.backgroundFlux = toDouble(static_cast<Extended>(ws.backgroundFlux) * 1.5L);
                fillColumnMeans(ws, layout);
                ws.host.pumpMessages();
                ws.amplitude = bandAmplitude(ws, layout);
                resultsEntry(ws).amplitude = static_cast<float>(ws.amplitude);
                resultsEntry(ws).measured = true;
            }
            if (ws.amplitude != failedAmplitude) {
                grid.setCell(4, ws.fileCount, formatFixed(ws.amplitude, 3, 7));
                grid.setCell(3, ws.fileCount, "     " + std::to_string(ws.ccdTemperature));
                bandCorrection(ws, layout);
                saveFloat32Fits(ws, outputPath);
            } else {
                grid.setCell(3, ws.fileCount, "Failed");
            }
        }
    } catch (const std::exception& e) {
        ws.host.errorBox(failureMessage(e) + inFunction(layout.routine));
        ws.cancelRequested = true;
    }
    ws.host.pumpMessages();
}

} // namespace

void fixFloat32Columns(Workspace& ws, const std::filesystem::path& outputPath)
{
    correctImage(ws, outputPath, unbinnedLayout);
}

void fixFloat32Columns2x2(Workspace& ws, const std::filesystem::path& outputPath)
{
    correctImage(ws, outputPath, binned2x2Layout);
}

double getBandAmplitude(Workspace& ws) { return bandAmplitude(ws, unbinnedLayout); }
double getBandAmplitude2x2(Workspace& ws) { return bandAmplitude(ws, binned2x2Layout); }
void applyBandCorrection(Workspace& ws) { bandCorrection(ws, unbinnedLayout); }
void applyBandCorrection2x2(Workspace& ws) { bandCorrection(ws, binned2x2Layout); }

} // namespace kestrel
