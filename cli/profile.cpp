#include "cli/profile.h"

#include "plot/plot.h"

#include <iostream>
#include <string>

namespace kestrel::cli {
namespace {

// A blue and an orange that stay apart for the colour-blind and in grey print.
const plot::Colour beforeColour{0.12, 0.47, 0.71};
const plot::Colour afterColour{0.85, 0.37, 0.01};
const plot::Colour markColour{0.70, 0.08, 0.10};
const plot::Colour runnerUpColour{0.40, 0.40, 0.40};
const plot::Colour thresholdColour{0.45, 0.45, 0.45};
const plot::Colour referenceShade{0.89, 0.93, 0.98};
const plot::Colour offsetShade{0.99, 0.94, 0.86};

static_assert(significantContrast == 5.0, "the messages below, --help and the manual say 5");

std::vector<double> positions(std::int32_t count)
{
    std::vector<double> x;
    for (std::int32_t p = 0; p < count; ++p)
        x.push_back(p);
    return x;
}

/// The x axis of one band period: positions 0 .. period - 1, ticks every eighth.
void periodAxis(plot::Chart& chart, std::int32_t period)
{
    chart.xMin = -1;
    chart.xMax = period;
    chart.xTickStep = period / 8;
}

/// How the amplitude applied came about: typed, or measured by one of the estimators.
std::string estimatorName(const ImageOutcome& outcome, bool balanced)
{
    if (!outcome.measured)
        return "typed";
    return balanced ? "balanced" : "standard";
}

plot::Chart profileChart(const std::string& name, const ImageOutcome& outcome, const BandProfile& p, bool balanced)
{
    const std::string estimator = estimatorName(outcome, balanced);
    plot::Chart chart;
    chart.title = name + ": residual " + threeDecimals(p.residual.amplitude) + " ADU at phase " +
                  std::to_string(p.residual.phase);
    chart.subtitle = "band profile, " + outcome.binning + ", phase " + std::to_string(p.phase) + ", columns " +
                     std::to_string(p.columns.first) + " to " + std::to_string(p.columns.last) + "; amplitude " +
                     threeDecimals(outcome.amplitude.value_or(0)) + " ADU (" + estimator +
                     (estimator == "typed" ? "" : " estimator") + "); noise " +
                     threeDecimals(p.residual.noise) + " ADU";
    chart.xLabel = "position in the band period, counted from the phase (column " + std::to_string(p.phase) + " + " +
                   std::to_string(p.period) + " k)";
    chart.yLabel = "mean level (ADU)";
    periodAxis(chart, p.period);
    const double edge = p.window - 0.5;
    chart.shades = {{-0.5, edge, "reference band", referenceShade}, {edge, p.period - 0.5, "offset band", offsetShade}};
    chart.series = {{"before correction", positions(p.period), p.before, beforeColour, plot::MarkerShape::ring},
                    {"after correction", positions(p.period), p.after, afterColour, plot::MarkerShape::square}};
    chart.marks = {{-0.5, std::nullopt, "phase " + std::to_string(p.phase), markColour}};
    return chart;
}

plot::Chart contrastChart(const std::string& name, const PhaseOutcome& found)
{
    const PhaseOutcome& outcome = found;
    const std::int32_t period = static_cast<std::int32_t>(found.contrasts.size());
    const std::int32_t chosen = outcome.search.phase;
    const std::int32_t second = runnerUpPhase(outcome.search.scores, chosen);
    std::vector<double> contrast, threshold;
    for (const BandContrast& c : found.contrasts) {
        contrast.push_back(c.contrast);
        threshold.push_back(significantContrast * c.standardError);
    }
    auto describe = [&](std::int32_t phase) {
        const BandContrast& c = found.contrasts[static_cast<std::size_t>(phase)];
        return "contrast " + threeDecimals(c.contrast) + " ADU, significance " + significanceText(c.significance);
    };

    plot::Chart chart;
    chart.title = name + ": band contrast by phase";
    chart.subtitle = outcome.binning + ", phase " + std::to_string(chosen) + ": " + describe(chosen);
    chart.xLabel = "candidate phase (first column of the brighter band)";
    chart.yLabel = "band contrast (ADU)";
    periodAxis(chart, period);
    chart.series = {{"contrast", positions(period), contrast, beforeColour, plot::MarkerShape::circle},
                    {"5 standard errors", positions(period), threshold, thresholdColour, plot::MarkerShape::none}};
    chart.marks = {{static_cast<double>(chosen), contrast[static_cast<std::size_t>(chosen)],
                    "phase " + std::to_string(chosen), markColour}};
    if (second >= 0) {
        chart.subtitle += "; runner-up " + std::to_string(second) + ": " + describe(second);
        chart.marks.push_back({static_cast<double>(second), contrast[static_cast<std::size_t>(second)],
                               "runner-up " + std::to_string(second), runnerUpColour});
    }
    return chart;
}

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
              << p.columns.first << " to " << p.columns.last << "\n"
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
    for (std::size_t p = 0; p < s.scores.size(); ++p) {
        std::cout << p << "\t" << threeDecimals(static_cast<double>(s.scores[p]));
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
    PhaseFields phases;
    try {
        phases = phaseFieldsFor(o, settingsFile);
    } catch (const std::exception& e) {
        std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
        return 1;
    }
    int status = 0;
    for (std::size_t i = 0; i < o.files.size(); ++i) {
        ImageResult file;
        file.input = o.files[i];
        const ProfileOutcome out = profileFile(o.files[i], phases, {o.amplitude, o.balancedEstimator});
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

int showPhaseScores(const Options& o, const PhaseOutcome& found)
{
    if (found.result != PhaseOutcome::Result::found)
        return 0;
    warnOfAWeakPhase(o.files.front().filename().string(), found);
    if (o.scores)
        printScores(found);
    if (!o.plot)
        return 0;
    if (found.contrasts.empty()) {
        std::cerr << "kestrel-cli: no plot: the significance of the phase could not be measured\n";
        return 1;
    }
    return drawn(contrastChart(o.files.front().filename().string(), found), *o.plot) ? 0 : 1;
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
