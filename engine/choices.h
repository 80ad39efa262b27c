// What a user chooses for a run, checked by one rule whichever front end took it (the
// window's fields, kestrel-cli's options, the Python module's arguments), and what the
// user can do about a refusal, named in each front end's own words.
#pragma once

#include "correction/correction.h"
#include "engine/steps.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

/// Why a typed amplitude cannot be added to an image.
enum class AmplitudeFault {
    none,
    notANumber, // NaN or infinite
    notAbove0,  // 0 or below: the window's "Amphlitude must be greater than 0.0."
};
AmplitudeFault amplitudeFault(double typed);
/// The fault in words, to follow the amplitude as the front end names it
/// ("--amplitude: '0' is not above 0 ADU"); empty for none.
std::string amplitudeFaultText(AmplitudeFault fault);

/// The phase fields of a run that is not the window's: each phase as given, else as the
/// settings file keeps it (empty when it keeps none, which the run then reports as
/// missing). "auto" takes each frame's own phase; `check` refuses a phase a frame's own
/// banding contradicts. Throws a Failure when the settings file cannot be read.
PhaseFields phaseFieldsFrom(const std::optional<std::string>& given1x1, const std::optional<std::string>& given2x2,
                            const std::filesystem::path& settingsFile, bool check);

/// The folder that receives the corrected files of the frames in `folder` when no other
/// is given: kestrel/ in it.
std::filesystem::path outputFolderIn(const std::filesystem::path& folder);
/// That of a run's first input, `input`.
std::filesystem::path defaultOutputFolder(const std::filesystem::path& input);

/// A choice that takes a run past a refusal.
enum class Remedy {
    overwrite,      // replace the originals
    replaceOutputs, // replace a file of the output's name that is no earlier correction
    force,          // correct again what an interrupted run corrected already
    phase1x1,       // give the unbinned phase (the value: the phase, or "N")
    phase2x2,       // give the 2x2-binned phase
    noPhaseCheck,   // leave the frame's own banding unchecked
};
/// A front end's name of a remedy with its value: "--phase-1x1 8", "phase_1x1=8"; empty
/// where the front end offers no such choice (a watch never overwrites).
using RemedyWords = std::function<std::string(Remedy remedy, const std::string& value)>;

/// Adds to the message of a refused or skipped outcome what the user can give instead
/// ("; give --overwrite to replace originals"); other outcomes stay as they are.
void nameRemedy(ImageOutcome& outcome, const RemedyWords& words);

/// What to do about the missing phase of an outcome skipped for it (Skip::badPhase):
/// "Give it with --phase-1x1 N or set it in the settings file FILE."; empty for any
/// other outcome.
std::string missingPhaseHint(const ImageOutcome& outcome, const RemedyWords& words,
                             const std::filesystem::path& settingsFile);

/// The output folder of a run, made with the folders above it that are missing, and
/// taken away again by removeIfEmpty when the run left it empty: a run that corrected
/// nothing leaves no trace.
class MadeFolder {
public:
    /// Makes `folder` where it is missing. `failure` says why it could not be made.
    explicit MadeFolder(const std::filesystem::path& folder);
    /// "cannot create the output folder FOLDER: WHY", or nothing when it is there.
    const std::optional<std::string>& failure() const { return failure_; }
    /// Removes the folders this made, from the output folder up, while they are empty.
    void removeIfEmpty() const;

private:
    std::filesystem::path folder_;
    std::optional<std::filesystem::path> madeFrom_; // the highest folder made
    std::optional<std::string> failure_;
};

} // namespace kestrel
