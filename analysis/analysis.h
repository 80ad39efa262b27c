// Band analysis: the sorts, the background level as a low-percentile mean, and the
// band phase finder. The kernels take views of the pixels and know nothing of files or
// of the window; the workspace routines below them report their own failures.
#pragma once

#include "analysis/band_geometry.h"
#include "core/failure.h"
#include "core/image_view.h"
#include "fits/workspace.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrel {

// ---- Kernels: pure functions of their inputs; failures are thrown ------------------

/// The background level: the mean of the sorted samples at positions Round(0.002 (N-1))
/// to Round(F (N-1)), F = 0.01 for 16-bit samples and 0.1 for float samples, where the
/// float kernel leaves negative samples out. `averaged` is the number of samples in
/// that slice. The sum is formed as a sorted sum would be: the result is bit for bit
/// that of sorting a copy. A NaN sample is an invalid operation.
struct BackgroundLevel {
    double level = 0;
    std::int32_t averaged = 0;
};
/// Thrown (as a range failure) when there is no sample to average at all.
class NoBackgroundSamples : public Failure {
public:
    NoBackgroundSamples() : Failure(messages::rangeError) {}
};
BackgroundLevel backgroundLevel(std::span<const std::uint16_t> samples);
BackgroundLevel backgroundLevel(std::span<const float> samples);

/// The samples the phase finder counts lie strictly between these limits: 0.75 and
/// 1.333 times the background (1.33 when 2x2-binned), each rounded to double.
struct PhaseLimits {
    double lower = 0;
    double upper = 0;
};
PhaseLimits phaseLimits(Binning binning, double background);

/// Adds to scores[p] (one entry per candidate phase, 32 or 16) the mean of the in-range
/// samples of the band window at column b x period + p, for the 101 blocks b in order.
/// A window without an in-range sample is an invalid operation; the scores of the
/// blocks before it are kept. The image must be at least 101 periods and a window wide.
void addPhaseScores(ImageView<const std::uint16_t> image, Binning binning, PhaseLimits limits,
                    std::span<long double> scores);

/// The candidate phase with the largest score, the lowest of equal ones. The running
/// maximum is held as a double, so scores that differ only beyond a double's precision
/// count as equal.
std::int32_t bestPhase(std::span<const long double> scores);

/// The whole search: the phase and the score of every candidate.
struct PhaseSearch {
    std::int32_t phase = 0;
    std::vector<long double> scores;
    PhaseLimits limits;
};
PhaseSearch findBandPhase(ImageView<const std::uint16_t> image, Binning binning, double background);

// ---- Workspace routines: failures reported in boxes ----------------------------------

/// Background level of the current image. Reports a failure in an error box "... in
/// function getBackgroundFlux." and then returns 0; an image without a sample to
/// average shows the box of the sort that the window always made first ("... in
/// procedure QuickSort16." or "... in procedure QuickSort.").
double getBackgroundFlux(Workspace& ws, SampleType type);
/// As getBackgroundFlux, with the same boxes, but none where it would return its 0 after
/// a failure, so that a front end can tell a failed measurement from a black sky.
std::optional<double> measuredBackgroundFlux(Workspace& ws, SampleType type);

} // namespace kestrel
