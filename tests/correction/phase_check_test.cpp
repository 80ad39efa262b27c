// A correction held against the frame's own banding: the phase a frame contradicts, the
// phase taken from the frame, and the bytes of the frames that pass unchanged.
#include "analysis/analysis.h"
#include "correction/correction.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace kestrel {
namespace {

/// Sky 1000 rising by `slope` a column, Gaussian noise of 12 ADU, a few stars, and a
/// band of `amplitude` whose reference bands start at `phase`.
std::vector<float> noisyFrame(std::int32_t w, std::int32_t h, std::int32_t phase, double amplitude, double slope,
                              unsigned seed)
{
    const std::int32_t period = w >= 4008 ? 32 : 16;
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0, 12);
    std::vector<float> px(static_cast<std::size_t>(w) * h);
    for (std::int32_t r = 0; r < h; ++r)
        for (std::int32_t c = 0; c < w; ++c) {
            const bool reference = ((c - phase) % period + period) % period < period / 2;
            px[static_cast<std::size_t>(r) * w + c] =
                static_cast<float>(1000 + slope * c + (reference ? amplitude : 0) + noise(rng));
        }
    for (std::size_t s = 0; s < 200; ++s)
        px[(s * 7919 * 104729) % px.size()] = 30000;
    return px;
}

struct Corrected {
    ImageOutcome outcome;
    std::vector<float> pixels;
};

Corrected corrected(const std::vector<float>& px, std::int32_t w, std::int32_t h, ImageRun run)
{
    testing::TestHost host;
    Workspace ws(host);
    ws.image = floatImageFromPixels(w, h, px);
    Corrected out;
    out.outcome = correctFloat32InMemory(ws, run);
    out.pixels.assign(ws.image.floatPixels.begin(), ws.image.floatPixels.end());
    return out;
}

ImageRun runAt(bool binned, std::int32_t phase, bool check, bool fromFrame = false)
{
    ImageRun run{binned ? Binning::binned2x2 : Binning::unbinned, phase};
    run.checkPhase = check;
    run.phaseFromFrame = fromFrame;
    return run;
}

TEST(PhaseCheck, ABandElsewhereIsRefusedAndOneAtTheGivenPhaseKeepsItsBytes)
{
    // A band of 3 ADU under 12 ADU of noise over 300 rows stands out by dozens of
    // standard errors; it lies `off` columns from the given phase. Half a period off is
    // the same band with the amplitude's sign changed; a band-free frame has nothing to
    // say. Where the check passes, the bytes are those of an unchecked correction.
    const struct {
        std::int32_t off;
        double amplitude;
    } cases[] = {{0, 3}, {1, 3}, {2, 3}, {4, 3}, {8, 3}, {16, 3}, {-1, 3}, {12, 3}, {0, 0}, {5, 0}};
    for (const bool binned : {false, true})
        for (const auto& c : cases) {
            const std::int32_t w = binned ? 2004 : 4008, h = 300, period = binned ? 16 : 32;
            const bool refused = c.amplitude > 0 && c.off % (period / 2) != 0;
            const std::int32_t given = binned ? 5 : 9, band = normalisedPhase(given + c.off, period);
            const std::string what = std::string(binned ? "2x2" : "1x1") + " off " + std::to_string(c.off) +
                                     " amplitude " + std::to_string(c.amplitude);
            const auto px = noisyFrame(w, h, band, c.amplitude, binned ? -0.05 : 0.1, 7 + static_cast<unsigned>(band));
            const Corrected checked = corrected(px, w, h, runAt(binned, given, true));
            const Corrected unchecked = corrected(px, w, h, runAt(binned, given, false));
            ASSERT_EQ(unchecked.outcome.result, ImageOutcome::Result::corrected) << what;
            if (!refused) {
                EXPECT_EQ(checked.outcome.result, ImageOutcome::Result::corrected) << what << checked.outcome.message;
                EXPECT_EQ(checked.pixels, unchecked.pixels) << what;
                continue;
            }
            const std::string& message = checked.outcome.message;
            EXPECT_EQ(checked.outcome.skip, ImageOutcome::Skip::phaseContradicted) << what;
            EXPECT_EQ(checked.pixels, px) << what << ": nothing corrected";
            EXPECT_EQ(message.rfind("the banding lies at phase " + std::to_string(band) + " (contrast ", 0), 0u)
                << message;
            EXPECT_NE(message.find("), not at the given " + std::to_string(given) + " ("), std::string::npos) << message;
        }
}

