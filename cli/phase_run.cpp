#include "cli/phase_run.h"

#include "charts/band_charts.h"
#include "cli/output.h"
#include "cli/run.h"
#include "core/report.h"
#include "engine/steps.h"

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

namespace kestrel::cli {
namespace {

/// A warning on standard error when the found phase does not stand out from the noise,
/// naming the phase where the contrast does, if any: a sky gradient favours the
/// candidates whose windows lie further up the slope, while the contrast cancels it.
void warnOfAWeakPhase(const std::string& name, const PhaseOutcome& found)
{
    const BandContrast* c = found.chosen();
    if (!c || c->significance >= significantContrast)
        return;
    std::cerr << name << ": phase " << found.search.phase
              << " does not stand out from the noise: its band contrast of " << threeDecimals(c->contrast)
              << " ADU is " << significanceText(c->significance) << " times its standard error of "
              << threeDecimals(c->standardError) << " ADU; a phase to trust reads 5 or more";
    const BandContrast* peak = c;
    for (const BandContrast& other : found.contrasts)
        if (other.significance > peak->significance)
            peak = &other;
    if (peak->significance >= significantContrast)
        std::cerr << "; the contrast peaks at phase " << peak->phase << " (significance "
                  << significanceText(peak->significance) << ")";
    std::cerr << "\n";
}

void printScores(const PhaseOutcome& found)
{
    const PhaseSearch& s = found.search;
    std::cout << "phase\tscore\tcontrast\tsignificance\n";
    // A float frame's search has no scores: its phase is the strongest contrast.
    for (std::size_t p = 0; p < std::max(s.scores.size(), found.contrasts.size()); ++p) {
        std::cout << p << "\t" << (p < s.scores.size() ? threeDecimals(static_cast<double>(s.scores[p])) : "");
        if (p < found.contrasts.size())
            std::cout << "\t" << threeDecimals(found.contrasts[p].contrast) << "\t"
                      << significanceText(found.contrasts[p].significance);
        else
            std::cout << "\t\t";
        std::cout << "\n";
    }
    std::cout << std::flush;
}

/// After a found phase: a warning when it does not stand out from the noise, every
/// candidate's score, contrast and significance (--scores) and the plot of the
/// contrasts (--plot), under the frame's `name`. Returns 0, or 1 when the plot could not
/// be written.
int showPhaseScores(const Options& o, const std::string& name, const PhaseOutcome& found)
{
    if (found.result != PhaseOutcome::Result::found)
        return 0;
    warnOfAWeakPhase(name, found);
    if (o.scores)
        printScores(found);
    if (!o.plot)
        return 0;
    if (found.contrasts.empty()) {
        std::cerr << "kestrel-cli: no plot: the significance of the phase could not be measured\n";
        return 1;
    }
    return drawn(contrastChart(name, found), *o.plot) ? 0 : 1;
}

/// Whether phase --save may store the found phase: it stands out from the noise, or
/// --force says to store it anyway. Says why not on standard error.
bool phaseMayBeStored(const Options& o, const PhaseOutcome& found)
{
    const BandContrast* c = found.chosen();
    if (o.force || (c && c->significance >= significantContrast))
        return true;
    std::cerr << "kestrel-cli: phase " << found.search.phase << " was not stored: "
              << (c ? "its significance is " + significanceText(c->significance) + ", below 5"
                    : std::string("its significance could not be measured"))
              << "; --force stores it anyway\n";
    return false;
}

/// Prints the found phase's line, its warning, scores and plot, and stores it with
/// --save: the status of that much.
int finishPhase(const Options& o, const kestrel::FileLocations& where, const std::string& name,
                const PhaseOutcome& out, const std::string& line)
{
    std::cout << line << "\n" << std::flush;
    // A phase that nobody could read is not stored either.
    if (outputError())
        return 1;
    const int shown = showPhaseScores(o, name, out);
    if (o.save) {
        // A phase that was not stored must not let a script go on to correct a night
        // with the old one.
        if (!phaseMayBeStored(o, out))
            return 1;
        try {
            storePhase(where.settingsFile, out.bands, out.search.phase);
        } catch (const std::exception& e) {
            std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
            return 1;
        }
    }
    return shown;
}

/// One file searched, its reports on standard error: the outcome.
PhaseOutcome searchedFile(const std::filesystem::path& input)
{
    PhaseOutcome out = searchFilePhase(input, true);
    if (out.result == PhaseOutcome::Result::unreadable)
        std::cerr << input.filename().string() << ": " << out.message << "\n";
    reportBoxes(input, out.reports,
                out.contrastFailure.empty()
                    ? std::string()
                    : "the significance of the phase could not be measured: " + out.contrastFailure);
    return out;
}

} // namespace

int runPhase(const Options& o, const kestrel::FileLocations& where)
{
    // One 16-bit frame: the finder's phase, as the window finds it.
    std::vector<PhaseOutcome> found;
    std::vector<std::string> names;
    int status = 0;
    for (const std::filesystem::path& input : o.files) {
        PhaseOutcome out = searchedFile(input);
        if (o.files.size() == 1 && !out.fromFloat) {
            if (out.result != PhaseOutcome::Result::found) {
                std::cout << phaseLine(input, out) << "\n" << std::flush;
                return 1;
            }
            return finishPhase(o, where, input.filename().string(), out, phaseLine(input, out));
        }
        if (out.result != PhaseOutcome::Result::found || out.contrasts.empty()) {
            std::cout << phaseLine(input, out) << "\n" << std::flush;
            status = 1;
            continue;
        }
        found.push_back(std::move(out));
        names.push_back(input.filename().string());
    }
    // Frames of one binning together: their contrasts combined, one line for each binning.
    std::vector<PhaseOutcome> groups;
    if (const auto failure = caughtFailure([&] { groups = combinedPhases(found); })) {
        std::cerr << "kestrel-cli: the frames' contrasts could not be combined: " << *failure << "\n";
        return 1;
    }
    if (o.plot && groups.size() > 1) {
        std::cerr << "kestrel-cli: --plot draws the contrasts of one binning; the frames are of both: give those "
                     "of one\n";
        return 1;
    }
    for (const PhaseOutcome& group : groups) {
        std::string name = "combined";
        for (std::size_t i = 0; group.frames == 1 && i < found.size(); ++i)
            if (found[i].bands == group.bands)
                name = names[i];
        status = std::max(status, finishPhase(o, where, name, group, combinedPhaseLine(name, group)));
    }
    return status;
}

} // namespace kestrel::cli
