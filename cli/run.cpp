#include "cli/run.h"

#include "charts/band_charts.h"
#include "core/numbers.h"
#include "settings/settings.h"

#include <cmath>
#include <iostream>
#include <utility>

namespace kestrel::cli {
namespace {

std::string joinFields(const std::vector<std::string>& fields)
{
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i)
            line += '\t';
        line += fields[i];
    }
    return line;
}

/// The outcome's own words for an image that was not corrected: why it was skipped, or
/// the failure's report. What the routines showed in boxes is on standard error.
std::string reasonOf(const ImageOutcome& o) { return o.message.empty() ? std::string("image not measured") : o.message; }

} // namespace

std::string fieldText(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// An outcome names paths, on Windows full of backslashes: it is written as standard
// error shows it, and escaped as a name is only where a tab or a line end in it would
// break the line into more fields.
std::string messageText(std::string_view text)
{
    return text.find_first_of("\t\n\r") == std::string_view::npos ? std::string(text) : fieldText(text);
}

std::string resultLine(const ImageResult& r, bool verify)
{
    const ImageOutcome& o = r.outcome;
    std::string temperature, amplitude;
    if (o.handed() && o.result != ImageOutcome::Result::corrected) {
        temperature = "Failed";
    } else if (o.result == ImageOutcome::Result::corrected) {
        temperature = std::to_string(o.temperature.value_or(0));
        amplitude = formatFixedTrimmed(o.amplitude.value_or(0), 3, 7);
    }
    const std::string result = o.result == ImageOutcome::Result::corrected ? std::string("corrected")
                               : o.result == ImageOutcome::Result::skipped ? "skipped: " + o.message
                                                                           : "failed: " + reasonOf(o);
    std::vector<std::string> fields{fieldText(r.input.filename().string()),
                                    o.binning,
                                    o.background ? formatFixedTrimmed(*o.background, 2) : "",
                                    o.exposure ? std::to_string(*o.exposure) : "",
                                    temperature,
                                    amplitude,
                                    messageText(result)};
    if (verify) {
        // The phase corrected at, and the frame's own strongest phase and how far it
        // stands out, so that a stale phase shows beside the residual it leaves.
        const bool corrected = o.result == ImageOutcome::Result::corrected;
        fields.push_back(r.residual ? threeDecimals(r.residual->amplitude) : "");
        fields.push_back(corrected ? std::to_string(o.phase) : "");
        fields.push_back(o.ownPhase ? std::to_string(o.ownPhase->phase) : "");
        fields.push_back(o.ownPhase ? significanceText(o.ownPhase->significance) : "");
    }
    return joinFields(fields);
}

bool succeeded(const ImageResult& r, bool verify)
{
    // A file an interrupted run corrected already is as it should be.
    return (r.outcome.result == ImageOutcome::Result::corrected && (!verify || r.residual)) ||
           r.outcome.skip == ImageOutcome::Skip::correctedBefore;
}

void reportBoxes(const std::filesystem::path& input, const std::vector<BoxReport>& reports, const std::string& hint)
{
    const std::string name = input.filename().string();
    std::string lines;
    for (const BoxReport& box : reports)
        lines += name + ": " + (box.kind == BoxKind::general ? generalErrorText(box.text) : box.text) + "\n";
    if (!hint.empty())
        lines += name + ": " + hint + "\n";
    std::cerr << lines;
}

RemedyWords optionWords(Options::Command command)
{
    const bool correct = command == Options::Command::correct;
    return [correct](Remedy remedy, const std::string& value) -> std::string {
        switch (remedy) {
        case Remedy::overwrite:
            return correct ? "--overwrite" : "";
        case Remedy::replaceOutputs:
            return correct ? "--replace-outputs" : "";
        case Remedy::force:
            return correct ? "--force" : "";
        case Remedy::phase1x1:
            return "--phase-1x1 " + value;
        case Remedy::phase2x2:
            return "--phase-2x2 " + value;
        case Remedy::noPhaseCheck:
            break;
        }
        return "--no-phase-check";
    };
}

void reportBoxes(const std::filesystem::path& input, const ImageOutcome& outcome,
                 const std::filesystem::path& settingsFile)
{
    reportBoxes(input, outcome.reports, missingPhaseHint(outcome, optionWords(Options::Command::correct), settingsFile));
}

std::optional<PhaseFields> phaseFieldsFor(const Options& o, const std::filesystem::path& settingsFile)
{
    try {
        PhaseFields fields = phaseFieldsFrom(o.phase1x1, o.phase2x2, settingsFile,
                                             o.command != Options::Command::profile && !o.noPhaseCheck);
        fields.showOwn = o.verify || o.command == Options::Command::profile;
        return fields;
    } catch (const std::exception& e) {
        std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
        return std::nullopt;
    }
}

std::string phaseLine(const std::filesystem::path& input, const PhaseOutcome& outcome)
{
    const std::string name = fieldText(input.filename().string()) + "\t";
    switch (outcome.result) {
    case PhaseOutcome::Result::found: {
        const BandContrast* chosen = outcome.chosen();
        return name + outcome.binning + "\t" + std::to_string(outcome.search.phase) + "\t" +
               (chosen ? significanceText(chosen->significance) : std::string());
    }
    case PhaseOutcome::Result::noHeader:
        return name + "\t\t\tskipped: " + outcome.message;
    case PhaseOutcome::Result::unreadable:
        return name + "\t\t\tfailed: " + messageText(outcome.message);
    case PhaseOutcome::Result::notType:
    case PhaseOutcome::Result::notOneImage:
    case PhaseOutcome::Result::otherWidth:
        return name + outcome.binning + "\t\t\tskipped: " + outcome.message;
    case PhaseOutcome::Result::loadFailed:
    case PhaseOutcome::Result::failed:
        break;
    }
    return name + outcome.binning + "\t\t\tfailed: " + messageText(outcome.message);
}

std::string combinedPhaseLine(const std::string& name, const PhaseOutcome& group)
{
    const BandContrast* chosen = group.chosen();
    return fieldText(name) + "\t" + group.binning + "\t" + std::to_string(group.search.phase) + "\t" +
           (chosen ? significanceText(chosen->significance) : std::string()) + "\t" + std::to_string(group.frames);
}

} // namespace kestrel::cli
