// The charts of what a run measured, as kestrel-cli writes them and the window shows
// them: an image's band profile before and after its correction, the band contrast of
// every candidate phase, and the amplitudes of a batch. The caller draws or writes them
// (plot/).
#pragma once

#include "engine/steps.h"
#include "plot/plot.h"

#include <optional>
#include <string>
#include <vector>

namespace kestrel {

/// A significance with one decimal; "inf" or "-inf" for a band measured without noise.
std::string significanceText(double significance);

/// A level or amplitude with three decimals. A value that rounds to zero reads
/// 0.000: a residual of -0.0004 is no sign of over-correction.
std::string threeDecimals(double value);

/// How the amplitude applied came about: "typed", or the estimator that measured it,
/// "balanced" or "standard".
std::string estimatorName(const ImageOutcome& outcome, bool balanced);

/// The band profile of image `name` before and after its correction, with the phase,
/// the amplitude applied and its estimator, and the residual with its phase and noise.
plot::Chart profileChart(const std::string& name, const ImageOutcome& outcome, const BandProfile& p, bool balanced);

/// The band contrast of every candidate phase of a found phase, its threshold of five
/// standard errors, the phase and the runner-up marked. Needs the contrasts measured.
plot::Chart contrastChart(const std::string& name, const PhaseOutcome& found);

/// One image of a batch as the amplitude charts show it: its place in input order
/// (from 1), its amplitude and its CCD temperature.
struct RunAmplitude {
    int number = 0;
    double amplitude = 0;
    std::optional<double> temperature;
};

/// The mean and the standard deviation of a batch's amplitudes, the failed markers left
/// out, as the window's statistics show them; nothing without an amplitude, no
/// deviation for fewer than two.
struct AmplitudeSpread {
    double mean = 0;
    std::optional<double> deviation;
};
std::optional<AmplitudeSpread> amplitudeSpread(const std::vector<double>& amplitudes);

/// The amplitude of each image in input order, with the mean as a dashed level.
plot::Chart amplitudeOrderChart(const std::vector<RunAmplitude>& images, const AmplitudeSpread& spread);

/// The amplitude of each image against its CCD temperature (images without one are left
/// out), with the mean as a dashed level. Nothing when no image has a temperature.
std::optional<plot::Chart> amplitudeTemperatureChart(const std::vector<RunAmplitude>& images,
                                                     const AmplitudeSpread& spread);

} // namespace kestrel
