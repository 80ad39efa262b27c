// Band correction: the band amplitude of a float image, measured from the means of its
// band windows, its removal from the offset bands, and the whole treatment of one image
// of a batch, which ends in one outcome value.
#pragma once

#include "analysis/band_geometry.h"
#include "correction/balanced.h"
#include "core/image_view.h"
#include "core/report.h"
#include "fits/workspace.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

/// An amplitude of exactly this marks an image as not corrected ("Failed" in the grid).
inline constexpr double failedAmplitude = 9999;

/// What became of one image of a batch: everything the window's grid row and results
/// entry and kestrel-cli's line show. Values are set as the steps reach them, so an
/// image that failed part-way keeps those read before.
struct ImageOutcome {
    enum class Result {
        corrected,    // corrected; through the engine also written (or, deferred, handed over)
        notCorrected, // the amplitude is the failure marker: nothing changed or written
        failed,       // a failure ended it (`message`); nothing written
        skipped,      // not handed to a correction (`skip` says why)
    };
    /// Why an image was not handed to a correction.
    enum class Skip {
        none,       // it was handed
        unreadable, // the file could not be opened or read (a failure)
        noHeader,   // no FITS header with END
        notFloat,   // not 32-bit floating point
        notOneImage, // not one plain image in the primary HDU (planes, scaling, keywords)
        otherWidth, // not a width of the sensor
        badPhase,   // the phase for its binning is not a whole number
        repeated,   // its output was already written in this run
        replacesInput, // its output would replace an input, which was not asked for
        keepsExisting, // its output would replace a file that is no earlier correction of it
        correctedBefore, // an interrupted run replaced it by its correction, unchanged since
        incomplete, // a watched frame that its writer never finished
        phaseContradicted, // its own banding stands out at another phase than the given one
        noClearPhase, // its phase was to come from itself, and no band stands out
    };

    Result result = Result::skipped;
    Skip skip = Skip::none;
    std::string message;                      // the failure's report, or why it was skipped
    std::string binning;                      // "1x1" or "2x2", once chosen
    std::string routine;                      // the routine its failures are reported under
    std::int32_t phase = 0;                   // the phase it was corrected at, once chosen
    /// The frame's own banding, where the run looked at it (a phase from the frame, the
    /// check of a given one, or asked for): its strongest phase (1 to the period), the
    /// contrast there and its significance; and the contrast at the given phase.
    std::optional<BandContrast> ownPhase;
    std::optional<double> givenContrast;
    std::optional<std::int32_t> temperature;  // CCD-TEMP rounded to whole degrees
    std::optional<double> ccdTemperature;     // CCD-TEMP as the header gives it, when it gives one
    std::optional<std::int32_t> exposure;     // whole seconds
    std::optional<double> background;         // ADU
    bool backgroundFailed = false;            // its measurement failed: background holds the 0 shown
    std::optional<double> amplitude;          // ADU added to the offset bands
    bool measured = false;                    // the amplitude was measured, not typed
    bool stopsRun = false;                    // the window's batch ends after it
    /// What the routines reported for this image, in order: the boxes the window shows
    /// and the lines kestrel-cli prints on standard error.
    std::vector<BoxReport> reports;

    bool handed() const { return skip == Skip::none && result != Result::skipped; }
};

// ---- Kernels: pure functions of their inputs; failures are thrown ------------------

/// The mean of the one band window that starts at `start`, summed in the order of
/// the tests' band window means (column by column, each column top to bottom), with the same bits as its entry there. A window that does
/// not lie inside the image is a range failure; a NaN in it, or no qualifying sample,
/// an invalid operation.
long double bandWindowMean(ImageView<const float> image, const BandGeometry& bands, double upper, std::int32_t start);

/// Band periods of an image `width` columns wide, as the amplitude counts them.
std::int32_t bandCountOf(std::int32_t width, const BandGeometry& bands);

