#include "engine/choices.h"

#include "settings/settings.h"

#include <cmath>
#include <system_error>

namespace kestrel {

AmplitudeFault amplitudeFault(double typed)
{
    if (!std::isfinite(typed))
        return AmplitudeFault::notANumber;
    return typed > 0 ? AmplitudeFault::none : AmplitudeFault::notAbove0;
}

std::string amplitudeFaultText(AmplitudeFault fault)
{
    switch (fault) {
    case AmplitudeFault::notANumber:
        return "is not a number";
    case AmplitudeFault::notAbove0:
        return "is not above 0 ADU";
    case AmplitudeFault::none:
        break;
    }
    return "";
}

PhaseFields phaseFieldsFrom(const std::optional<std::string>& given1x1, const std::optional<std::string>& given2x2,
                            const std::filesystem::path& settingsFile, bool check)
{
    const auto field = [&](const std::optional<std::string>& given, bool binned) {
        return given ? *given : storedPhase(settingsFile, binned).value_or("");
    };
    PhaseFields fields{field(given1x1, false), field(given2x2, true)};
    fields.autoAllowed = true;
    fields.check = check;
    return fields;
}

std::filesystem::path outputFolderIn(const std::filesystem::path& folder) { return folder / "kestrel"; }

std::filesystem::path defaultOutputFolder(const std::filesystem::path& input)
{
    return outputFolderIn(std::filesystem::absolute(input).parent_path());
}

namespace {

Remedy phaseRemedy(const ImageOutcome& outcome)
{
    return outcome.binning == binningText(Binning::binned2x2) ? Remedy::phase2x2 : Remedy::phase1x1;
}

} // namespace

void nameRemedy(ImageOutcome& outcome, const RemedyWords& words)
{
    const auto add = [&](const std::string& remedy, const std::string& text) {
        if (!remedy.empty())
            outcome.message += text;
    };
    switch (outcome.skip) {
    case ImageOutcome::Skip::replacesInput: {
        const std::string remedy = words(Remedy::overwrite, "");
        add(remedy, "; give " + remedy + " to replace originals");
        break;
    }
    case ImageOutcome::Skip::keepsExisting: {
        const std::string remedy = words(Remedy::replaceOutputs, "");
        add(remedy, "; give " + remedy + " to replace it");
        break;
    }
    case ImageOutcome::Skip::correctedBefore: {
        const std::string remedy = words(Remedy::force, "");
        add(remedy, "; " + remedy + " to correct again");
        break;
    }
    case ImageOutcome::Skip::phaseContradicted:
        if (outcome.ownPhase) {
            const std::string remedy = words(phaseRemedy(outcome), std::to_string(outcome.ownPhase->phase));
            add(remedy, "; give " + remedy + ", or " + words(Remedy::noPhaseCheck, ""));
        }
        break;
    default:
        break;
    }
}

std::string missingPhaseHint(const ImageOutcome& outcome, const RemedyWords& words,
                             const std::filesystem::path& settingsFile)
{
    if (outcome.skip != ImageOutcome::Skip::badPhase)
        return "";
    return "Give it with " + words(phaseRemedy(outcome), "N") + " or set it in the settings file " +
           settingsFile.string() + ".";
}

MadeFolder::MadeFolder(const std::filesystem::path& folder) : folder_(folder)
{
    std::error_code ec;
    for (std::filesystem::path p = std::filesystem::absolute(folder).lexically_normal();
         !p.empty() && !std::filesystem::exists(p, ec) && p != p.parent_path(); p = p.parent_path())
        madeFrom_ = p;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        failure_ = "cannot create the output folder " + folder.string() + ": " + ec.message();
        removeIfEmpty(); // the folders above it that were made on the way
        madeFrom_.reset();
    }
}

void MadeFolder::removeIfEmpty() const
{
    if (!madeFrom_)
        return;
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(folder_).lexically_normal();
    while (std::filesystem::is_empty(p, ec) && std::filesystem::remove(p, ec) && p != *madeFrom_)
        p = p.parent_path();
}

} // namespace kestrel
