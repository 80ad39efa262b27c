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

/// The samples of the loaded image, or why it cannot be measured: its load failed (the
/// loader has shown why) or it holds fewer samples than its header's size.
std::string unmeasurableReason(const Image& image, bool loaded)
{
    if (!loaded)
        return "the image data could not be read";
    const std::uint64_t expected =
        image.imageWidth > 0 && image.imageHeight > 0
            ? static_cast<std::uint64_t>(image.imageWidth) * static_cast<std::uint64_t>(image.imageHeight)
            : 0;
    if (expected == 0)
        return "the header gives no image size (NAXIS1 " + std::to_string(image.imageWidth) + ", NAXIS2 " +
               std::to_string(image.imageHeight) + ")";
    if (expected > image.floatPixels.size())
        return "the data hold " + std::to_string(image.floatPixels.size()) + " samples, fewer than the " +
               std::to_string(expected) + " of NAXIS1 x NAXIS2 (" + std::to_string(image.imageWidth) + " x " +
               std::to_string(image.imageHeight) + ")";
    return "";
}

ImageView<const float> constView(Image& image)
{
    const ImageView<float> view = image.floatImage();
    return {view.pixels, view.width, view.height};
}

/// The steps before the correction: load, temperature, exposure, background and the
/// amplitude, typed or measured by `measure` (given the upper sample bound), into `out`.
/// False when the image is not to be corrected (`out` says why). Throws.
template <class Measure> bool loadAndMeasure(Workspace& ws, const ImageRun& run, ImageOutcome& out, Measure measure)
{
    const bool loaded = loadAllImageDataFloat32(ws);
    out.temperature = roundToInt32(getTemp(ws));
    out.exposure = getExposure(ws);

    // An image that cannot be measured is marked failed and the run goes on.
    if (const std::string reason = unmeasurableReason(ws.image, loaded); !reason.empty()) {
        out.amplitude = failedAmplitude;
        out.result = ImageOutcome::Result::notCorrected;
        out.message = reason;
        return false;
    }
    out.background = getBackgroundFlux(ws, SampleType::float32, run.threads);
    if (run.amplitudeSetting != 0.0) {
        out.amplitude = run.amplitudeSetting;
    } else {
        out.amplitude = measure(upperSampleBound(*out.background));
        out.measured = true;
    }
    if (*out.amplitude == failedAmplitude) {
        out.result = ImageOutcome::Result::notCorrected;
        return false;
    }
    return true;
}

/// Runs `steps` under the routine's failure report: a failure is reported in a box and
/// ends the outcome as failed, and a run over several files stops after it.
template <class Steps> void reportedSteps(Workspace& ws, const ImageRun& run, const char* routine, ImageOutcome& out,
                                          Steps steps)
{
    out.binning = binningText(run.binning);
    out.routine = routine;
    out.phase = run.phase;
    out.result = ImageOutcome::Result::failed;
    if (const auto failure = caughtFailure(steps)) {
        out.result = ImageOutcome::Result::failed;
        out.message = *failure + inFunction(routine);
        out.stopsRun = true;
        ws.host.errorBox(out.message);
    }
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

void addToOffsetBands(ImageView<float> image, const BandGeometry& bands, std::int32_t phase, double amplitude,
                      unsigned parts)
{
    addToOffsetBands(image, bands, phase, amplitude, WindowSumBuild::chosen, parts);
}

double upperSampleBound(double background) { return toDouble(static_cast<Extended>(background) * 1.5L); }

ProfileOutcome profileFloat32Columns(Workspace& ws, const ImageRun& run)
{
    ProfileOutcome result;
    const BandGeometry& bands = run.bands();
    reportedSteps(ws, run, "profileFloat32Columns", result.image, [&] {
        // The amplitude comes from the same pass as the profile; it is the table's, bit
        // for bit, and fails where the table would.
        std::optional<BandMeasure> before;
        const auto measure = [&](double upper) {
            before = measureBands(constView(ws.image), bands, run.phase, upper);
            return run.balancedAmplitude ? balancedAmplitude(constView(ws.image), bands, run.phase, upper)
                                         : before->amplitude;
        };
        if (!loadAndMeasure(ws, run, result.image, measure))
            return;
        BandProfile& profile = result.profile;
        profile.period = bands.period;
        profile.window = bands.window;
        profile.phase = normalisedPhase(run.phase, bands.period);
        profile.columns = amplitudeColumns(ws.image.imageWidth, bands, run.phase);
        profile.upper = upperSampleBound(*result.image.background);
        if (!before)
            before = measureBands(constView(ws.image), bands, run.phase, profile.upper);
        profile.before = std::move(before->profile);
        addToOffsetBands(ws.image.floatImage(), bands, run.phase, *result.image.amplitude);
        BandMeasure after = measureBands(constView(ws.image), bands, run.phase, profile.upper);
        profile.after = std::move(after.profile);
        profile.residual = residualBand(constView(ws.image), bands, profile.upper);
        result.image.result = ImageOutcome::Result::corrected;
    });
    return result;
}

ResidualBand writtenResidualAmplitude(Image& image, const ImageRun& run, const ImageOutcome& written)
{
    if (!written.background)
        failInvalidOperation();
    const ImageView<float> view = image.floatImage();
    if (image.pixInsightImage)
        scaleFromPixInsight(view.pixels);
    return residualBand({view.pixels, view.width, view.height}, run.bands(), upperSampleBound(*written.background));
}

namespace {

ImageOutcome correctImage(Workspace& ws, const ImageRun& run, std::shared_ptr<WholeFileWriter> out,
                          const CommitStrategy& commit)
{
    ImageOutcome outcome;
    reportedSteps(ws, run, run.routine(), outcome, [&] {
        // The amplitude of the band pairs alone, bit for bit that of the table of every
        // band window's mean, which fails where the table would.
        const auto measure = [&](double upper) {
            return run.balancedAmplitude
                       ? balancedAmplitude(constView(ws.image), run.bands(), run.phase, upper)
                       : measureAmplitude(constView(ws.image), run.bands(), run.phase, upper, run.threads);
        };
        if (!loadAndMeasure(ws, run, outcome, measure))
            return;
        addToOffsetBands(ws.image.floatImage(), run.bands(), run.phase, *outcome.amplitude, run.threads);
        saveFloat32Fits(ws.image, std::move(out), commit);
        outcome.result = ImageOutcome::Result::corrected;
    });
    return outcome;
}

} // namespace

ImageOutcome fixFloat32Columns(Workspace& ws, ImageRun run, std::shared_ptr<WholeFileWriter> out,
                               const CommitStrategy& commit)
{
    run.binning = Binning::unbinned;
    return correctImage(ws, run, std::move(out), commit);
}

ImageOutcome fixFloat32Columns2x2(Workspace& ws, ImageRun run, std::shared_ptr<WholeFileWriter> out,
                                  const CommitStrategy& commit)
{
    run.binning = Binning::binned2x2;
    return correctImage(ws, run, std::move(out), commit);
}

} // namespace kestrel