/// The mean of (reference window mean - offset window mean) over the band pairs the
/// geometry counts: i = period x k + phase, offset window at i - window, pairs whose
/// offset window would start before column 0 left out. No pair is a division by zero.
double bandAmplitude(std::span<const long double> means, const BandGeometry& bands, std::int32_t width,
                     std::int32_t phase);

/// Adds `amplitude` (in double, rounded to float) to every sample of every offset band
/// that lies wholly inside the image. A finite sample that overflows is a failure.
void addToOffsetBands(ImageView<float> image, const BandGeometry& bands, std::int32_t phase, double amplitude);

/// The upper sample bound of a measurement: half again the background, formed in
/// extended precision and rounded to double. Samples at or above it are stars, not sky.
double upperSampleBound(double background);

/// Columns `first` to `last`, both included; empty when last < first.
struct ColumnRange {
    std::int32_t first = 0;
    std::int32_t last = -1;
};

/// The columns the amplitude reads in an image `width` columns wide: from the offset
/// window of the first band pair it counts to the end of the reference window of the
/// last. Each column in between belongs to exactly one pair. Empty when no pair is
/// counted; a pair whose reference window lies beyond the band window means is a range
/// failure, as in bandAmplitude.
ColumnRange amplitudeColumns(std::int32_t width, const BandGeometry& bands, std::int32_t phase);

/// The band profile and the band amplitude of an image, from one pass over it.
struct BandMeasure {
    /// For each position of the band period, counted from the phase (0 to window - 1 the
    /// reference band, window to period - 1 the offset band), the mean of the samples
    /// above bands.lowerBound and below `upper` in the columns of amplitudeColumns at
    /// that position. Each column is summed top to bottom in double, the column sums of
    /// one position are added in column order in extended precision, and the mean is
    /// rounded to double, so the result does not depend on how the rows are read.
    std::vector<double> profile;
    /// Bit for bit bandAmplitude of the band window means (the tests' definition).
    double amplitude = 0;
};
/// Fails where bandWindowMeans and bandAmplitude fail: a band window anywhere without a
/// qualifying sample, or a NaN in the columns the windows read, is an invalid operation;
/// so is a position of the profile without a qualifying sample, or no pair at all.
BandMeasure measureBands(ImageView<const float> image, const BandGeometry& bands, std::int32_t phase, double upper);
/// The amplitude of measureBands alone, without its profile: it fails exactly where
/// bandWindowMeans and bandAmplitude would.
double measureAmplitude(ImageView<const float> image, const BandGeometry& bands, std::int32_t phase, double upper);

/// The balanced contrast of every candidate phase (0 to period - 1) of a float image,
/// over the samples its amplitude counts (above bands.lowerBound and below `upper`) in
/// the columns its band windows read: what a correction holds its phase against. Fails
/// as phaseContrasts (a NaN, a band without a counted sample).
std::vector<BandContrast> floatPhaseContrasts(ImageView<const float> image, const BandGeometry& bands, double upper);

// ---- Workspace routines ------------------------------------------------------------

/// How each image's amplitude comes about: typed for every image, or measured by the
/// window's rule or by the balanced one.
struct AmplitudeChoice {
    AmplitudeChoice(double typed = 0, bool balanced = false) : typed(typed), balanced(balanced) {}
    double typed = 0;      // above 0: applied to every image; 0: each image is measured
    bool balanced = false; // measured by the balanced rule (analysis/significance.h)
};

/// What a run chose for one image: its binning, its phase and the amplitude typed for
/// it. Set before the image is treated and never changed while it is.
struct ImageRun {
    Binning binning = Binning::unbinned;
    std::int32_t phase = 0;      // first column of a reference band
    AmplitudeChoice amplitude = {}; // typed, or measured by the window's rule or the balanced one
    bool phaseFromFrame = false; // the phase is the frame's own strongest, if it stands out
    bool checkPhase = false;     // refuse a phase that the frame's own banding contradicts
    bool showOwnPhase = false;   // measure the frame's own phase for the outcome

