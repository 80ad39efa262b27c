#include "charts/band_charts.h"

#include "core/numbers.h"

#include <algorithm>
#include <cmath>

namespace kestrel {
namespace {

// A blue and an orange that stay apart for the colour-blind and in grey print.
const plot::Colour beforeColour{0.12, 0.47, 0.71};
const plot::Colour afterColour{0.85, 0.37, 0.01};
const plot::Colour markColour{0.70, 0.08, 0.10};
const plot::Colour runnerUpColour{0.40, 0.40, 0.40};
const plot::Colour thresholdColour{0.45, 0.45, 0.45};
const plot::Colour referenceShade{0.89, 0.93, 0.98};
const plot::Colour offsetShade{0.99, 0.94, 0.86};

static_assert(significantContrast == 5.0, "the threshold's name below says 5");

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

/// The mean as a dashed level across the x axis.
plot::Series meanLevel(const plot::Chart& chart, const AmplitudeSpread& spread)
{
    return {"mean " + threeDecimals(spread.mean) + " ADU", {chart.xMin, chart.xMax}, {spread.mean, spread.mean},
            thresholdColour, plot::MarkerShape::none};
}

std::string spreadText(const AmplitudeSpread& spread, std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " image" : " images") + "; mean " + threeDecimals(spread.mean) +
           " ADU" + (spread.deviation ? ", standard deviation " + threeDecimals(*spread.deviation) + " ADU" : "");
}

} // namespace

std::string significanceText(double significance)
{
    if (std::isinf(significance))
        return significance > 0 ? "inf" : "-inf";
    const std::string text = formatFixedTrimmed(significance, 1);
    return text == "-0.0" ? "0.0" : text;
}

std::string threeDecimals(double value)
{
    const std::string text = formatFixedTrimmed(value, 3);
    return text == "-0.000" ? "0.000" : text;
}

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

std::optional<AmplitudeSpread> amplitudeSpread(const std::vector<double>& amplitudes)
{
    // Summed in extended precision, as the statistics have always been.
    std::vector<long double> used;
    for (double v : amplitudes)
        if (v != failedAmplitude)
            used.push_back(v);
    if (used.empty())
        return std::nullopt;
    long double sum = 0;
    for (long double v : used)
        sum += v;
    const long double n = static_cast<long double>(used.size());
    const long double mean = sum / n;
    AmplitudeSpread out{static_cast<double>(mean), std::nullopt};
    if (used.size() < 2)
        return out;
    long double squares = 0;
    for (long double v : used)
        squares += (v - mean) * (v - mean);
    out.deviation = static_cast<double>(std::sqrt(squares / (n - 1)));
    return out;
}

plot::Chart amplitudeOrderChart(const std::vector<RunAmplitude>& images, const AmplitudeSpread& spread)
{
    plot::Chart chart;
    chart.title = "Amplitude by image";
    chart.subtitle = spreadText(spread, images.size());
    chart.xLabel = "image, in the order of the run";
    chart.yLabel = "amplitude (ADU)";
    plot::Series points{"amplitude", {}, {}, beforeColour, plot::MarkerShape::circle};
    int last = 1;
    for (const RunAmplitude& image : images) {
        points.x.push_back(image.number);
        points.y.push_back(image.amplitude);
        last = std::max(last, image.number);
    }
    chart.xMin = 0;
    chart.xMax = last + 1;
    if (last <= 16)
        chart.xTickStep = 1;
    chart.series = {points, meanLevel(chart, spread)};
    return chart;
}

std::optional<plot::Chart> amplitudeTemperatureChart(const std::vector<RunAmplitude>& images,
                                                     const AmplitudeSpread& spread)
{
    plot::Series points{"amplitude", {}, {}, afterColour, plot::MarkerShape::square};
    points.joined = false;
    for (const RunAmplitude& image : images)
        if (image.temperature) {
            points.x.push_back(*image.temperature);
            points.y.push_back(image.amplitude);
        }
    if (points.x.empty())
        return std::nullopt;
    const auto [low, high] = std::minmax_element(points.x.begin(), points.x.end());
    plot::Chart chart;
    chart.title = "Amplitude by CCD temperature";
    chart.subtitle = spreadText(spread, images.size()) + "; " + std::to_string(points.x.size()) + " with a temperature";
    chart.xLabel = "CCD temperature (degrees C)";
    chart.yLabel = "amplitude (ADU)";
    // A degree of room on either side; whole degrees, as the header is read.
    chart.xMin = *low - 1;
    chart.xMax = *high + 1;
    if (*high - *low <= 12)
        chart.xTickStep = 1;
    chart.series = {points, meanLevel(chart, spread)};
    return chart;
}

} // namespace kestrel
