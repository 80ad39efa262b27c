#include "cli/profile.h"

#include "charts/band_charts.h"
#include "plot/plot.h"

#include <algorithm>
#include <iostream>
#include <string>

namespace kestrel::cli {
namespace {

/// Draws the chart into the file of --plot; false after a failure, which it reports.
bool drawn(const plot::Chart& chart, const std::filesystem::path& file)
{
    try {
        plot::writeChart(chart, file);
        return true;
    } catch (const std::exception& e) {
        std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
        return false;
    }
}

void printProfile(const std::string& name, const ImageOutcome& outcome, const BandProfile& p, bool balanced)
{
    std::cout << fieldText(name) << "\t" << outcome.binning << "\tphase " << p.phase << "\tcolumns "
              << p.columns.first << " to " << p.columns.last;
    // Where the frame's own banding is strongest, beside the phase it is profiled at.
    if (outcome.ownPhase)
        std::cout << "\town phase " << outcome.ownPhase->phase << "\tsignificance "
                  << significanceText(outcome.ownPhase->significance);
    std::cout << "\n"
              << "position\tbefore\tafter\n";
    for (std::size_t q = 0; q < p.before.size(); ++q)
        std::cout << q << "\t" << threeDecimals(p.before[q]) << "\t" << threeDecimals(p.after[q]) << "\n";
    std::cout << "amplitude\t" << threeDecimals(outcome.amplitude.value_or(0)) << "\testimator\t"
              << estimatorName(outcome, balanced) << "\n"
              << "residual\t" << threeDecimals(p.residual.amplitude) << "\tphase\t" << p.residual.phase << "\tnoise\t"
              << threeDecimals(p.residual.noise) << "\n";
}

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

} // namespace

int runProfile(const Options& o, const std::filesystem::path& settingsFile)
{
    const std::optional<PhaseFields> phases = phaseFieldsFor(o, settingsFile);
    if (!phases)
        return 1;
    int status = 0;
    for (std::size_t i = 0; i < o.files.size(); ++i) {
        ImageResult file;
        file.input = o.files[i];
        const ProfileOutcome out = profileFile(o.files[i], *phases, {o.amplitude, o.balancedEstimator});
        file.outcome = out.image;
        reportBoxes(file.input, file.outcome, settingsFile);
        if (i > 0)
            std::cout << "\n";
        if (file.outcome.result != ImageOutcome::Result::corrected) {
            // The correction's own line says why: skipped or failed, and the values read.
            std::cout << resultLine(file, false) << "\n" << std::flush;
            status = 1;
            continue;
        }
        const std::string name = file.input.filename().string();
        printProfile(name, file.outcome, out.profile, o.balancedEstimator);
        std::cout << std::flush;
        if (o.plot && !drawn(profileChart(name, file.outcome, out.profile, o.balancedEstimator), *o.plot))
            status = 1;
    }
    return status;
}

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

void noteEstimators(const Options& o)
{
    if (!o.verify)
        return;
    std::cerr << "kestrel-cli: "
              << (o.amplitude != 0 ? std::string("amplitudes typed")
                                   : std::string("amplitudes measured by the ") +
                                         (o.balancedEstimator ? "balanced" : "standard") + " estimator")
              << "; residual: the largest balanced amplitude left at any phase\n";
}

} // namespace kestrel::cli
