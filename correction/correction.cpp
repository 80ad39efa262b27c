// The band correction of one float image: measure the amplitude (or take the typed
// one), add it to every whole offset band and write the file.
#include "correction/correction.h"

#include "analysis/analysis.h"
#include "core/arith.h"
#include "correction/band_means.h"
#include "core/numbers.h"
#include "core/report.h"

#include <cmath>
#include <optional>
#include <string>

namespace kestrel {

namespace {

/// What the two binnings' routines differ in besides their band geometry.
struct CorrectionRoutine {
    const BandGeometry& bands;
    const char* name; // in failure reports
};

const CorrectionRoutine unbinnedRoutine{unbinnedBands, "fixFloat32Columns"};
const CorrectionRoutine binnedRoutine{binned2x2Bands, "fixFloat32Columns2x2"};

void fillColumnMeans(Workspace& ws, const BandGeometry& bands)
{
    const ImageView<float> image = ws.floatImage();
    if (image.width < bands.window)
        failRange();
    ws.columnMeans.assign(static_cast<std::size_t>(image.width - bands.window), 0.0L);
    bandWindowMeans(ImageView<const float>{image.pixels, image.width, image.height}, bands, ws.backgroundFlux,
                    ws.columnMeans);
}

double measuredAmplitude(Workspace& ws, const BandGeometry& bands)
{
    ws.bandCount = bandCountOf(ws.imageWidth, bands);
    const double amplitude = bandAmplitude(ws.columnMeans, bands, ws.imageWidth, ws.phase);
    ws.host.pumpMessages();
    return amplitude;
}

void correctOffsetBands(Workspace& ws, const BandGeometry& bands)
{
    addToOffsetBands(ws.floatImage(), bands, ws.phase, ws.amplitude);
    ws.host.pumpMessages();
}

/// The samples of the loaded image, or why it cannot be measured: its load failed (the
/// loader has shown why) or it holds fewer samples than its header's size.
std::string unmeasurableReason(const Workspace& ws, bool loaded)
{
    if (!loaded)
        return "the image data could not be read";
    const std::uint64_t expected =
        ws.imageWidth > 0 && ws.imageHeight > 0
            ? static_cast<std::uint64_t>(ws.imageWidth) * static_cast<std::uint64_t>(ws.imageHeight)
            : 0;
    if (expected == 0)
        return "the header gives no image size (NAXIS1 " + std::to_string(ws.imageWidth) + ", NAXIS2 " +
               std::to_string(ws.imageHeight) + ")";
    if (expected > ws.floatPixels.size())
        return "the data hold " + std::to_string(ws.floatPixels.size()) + " samples, fewer than the " +
               std::to_string(expected) + " of NAXIS1 x NAXIS2 (" + std::to_string(ws.imageWidth) + " x " +
               std::to_string(ws.imageHeight) + ")";
    return "";
}

const CorrectionRoutine& routineFor(const Workspace& ws)
{
    return ws.binning == "2x2" ? binnedRoutine : unbinnedRoutine;
}

/// The window means of the whole image into columnMeans, and the amplitude from them.
double measureFromTable(Workspace& ws, const BandGeometry& bands)
{
    fillColumnMeans(ws, bands);
    ws.host.pumpMessages();
    return measuredAmplitude(ws, bands);
}

/// The amplitude by the rule the run chose: the window's, from the table of window
/// means, or the balanced one, which needs no table.
double measureAmplitude(Workspace& ws, const BandGeometry& bands)
{
    if (!ws.balancedAmplitude)
        return measureFromTable(ws, bands);
    ws.bandCount = bandCountOf(ws.imageWidth, bands);
    const ImageView<float> image = ws.floatImage();
    const double amplitude =
        balancedAmplitude({image.pixels, image.width, image.height}, bands, ws.phase, ws.backgroundFlux);
    ws.host.pumpMessages();
    return amplitude;
}

/// The steps before the correction: load, temperature, exposure, background and the
/// amplitude, typed or measured by `measure` (with backgroundFlux the upper bound), into
/// the workspace and `out`. False when the image is not to be corrected (`out` says
/// why). Throws.
template <class Measure> bool loadAndMeasure(Workspace& ws, ImageOutcome& out, Measure measure)
{
    const bool loaded = loadAllImageDataFloat32(ws);
    ws.ccdTemperature = roundToInt32(getTemp(ws));
    out.temperature = ws.ccdTemperature;
    out.exposure = getExposure(ws);

    // An image that cannot be measured is marked failed and the run goes on.
    if (const std::string reason = unmeasurableReason(ws, loaded); !reason.empty()) {
        ws.amplitude = failedAmplitude;
        out.result = ImageOutcome::Result::notCorrected;
        out.message = reason;
        return false;
    }
    ws.backgroundFlux = getBackgroundFlux(ws, SampleType::float32);
    out.background = ws.backgroundFlux;
    if (ws.amplitudeSetting != 0.0) {
        ws.amplitude = ws.amplitudeSetting;
    } else {
        ws.backgroundFlux = upperSampleBound(ws.backgroundFlux);
        ws.amplitude = measure();
        out.measured = true;
    }
    out.amplitude = ws.amplitude;
    if (ws.amplitude == failedAmplitude) {
        out.result = ImageOutcome::Result::notCorrected;
        return false;
    }
    return true;
}

/// Runs `steps` under the routine's failure report: a failure is shown in a box and
/// ends the outcome as failed, and a run over several files stops after it.
template <class Steps> void reportedSteps(Workspace& ws, const char* routine, ImageOutcome& out, Steps steps)
{
    out.binning = ws.binning;
    out.result = ImageOutcome::Result::failed;
    if (const auto failure = caughtFailure(steps)) {
        out.result = ImageOutcome::Result::failed;
        out.message = *failure + inFunction(routine);
        out.stopsRun = true;
        ws.host.errorBox(out.message);
    }
    ws.host.pumpMessages();
}

ImageOutcome correctImage(Workspace& ws, const std::filesystem::path& outputPath, const CorrectionRoutine& routine,
                          const CommitStrategy& commit)
{
    ImageOutcome out;
    reportedSteps(ws, routine.name, out, [&] {
        if (!loadAndMeasure(ws, out, [&] { return measureAmplitude(ws, routine.bands); }))
            return;
        correctOffsetBands(ws, routine.bands);
        saveFloat32Fits(ws, outputPath, commit);
        out.result = ImageOutcome::Result::corrected;
    });
    return out;
}

} // namespace

std::int32_t bandCountOf(std::int32_t width, const BandGeometry& bands)
{
    return width / bands.bandCountDivisor - bands.bandCountOffset;
}

double bandAmplitude(std::span<const long double> means, const BandGeometry& bands, std::int32_t width,
                     std::int32_t phase)
{
    double sum = 0.0;
    std::int32_t n = 0;
    forEachBandPair(width, bands, phase, [&](std::int64_t i) {
        if (static_cast<std::uint64_t>(i) >= means.size())
            failRange();
        const Extended reference = means[static_cast<std::size_t>(i)];
        const Extended offsetBand = means[static_cast<std::size_t>(i - bands.window)];
        sum = toDouble(static_cast<Extended>(sum) + reference - offsetBand);
        ++n;
    });
    return toDouble(divide(sum, n));
}

void addToOffsetBands(ImageView<float> image, const BandGeometry& bands, std::int32_t phase, double amplitude)
{
    const std::int32_t width = image.width;
    const std::int32_t p = normalisedPhase(phase, bands.period);
    bool overflow = false;
    for (std::int32_t row = 0; row < image.height; ++row) {
        float* px = image.row(row);
        for (std::int64_t b = p; b <= width; b += bands.period) {
            if (b < bands.window)
                continue;
            for (std::int64_t col = b - bands.window; col < b; ++col) {
                const float v = px[col];
                const float x = static_cast<float>(static_cast<double>(v) + amplitude);
                overflow |= std::isinf(x) && !std::isinf(v);
                px[col] = x;
            }
        }
    }
    if (overflow)
        throw Failure(messages::overflow);
}

double upperSampleBound(double background) { return toDouble(static_cast<Extended>(background) * 1.5L); }

ProfileOutcome profileFloat32Columns(Workspace& ws)
{
    ProfileOutcome result;
    const BandGeometry& bands = routineFor(ws).bands;
    reportedSteps(ws, "profileFloat32Columns", result.image, [&] {
        // The amplitude comes from the same pass as the profile; it is the table's, bit
        // for bit, and fails where the table would.
        auto view = [&ws] {
            const ImageView<float> image = ws.floatImage();
            return ImageView<const float>{image.pixels, image.width, image.height};
        };
        std::optional<BandMeasure> before;
        const auto measure = [&] {
            before = measureBands(view(), bands, ws.phase, ws.backgroundFlux);
            return ws.balancedAmplitude ? balancedAmplitude(view(), bands, ws.phase, ws.backgroundFlux)
                                        : before->amplitude;
        };
        if (!loadAndMeasure(ws, result.image, measure))
            return;
        BandProfile& profile = result.profile;
        profile.period = bands.period;
        profile.window = bands.window;
        profile.phase = normalisedPhase(ws.phase, bands.period);
        profile.columns = amplitudeColumns(ws.imageWidth, bands, ws.phase);
        profile.upper = upperSampleBound(*result.image.background);
        if (!before)
            before = measureBands(view(), bands, ws.phase, profile.upper);
        profile.before = std::move(before->profile);
        correctOffsetBands(ws, bands);
        BandMeasure after = measureBands(view(), bands, ws.phase, profile.upper);
        profile.after = std::move(after.profile);
        profile.residual = residualBand(view(), bands, profile.upper);
        result.image.result = ImageOutcome::Result::corrected;
    });
    return result;
}

ResidualBand writtenResidualAmplitude(Workspace& ws, const ImageOutcome& written)
{
    if (!written.background)
        failInvalidOperation();
    const ImageView<float> image = ws.floatImage();
    if (ws.pixInsightImage)
        scaleFromPixInsight(image.pixels);
    return residualBand({image.pixels, image.width, image.height}, routineFor(ws).bands,
                        upperSampleBound(*written.background));
}

ImageOutcome fixFloat32Columns(Workspace& ws, const std::filesystem::path& outputPath, const CommitStrategy& commit)
{
    return correctImage(ws, outputPath, unbinnedRoutine, commit);
}

ImageOutcome fixFloat32Columns2x2(Workspace& ws, const std::filesystem::path& outputPath,
                                  const CommitStrategy& commit)
{
    return correctImage(ws, outputPath, binnedRoutine, commit);
}

double getBandAmplitude(Workspace& ws) { return measuredAmplitude(ws, unbinnedBands); }
double getBandAmplitude2x2(Workspace& ws) { return measuredAmplitude(ws, binned2x2Bands); }
void applyBandCorrection(Workspace& ws) { correctOffsetBands(ws, unbinnedBands); }
void applyBandCorrection2x2(Workspace& ws) { correctOffsetBands(ws, binned2x2Bands); }

} // namespace kestrel