TEST(PhaseCheck, APhaseFromTheFrameItself)
{
    // The phase is where the band lies (1 to the period), and the correction is that of
    // the phase given by hand; without a band that stands out the frame is skipped.
    for (const bool binned : {false, true}) {
        const std::int32_t w = binned ? 2004 : 4008, h = 300, period = binned ? 16 : 32;
        for (const std::int32_t band : {1, 7, period}) {
            const auto px = noisyFrame(w, h, band, 2, 0.1, 3);
            const Corrected found = corrected(px, w, h, runAt(binned, period, false, true));
            ASSERT_EQ(found.outcome.result, ImageOutcome::Result::corrected) << band << found.outcome.message;
            EXPECT_EQ(found.outcome.phase, band);
            EXPECT_EQ(found.pixels, corrected(px, w, h, runAt(binned, band, false)).pixels) << band;
        }
        const Corrected none = corrected(noisyFrame(w, h, 4, 0, 0.1, 5), w, h, runAt(binned, period, false, true));
        EXPECT_EQ(none.outcome.skip, ImageOutcome::Skip::noClearPhase);
        EXPECT_EQ(none.outcome.message.rfind("no band stands out: significance ", 0), 0u) << none.outcome.message;
        EXPECT_EQ(none.outcome.message.substr(none.outcome.message.size() - 14), "; give a phase");
    }
}

TEST(PhaseCheck, FloatFramesAreSearchedAsRawOnesOnTheSameSamples)
{
    // The same whole-number samples, all inside both searches' bounds, as a raw frame
    // and a float frame one column wider (the amplitude reads one column less than the
    // frame): the same contrast at every candidate, bit for bit, and the finder's phase.
    const std::int32_t h = 200, columns = phaseFinderColumns(Binning::unbinned);
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0, 12);
    std::vector<std::uint16_t> raw(static_cast<std::size_t>(columns) * h);
    std::vector<float> px(static_cast<std::size_t>(columns + 1) * h);
    for (std::int32_t r = 0; r < h; ++r)
        for (std::int32_t c = 0; c <= columns; ++c) {
            const double v = std::round(1000 + ((c - 13 + 32) % 32 < 16 ? 3 : 0) + noise(rng));
            px[static_cast<std::size_t>(r) * (columns + 1) + c] = static_cast<float>(v);
            if (c < columns)
                raw[static_cast<std::size_t>(r) * columns + c] = static_cast<std::uint16_t>(v);
        }
    const ImageView<const std::uint16_t> image16{raw, columns, h};
    const PhaseSearch search = findBandPhase(image16, Binning::unbinned, 1000);
    const auto expected = phaseContrasts(image16, Binning::unbinned, search.limits);
    const auto found = floatPhaseContrasts({px, columns + 1, h}, unbinnedBands, 1500);
    ASSERT_EQ(found.size(), expected.size());
    for (std::size_t p = 0; p < found.size(); ++p) {
        EXPECT_EQ(found[p].contrast, expected[p].contrast) << p;
        EXPECT_EQ(found[p].standardError, expected[p].standardError) << p;
    }
    EXPECT_EQ(search.phase, 13);
    EXPECT_EQ(strongestPhase(found), 13);
}

TEST(PhaseCheck, FramesCombinedWeighByTheirErrors)
{
    // Weights 1 / 1^2 and 1 / 2^2: (2 x 1 + 5 x 0.25) / 1.25 = 2.6, error 1 / sqrt(1.25);
    // a frame without noise outweighs every other.
    auto one = [](double contrast, double error) {
        return std::vector<BandContrast>{{0, contrast, error, contrast / error, 10}};
    };
    const std::vector<std::vector<BandContrast>> night{one(2, 1), one(5, 2)};
    const BandContrast c = combinedContrasts(night).front();
    EXPECT_DOUBLE_EQ(c.contrast, 2.6);
    EXPECT_DOUBLE_EQ(c.standardError, 1 / std::sqrt(1.25));
    EXPECT_DOUBLE_EQ(c.significance, 2.6 * std::sqrt(1.25));
    EXPECT_EQ(c.pairs, 20);
    const std::vector<std::vector<BandContrast>> clean{one(2, 1), {{0, 7, 0, INFINITY, 10}}};
    EXPECT_EQ(combinedContrasts(clean).front().contrast, 7);
}

} // namespace
} // namespace kestrel