    const BandGeometry& bands() const { return bandGeometry(binning); }
    /// The routine the image's failures are reported under.
    const char* routine() const { return binning == Binning::unbinned ? "fixFloat32Columns" : "fixFloat32Columns2x2"; }
};

/// The treatment of one unbinned float image whose header was just read, short of its
/// file: load, measure (or take the typed amplitude) and correct floatPixels, which stay
/// as the correction leaves them for the caller to write (the outcome is then
/// `corrected`). A failure ends the outcome (endInFailure: "... in function
/// fixFloat32Columns."). An image whose load failed or whose pixels are fewer than
/// imageWidth x imageHeight is not corrected. The run's binning is the routine's own.
ImageOutcome fixFloat32Columns(Workspace& ws, ImageRun run);
/// The same for 2x2-binned images ("... in function fixFloat32Columns2x2.").
ImageOutcome fixFloat32Columns2x2(Workspace& ws, ImageRun run);

/// Ends `out` by `failure`, under the routine it names (`out.routine`): failed, with the
/// message "... in function NAME." shown in an error box, and a run over several files
/// stops after it.
void endInFailure(Host& host, ImageOutcome& out, const std::string& failure);

/// fixFloat32Columns or fixFloat32Columns2x2, by the run's binning, of an image already
/// in memory (floatPixels in ADU, its size and header cards set: floatImageFromPixels):
/// the same measurement, correction and reports, but nothing is loaded. The corrected
/// samples stay in floatPixels as the correction leaves them, before a writer scales or
/// clamps them (fits/writer.h, samplesAsWritten).
ImageOutcome correctFloat32InMemory(Workspace& ws, const ImageRun& run);

/// Why the samples of an image `width` x `height` of which `samples` were read cannot
/// be measured: the header gives no size, or the samples are fewer than it gives.
/// Empty when they can.
std::string missingSamplesReason(std::int32_t width, std::int32_t height, std::size_t samples);

/// An image's band profile before and after its correction, and what is left of the
/// banding. Values in ADU, as the amplitude.
struct BandProfile {
    std::int32_t period = 0;
    std::int32_t window = 0;
    std::int32_t phase = 0;     // in 1..period: the first column of a reference band
    ColumnRange columns;        // the columns the profile and the amplitude read
    double upper = 0;           // the upper sample bound of both profiles
    std::vector<double> before; // one entry per position of the band period
    std::vector<double> after;
    // The banding left: residualBand of the corrected samples with the bound of the
    // measurement before. The background is not estimated again: the correction lifts
    // the offset bands and with them the low percentiles the estimate averages, so a new
    // bound would change which samples count, and the residual would mix what the
    // correction did with a shift of the star cut.
    ResidualBand residual;
};

struct ProfileOutcome {
    ImageOutcome image; // `corrected` when the profile was taken: in memory only
    BandProfile profile;
};

/// What fixFloat32Columns would do to the image whose header was just read, done in
/// memory and measured: load, measure (or take the typed amplitude), the profile, the
/// correction of floatPixels, the profile and the residual after it. Nothing is
/// written. Both profiles and the residual use the bound of the measurement, 1.5 x
/// background, also when the amplitude was typed. A failure is reported "... in
/// function profileFloat32Columns." and ends the outcome as failed.
ProfileOutcome profileFloat32Columns(Workspace& ws, const ImageRun& run);
/// The same of an image already in memory, as correctFloat32InMemory takes it.
ProfileOutcome profileFloat32InMemory(Workspace& ws, const ImageRun& run);

/// The banding left in the image saveFloat32Fits has just written from floatPixels
/// (`written` is its outcome): the samples as the file holds them, in the units a load
/// gives them (a PixInsight image's are scaled by 65535 again, in place), measured by
/// residualBand with the bound of the measurement. Throws.
ResidualBand writtenResidualAmplitude(Image& image, const ImageRun& run, const ImageOutcome& written);

} // namespace kestrel
