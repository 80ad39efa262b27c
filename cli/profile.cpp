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
const plot::Colour referenceShade{0.89, 0.93, 0.98};
const plot::Colour offsetShade{0.99, 0.94, 0.86};

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

plot::Chart profileChart(const std::string& name, const std::string& binning, const BandProfile& p, double amplitude)
{
    plot::Chart chart;
    chart.title = name + ": band profile";
    chart.subtitle = binning + ", phase " + std::to_string(p.phase) + ", columns " + std::to_string(p.columns.first) +
                     " to " + std::to_string(p.columns.last) + "; amplitude " + threeDecimals(amplitude) +
                     " ADU, residual " + threeDecimals(p.residual.amplitude) + " ADU";
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

plot::Chart scoresChart(const std::string& name, const PhaseOutcome& found, double margin)
{
    const PhaseSearch& s = found.search;
    const std::int32_t period = static_cast<std::int32_t>(s.scores.size());
    plot::Chart chart;
    chart.title = name + ": phase scores";
    chart.subtitle = found.binning + ", phase " + std::to_string(s.phase) + ", margin " + threeDecimals(margin) +
                     " (1 a sharp band edge, 0 a tie)";
    chart.xLabel = "candidate phase (first column of the brighter band)";
    chart.yLabel = "score: sum of 101 band window means (ADU)";
    periodAxis(chart, period);
    std::vector<double> scores(s.scores.begin(), s.scores.end());
    chart.series = {{"score", positions(period), scores, beforeColour, plot::MarkerShape::circle}};
    chart.marks = {{static_cast<double>(s.phase), scores[static_cast<std::size_t>(s.phase)],
                    "phase " + std::to_string(s.phase), markColour}};
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

void printProfile(const FileResult& file, const BandProfile& p)
{
    std::cout << fieldText(file.name) << "\t" << file.outcome.binning << "\tphase " << p.phase << "\tcolumns "
              << p.columns.first << " to " << p.columns.last << "\n"
              << "position\tbefore\tafter\n";
    for (std::size_t q = 0; q < p.before.size(); ++q)
        std::cout << q << "\t" << threeDecimals(p.before[q]) << "\t" << threeDecimals(p.after[q]) << "\n";
    std::cout << "amplitude\t" << threeDecimals(file.outcome.amplitude.value_or(0)) << "\tresidual\t" << threeDecimals(p.residual.amplitude)
              << "\n";
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
        const ProfileResult out = profileOne(o.files[i], phases, o.amplitude);
        for (const auto& m : out.file.messages)
            std::cerr << o.files[i].filename().string() << ": " << m << "\n";
        if (i > 0)
            std::cout << "\n";
        if (out.file.status != FileResult::Status::corrected) {
            // The correction's own line says why: skipped or failed, and the values read.
            std::cout << out.file.line() << "\n" << std::flush;
            status = 1;
            continue;
        }
        printProfile(out.file, out.profile);
        std::cout << std::flush;
        if (o.plot && !drawn(profileChart(out.file.name, out.file.outcome.binning, out.profile,
                                          out.file.outcome.amplitude.value_or(0)),
                             *o.plot))
            status = 1;
    }
    return status;
}

int showPhaseScores(const Options& o, const PhaseResult& found)
{
    if (!found.outcome)
        return 0;
    const PhaseSearch& s = found.outcome->search;
    double margin = 0;
    try {
        margin = phaseMargin(s.scores, s.phase, bandGeometry(found.outcome->bands).window);
    } catch (const std::exception& e) {
        std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
        return 1;
    }
    if (o.scores) {
        for (std::size_t p = 0; p < s.scores.size(); ++p)
            std::cout << p << "\t" << threeDecimals(static_cast<double>(s.scores[p])) << "\n";
        std::cout << "margin\t" << threeDecimals(margin) << "\n" << std::flush;
    }
    if (o.plot && !drawn(scoresChart(o.files.front().filename().string(), *found.outcome, margin), *o.plot))
        return 1;
    return 0;
}

} // namespace kestrel::cli
