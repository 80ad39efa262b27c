// The steps of one file of a batch correction and of one phase search, between choosing
// the file and its outcome. The window's runs, kestrel-cli and the Python module all
// call them, so a file treated any of these ways comes out byte for byte the same.
#pragma once

#include "analysis/analysis.h"
#include "analysis/significance.h"
#include "correction/correction.h"
#include "engine/output_plan.h"
#include "fits/workspace.h"
#include "fits/writer.h"
#include "settings/settings.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {

/// The texts of the two phase fields, as the window holds them, and what kestrel-cli
/// and the Python module do besides with the phase: the window does none of it.
struct PhaseFields {
    std::string phase1x1;
    std::string phase2x2;
    bool autoAllowed = false; // a field reading "auto" takes each frame's own phase
    bool check = false;       // a frame whose own banding contradicts its phase is skipped
    bool showOwn = false;     // each outcome names the frame's own phase
};

/// Reads the header and the image's PixInsight mark and size. False when the header
/// cannot be read; a file that cannot be opened throws.
bool readImageHeader(Workspace& ws, const std::filesystem::path& input);

/// Why an image `width` columns wide is neither unbinned nor 2x2-binned.
std::string widthReason(std::int32_t width);

/// Checks type and width of the float image whose header was just read and picks its
/// binning and phase from the phase field texts (0 means 32, or 16 when binned): the
/// image's run, or the skipped outcome (with the boxes it shows).
struct BandChoice {
    std::optional<ImageRun> run;
    ImageOutcome skipped; // when there is no run
};
BandChoice chooseBands(Workspace& ws, const PhaseFields& phases, const AmplitudeChoice& amplitude);

/// Checks type and width of the image whose header was just read, picks the binning
/// and the phase (chooseBands), opens the output file (where a write-protected or
/// otherwise unwritable output fails the image at once: the run goes on), corrects the
/// image (fixFloat32Columns) and writes it there (saveFloat32Fits, with `commit`); a
/// failure of the write ends the outcome under the correction's routine. With `folder`,
/// the output is the file of its name in that folder as it was opened. `chosen`, where
/// given, receives the image's run as chooseBands made it.
ImageOutcome correctLoadedImage(Workspace& ws, const PhaseFields& phases, const AmplitudeChoice& amplitude,
                                const std::filesystem::path& outputPath, const CommitStrategy& commit = {},
                                const OpenFolder* folder = nullptr, std::optional<ImageRun>* chosen = nullptr);

/// The profile of the image whose header was just read (profileFloat32Columns), after
/// the checks of correctLoadedImage. Nothing is written.
ProfileOutcome profileLoadedImage(Workspace& ws, const PhaseFields& phases, const AmplitudeChoice& amplitude);

/// The results entry of an image (name and binning included), as Save Results and
/// kestrel-cli's --csv write it.
tImageData resultsEntry(const std::string& name, const ImageOutcome& outcome);

/// What the phase search of one 16-bit image came to.
struct PhaseOutcome {
    enum class Result {
        found,      // `search` holds the phase and the scores
        unreadable, // the file could not be opened (`message`)
        noHeader,   // no readable FITS header (the reader's boxes, if any, in `reports`)
        notType,    // not a 16-bit unsigned image (its box is in `reports`)
        notOneImage, // not one plain image in the primary HDU (`message`, also in `reports`)
        otherWidth, // not a sensor width: nothing done, no message
        loadFailed, // the pixels could not be read (the loader's box is in `reports`)
        failed,     // the search failed (`message`, also in `reports`)
    };
    Result result = Result::failed;
    std::string binning;
    Binning bands = Binning::unbinned;
    PhaseSearch search;
    std::string message;
    /// The boxes of the search, in order, as for an image of a batch.
    std::vector<BoxReport> reports;
    /// When found: the band contrast and significance of every candidate phase; empty,
    /// with the reason, when they could not be measured.
    std::vector<BandContrast> contrasts;
    std::string contrastFailure;
    /// The found phase's contrast, when measured.
    const BandContrast* chosen() const;
    /// A float frame's search: the phase is its strongest contrast, there are no scores.
    bool fromFloat = false;
    /// The frames whose contrasts were combined into this outcome (combinedPhases).
    std::size_t frames = 1;
};

/// The phase search of the image whose header was just read: its size, type and width
/// are checked, its pixels loaded, its background estimated and the phase searched
/// (findBandPhase); a failure of the search is reported "... in function findPhase16.".
/// With `floatFrames`, a 32-bit float image is searched too: its pixels loaded, its
/// background estimated, and the phase the strongest of floatPhaseContrasts, with the
/// bounds of its amplitude; a failure is reported "... in function findPhaseFloat32.".
PhaseOutcome searchLoadedPhase(Workspace& ws, bool floatFrames = false);

/// The search of 16-bit samples already in int16Pixels (imageWidth x imageHeight), whose
/// binning `out.bands` holds: the steps of searchLoadedPhase after the load, their
/// outcome and reports as there.
void searchPixelsPhase(Workspace& ws, PhaseOutcome& out);

/// The whole search of one file, away from the user: header, search, and every box it
/// asked for in the outcome's reports; a file that cannot be opened is `unreadable`.
PhaseOutcome searchFilePhase(const std::filesystem::path& input, bool floatFrames = false);

/// The found outcomes of several frames searched together, one per binning in the order
/// the binnings first come: the contrasts of its frames combined (combinedContrasts),
/// the phase the strongest of them, `frames` how many took part. An outcome without
/// contrasts takes no part.
std::vector<PhaseOutcome> combinedPhases(const std::vector<PhaseOutcome>& found);

/// Stores a found phase under its binning's key of the settings file. Throws a Failure
/// when the file cannot be written.
void storePhase(const std::filesystem::path& settingsFile, Binning bands, std::int32_t phase);

} // namespace kestrel
