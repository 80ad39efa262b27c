// How far a band stands above the noise. A band measurement compares the mean level of
// reference bands with that of offset bands; its noise is that of the columns' means,
// which scatter from column to column with the pixel noise and the columns' own
// offsets. Both are measured here on per-column totals, so one pass over an image
// serves every phase.
#pragma once

#include "analysis/analysis.h"
#include "analysis/band_geometry.h"
#include "core/image_view.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kestrel {

/// The samples one measurement counts, column by column: the sum of each column's
/// counted samples (top to bottom, in double) and how many they are.
struct ColumnSums {
    std::vector<double> sums;
    std::vector<double> counts; // whole numbers, exact in double
};

/// A band measured at one phase, against its noise. Values in ADU.
struct BandContrast {
    std::int32_t phase = 0;    // the first column of the reference bands, as given
    double contrast = 0;       // reference bands minus the offset bands between them
    double standardError = 0;  // of `contrast`, from the scatter of the columns' means
    double significance = 0;   // contrast / standardError (see balancedContrast)
    std::int32_t pairs = 0;    // offset bands measured
};

/// A contrast of at least this many standard errors stands out from the noise. The
/// chosen phase is the best of 32 (16) candidates, so on a frame without a band its
/// contrast is the top of a noise curve over the period: on a thousand synthetic frames
/// below 3.4 standard errors in 99 of 100, never 4. A real band of a few ADU reads
/// hundreds.
inline constexpr double significantContrast = 5.0;

/// The balanced estimator of a band, the amplitude a sky gradient does not bias. The
/// standard amplitude compares each reference band with the offset band just before
/// it, half a period to the left: a sky that rises by g ADU a column adds g x window to
/// it (0.8 ADU for 0.05 ADU a column, unbinned). The balanced contrast compares each
/// offset band with the mean of the reference bands on both sides of it, whose centres
/// lie as far to the left as to the right, so a linear gradient cancels.
///
/// The balanced contrast of the band pairs named by `starts`: each entry i is the first
/// column of a reference band; the offset band is the `window` columns before it and
/// the reference band before that starts at i - 2 window. Each offset band is measured
/// against the mean of the reference bands on both sides of it,
///     contrast = mean over i of (M(i - 2 window) + M(i)) / 2 - M(i - window),
/// M(x) the mean of the counted samples of the `window` columns from x (their sums over
/// their counts), so a sky level that changes linearly across the image cancels. The
/// entries must be whole periods (2 window) apart and in increasing order.
///
/// The standard error treats the columns' means as independent with one noise level
/// s, estimated from the differences of neighbouring columns inside the same band,
/// s^2 = sum (m(c+1) - m(c))^2 / (2 N) over the N such neighbours of the bands used
/// (a column without a counted sample is passed over): steps at band edges do not count
/// as noise, and a sky that changes by g ADU a column adds only g^2 / 2 to s^2 (0.00125
/// for 0.05 ADU a column, beside a typical 0.05). With c(b) the weight of band b in the
/// contrast (1/2 for a reference band at the end, 1 in between, -1 for an offset band),
/// standardError = sqrt(s^2 sum c(b)^2 / window) / pairs.
///
/// significance = contrast / standardError; when the standard error is 0 (a frame
/// without noise) it is 0 for a contrast of 0 and an infinity of the contrast's sign
/// otherwise. A pair outside the totals is a range failure; a band without a counted
/// sample, or no pair at all, an invalid operation.
BandContrast balancedContrast(const ColumnSums& totals, std::int32_t window, std::span<const std::int64_t> starts);

/// The columns the phase finder reads: 0 to 101 periods and a band, less one.
std::int32_t phaseFinderColumns(Binning binning);

/// The samples the phase finder counts (strictly between the limits) in each of its
/// columns. An image narrower than those columns is a range failure.
ColumnSums phaseColumnSums(ImageView<const std::uint16_t> image, Binning binning, PhaseLimits limits);

/// The balanced contrast of each candidate phase p, 0 to period - 1, over the columns
/// and samples the phase finder counts: every pair whose three bands lie inside them,
/// the first column of its reference band i = p + k period with i >= period (100 pairs
/// for each phase). Fails as balancedContrast; the finder fails first on the same image.
std::vector<BandContrast> phaseContrasts(ImageView<const std::uint16_t> image, Binning binning, PhaseLimits limits);

/// The same over every column of `totals`, of any frame: for each candidate phase p the
/// pairs i = p + k period with i >= period whose reference band ends inside the totals.
std::vector<BandContrast> phaseContrasts(const ColumnSums& totals, const BandGeometry& bands);

/// The candidate with the largest contrast, the lowest of equal ones: where the brighter
/// half of the period begins. A contrast that is no number is an invalid operation.
std::int32_t strongestPhase(std::span<const BandContrast> contrasts);

/// The contrasts of several frames of one binning, candidate by candidate, as one: the
/// mean of the frames' contrasts weighted by 1 / standardError^2, whose standard error
/// is 1 / sqrt(sum of the weights), so the night's frames together find a band that
/// each alone leaves in the noise. Frames without noise at a candidate (standard error
/// 0) outweigh all others there: their plain mean is taken. Every frame must hold one
/// contrast per candidate, the same count.
std::vector<BandContrast> combinedContrasts(std::span<const std::vector<BandContrast>> frames);

/// A frame's own banding against the phase a correction is given. The frame contradicts
/// the given phase when the contrast of its strongest phase exceeds the contrast at the
/// given phase by `significantContrast` or more standard errors of that difference. A
/// phase half a period from the given one is no contradiction: it corrects the same band
/// with the amplitude's sign changed, so the difference is taken to whichever of the two
/// reads higher. The difference's error counts the columns both measurements share once
/// (their weights subtract), with the column noise of the strongest phase's bands, which
/// straddle no band edge of the frame's own pattern.
struct PhaseVerdict {
    BandContrast own;        // the strongest phase (phase 0 to period - 1)
    BandContrast given;      // at the given phase, as given
    double separation = 0;   // the difference over its standard error; 0 when none
    bool contradicts = false;
};
PhaseVerdict judgePhase(const ColumnSums& totals, const BandGeometry& bands, std::int32_t given);

/// The phase the finder would have chosen without `best`: the largest of the other
/// scores, held as a double as bestPhase holds it, the lowest of equal ones. -1 when
/// there is no other score.
std::int32_t runnerUpPhase(std::span<const long double> scores, std::int32_t best);

} // namespace kestrel
