// The band correction of one float image: measure the amplitude (or take the typed
// one) and add it to every whole offset band; the engine writes the file.
#include "correction/correction.h"

#include "analysis/analysis.h"
#include "core/arith.h"
#include "correction/band_kernels.h"
#include "core/numbers.h"
#include "core/report.h"

#include <cmath>
#include <optional>
#include <string>
#include <utility>

namespace kestrel {

namespace {

/// The samples of the loaded image, or why it cannot be measured: its load failed (the
/// loader has shown why) or it holds fewer samples than its header's size.
std::string unmeasurableReason(const Image& image, bool loaded)
{
    if (!loaded)
        return "the image data could not be read";
    return missingSamplesReason(image.imageWidth, image.imageHeight, image.floatPixels.size());
}

/// Where an image's samples come from: read from its file, or already in floatPixels.
enum class Samples { load, inMemory };

/// A count of standard errors for a reason: whole ones, or "no noise" for a frame
/// without any.
std::string standardErrorsText(double significance)
{
    if (std::isinf(significance))
        return "no noise";
    return formatFixedTrimmed(significance, 0) + " standard errors";
}

/// The frame's own banding against the run's phase, from `totals` (the pass the
/// amplitude reads, made here): the phase taken from the frame, or the given one kept,
/// or false with `out` skipped and the reason. A frame whose banding cannot be measured
/// (a NaN, a band without a sky sample) gives a given phase nothing to contradict: its
/// correction goes on and fails, or not, as it would unchecked.
bool choosePhase(const Image& image, ImageRun& run, ImageOutcome& out, double upper,
                 std::optional<ColumnTotals>& totals)
{
    const BandGeometry& bands = run.bands();
    std::optional<PhaseVerdict> verdict;
    const auto failure = caughtFailure([&] {
        totals = amplitudeTotals(image.floatImage(), bands, upper);
        verdict = judgePhase(contrastSums(*totals), bands, run.phase);
    });
    auto skipped = [&](ImageOutcome::Skip why, std::string reason) {
        out.result = ImageOutcome::Result::skipped;
        out.skip = why;
        out.message = std::move(reason);
        return false;
    };
    if (!verdict)
        return !run.phaseFromFrame ||
               skipped(ImageOutcome::Skip::noClearPhase, "no band stands out: its contrast could not be measured (" +
                                                          failure.value_or("") + "); give a phase");
    BandContrast own = verdict->own;
    own.phase = normalisedPhase(own.phase, bands.period);
    out.ownPhase = own;
    if (run.phaseFromFrame) {
        if (!(own.significance >= significantContrast)) {
            const std::string text = formatFixedTrimmed(own.significance, 1);
            return skipped(ImageOutcome::Skip::noClearPhase,
                        "no band stands out: significance " + (text == "-0.0" ? "0.0" : text) + "; give a phase");
        }
        run.phase = own.phase;
        out.phase = own.phase;
        out.givenContrast = own.contrast;
        return true;
    }
    out.givenContrast = verdict->given.contrast;
    if (run.checkPhase && verdict->contradicts)
        return skipped(ImageOutcome::Skip::phaseContradicted,
                    "the banding lies at phase " + std::to_string(own.phase) + " (contrast " +
                        formatFixedTrimmed(own.contrast, 2) + " ADU, " + standardErrorsText(own.significance) +
                        "), not at the given " + std::to_string(run.phase) + " (" +
                        formatFixedTrimmed(verdict->given.contrast, 2) + " ADU)");
    return true;
}

/// The steps before the correction: load, temperature, exposure, background, the
/// phase where the run takes it from the frame or checks it, and the amplitude, typed
/// or measured by `measure` (given the upper sample bound and the totals of the pass
/// the phase took, if any), into `out` and `run`. False when the image is not to be
/// corrected (`out` says why). Throws.
template <class Measure>
bool loadAndMeasure(Workspace& ws, ImageRun& run, ImageOutcome& out, Measure measure, Samples samples)
{
    const bool loaded = samples == Samples::inMemory || loadAllImageDataFloat32(ws);
    const double temperature = getTemp(ws);
    out.temperature = roundToInt32(temperature);
    // 20000 is what the header reader gives for a missing or unreadable CCD-TEMP.
    if (temperature != 20000.0)
        out.ccdTemperature = temperature;
    out.exposure = getExposure(ws);

    // An image that cannot be measured is marked failed and the run goes on.
    if (const std::string reason = unmeasurableReason(ws.image, loaded); !reason.empty()) {
        out.amplitude = failedAmplitude;
        out.result = ImageOutcome::Result::notCorrected;
        out.message = reason;
        return false;
    }
    const std::optional<double> background = measuredBackgroundFlux(ws, SampleType::float32);
    out.background = background.value_or(0);
    out.backgroundFailed = !background;
    const double upper = upperSampleBound(*out.background);
    std::optional<ColumnTotals> totals;
    if ((run.phaseFromFrame || run.checkPhase || run.showOwnPhase) &&
        !choosePhase(std::as_const(ws.image), run, out, upper, totals))
        return false;
    if (run.amplitude.typed != 0.0) {
        out.amplitude = run.amplitude.typed;
    } else {
        out.amplitude = measure(upper, totals ? &*totals : nullptr);
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
    if (const auto failure = caughtFailure(steps))
        endInFailure(ws.host, out, *failure);
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
    addToOffsetBands(image, bands, phase, amplitude, WindowSumBuild::chosen);
}

double upperSampleBound(double background) { return toDouble(static_cast<Extended>(background) * 1.5L); }

namespace {

ProfileOutcome profileImage(Workspace& ws, ImageRun run, Samples samples)
{
    ProfileOutcome result;
    const BandGeometry& bands = run.bands();
    reportedSteps(ws, run, "profileFloat32Columns", result.image, [&] {
        // The amplitude comes from the same pass as the profile; it is the table's, bit
        // for bit, and fails where the table would.
        std::optional<BandMeasure> before;
        const auto measure = [&](double upper, const ColumnTotals*) {
            before = measureBands(std::as_const(ws.image).floatImage(), bands, run.phase, upper);
            return run.amplitude.balanced ? balancedAmplitude(std::as_const(ws.image).floatImage(), bands, run.phase, upper)
                                         : before->amplitude;
        };
        if (!loadAndMeasure(ws, run, result.image, measure, samples))
            return;
        BandProfile& profile = result.profile;
        profile.period = bands.period;
        profile.window = bands.window;
        profile.phase = normalisedPhase(run.phase, bands.period);
        profile.columns = amplitudeColumns(ws.image.imageWidth, bands, run.phase);
        profile.upper = upperSampleBound(*result.image.background);
        if (!before)
            before = measureBands(std::as_const(ws.image).floatImage(), bands, run.phase, profile.upper);
        profile.before = std::move(before->profile);
        addToOffsetBands(ws.image.floatImage(), bands, run.phase, *result.image.amplitude);
        BandMeasure after = measureBands(std::as_const(ws.image).floatImage(), bands, run.phase, profile.upper);
        profile.after = std::move(after.profile);
        profile.residual = residualBand(std::as_const(ws.image).floatImage(), bands, profile.upper);
        result.image.result = ImageOutcome::Result::corrected;
    });
    return result;
}

} // namespace

ProfileOutcome profileFloat32Columns(Workspace& ws, const ImageRun& run)
{
    return profileImage(ws, run, Samples::load);
}

ProfileOutcome profileFloat32InMemory(Workspace& ws, const ImageRun& run)
{
    return profileImage(ws, run, Samples::inMemory);
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

/// The correction of an image read from its file, or of one in memory; either stays in
/// floatPixels.
ImageOutcome correctImage(Workspace& ws, ImageRun run, Samples samples)
{
    ImageOutcome outcome;
    reportedSteps(ws, run, run.routine(), outcome, [&] {
        // The amplitude of the band pairs alone, bit for bit that of the table of every
        // band window's mean, which fails where the table would.
        // With the totals of the frame's own phase, the standard amplitude takes no second pass.
        const auto measure = [&](double upper, const ColumnTotals* totals) {
            const ImageView<const float> image = std::as_const(ws.image).floatImage();
            if (run.amplitude.balanced)
                return balancedAmplitude(image, run.bands(), run.phase, upper);
            return totals ? measureAmplitude(image, run.bands(), run.phase, upper, *totals)
                          : measureAmplitude(image, run.bands(), run.phase, upper);
        };
        if (!loadAndMeasure(ws, run, outcome, measure, samples))
            return;
        addToOffsetBands(ws.image.floatImage(), run.bands(), run.phase, *outcome.amplitude);
        outcome.result = ImageOutcome::Result::corrected;
    });
    return outcome;
}

} // namespace

void endInFailure(Host& host, ImageOutcome& out, const std::string& failure)
{
    out.result = ImageOutcome::Result::failed;
    out.message = failure + inFunction(out.routine.c_str());
    out.stopsRun = true;
    host.errorBox(out.message);
}

ImageOutcome fixFloat32Columns(Workspace& ws, ImageRun run)
{
    run.binning = Binning::unbinned;
    return correctImage(ws, run, Samples::load);
}

ImageOutcome fixFloat32Columns2x2(Workspace& ws, ImageRun run)
{
    run.binning = Binning::binned2x2;
    return correctImage(ws, run, Samples::load);
}

ImageOutcome correctFloat32InMemory(Workspace& ws, const ImageRun& run)
{
    return correctImage(ws, run, Samples::inMemory);
}

std::string missingSamplesReason(std::int32_t width, std::int32_t height, std::size_t samples)
{
    const std::uint64_t expected = width > 0 && height > 0
                                       ? static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height)
                                       : 0;
    if (expected == 0)
        return "the header gives no image size (NAXIS1 " + std::to_string(width) + ", NAXIS2 " +
               std::to_string(height) + ")";
    if (expected > samples)
        return "the data hold " + std::to_string(samples) + " samples, fewer than the " + std::to_string(expected) +
               " of NAXIS1 x NAXIS2 (" + std::to_string(width) + " x " + std::to_string(height) + ")";
    return "";
}

} // namespace kestrel
