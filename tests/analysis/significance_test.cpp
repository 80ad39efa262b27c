// The band contrast and its significance: the kernels against their straightforward
// twin, known answers by hand, and synthetic frames whose expected noise follows from
// the noise put into them.
#include "analysis/significance.h"
#include "tests/analysis/contrast_reference.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

namespace kestrel {
namespace {

bool sameBits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

/// Column sums of `rows` rows whose column c reads level(c) + (c odd ? e : -e).
ColumnSums columns(std::int32_t count, double rows, double e, const std::function<double(std::int32_t)>& level)
{
    ColumnSums t;
    for (std::int32_t c = 0; c < count; ++c) {
        t.sums.push_back(rows * (level(c) + (c % 2 ? e : -e)));
        t.counts.push_back(rows);
    }
    return t;
}

std::vector<std::int64_t> everyPeriod(std::int64_t first, std::int64_t last, std::int64_t period)
{
    std::vector<std::int64_t> starts;
    for (std::int64_t i = first; i <= last; i += period)
        starts.push_back(i);
    return starts;
}

TEST(BandContrast, KnownAnswersByHand)
{
    // 20 periods of 32 columns, reference bands from column 8 of each: 10 ADU above the
    // offset bands, every column 0.5 ADU off its band's level in turn. The pairs at
    // 40, 72, ..., 584 are 18; the bands weigh 1/2 (2 ends), 1 (17 reference bands
    // between) and -1 (18 offset bands): 35.5 in squares. Neighbours inside a band
    // differ by 1, so s^2 = 1 / 2, and the standard error is sqrt(0.5 x 35.5 / 16) / 18.
    auto band = [](std::int32_t c) { return ((c - 8) % 32 + 32) % 32 < 16 ? 1010.0 : 1000.0; };
    const ColumnSums t = columns(640, 4, 0.5, band);
    const BandContrast c = balancedContrast(t, 16, everyPeriod(40, 584, 32));
    EXPECT_EQ(c.pairs, 18);
    EXPECT_EQ(c.contrast, 10.0);
    EXPECT_DOUBLE_EQ(c.standardError, std::sqrt(0.5 * 35.5 / 16) / 18);
    EXPECT_DOUBLE_EQ(c.significance, 10.0 / (std::sqrt(0.5 * 35.5 / 16) / 18));

    // One column off from the edge: each band holds 15 columns of its own level and one
    // of the other, 10 x (15 - 1) / 16; the noise now counts one step of 10 in each band.
    const BandContrast off = balancedContrast(t, 16, everyPeriod(41, 585, 32));
    EXPECT_DOUBLE_EQ(off.contrast, 8.75);
    EXPECT_GT(off.standardError, 2 * c.standardError);

    // A sky that rises linearly cancels, and its steps of 0.25 from column to column
    // count as a noise of s^2 = 0.25^2 / 2.
    const ColumnSums slope = columns(640, 4, 0, [](std::int32_t col) { return 1000 + 0.25 * col; });
    const BandContrast sloped = balancedContrast(slope, 16, everyPeriod(40, 584, 32));
    EXPECT_EQ(sloped.contrast, 0.0);
    EXPECT_DOUBLE_EQ(sloped.standardError, std::sqrt(0.03125 * 35.5 / 16) / 18);

    // Without noise the error is 0, and so is the significance of a contrast of 0, while
    // a band without noise is infinitely clear.
    const BandContrast flat = balancedContrast(columns(640, 4, 0, [](std::int32_t) { return 1000.0; }), 16,
                                               everyPeriod(40, 584, 32));
    EXPECT_EQ(flat.contrast, 0.0);
    EXPECT_EQ(flat.standardError, 0.0);
    EXPECT_EQ(flat.significance, 0.0);
    const ColumnSums clean = columns(640, 4, 0, band);
    EXPECT_EQ(balancedContrast(clean, 16, everyPeriod(40, 584, 32)).significance, INFINITY);
    EXPECT_EQ(balancedContrast(clean, 16, everyPeriod(56, 600, 32)).significance, -INFINITY);

    // Columns without a counted sample leave their band's mean to the others and their
    // neighbours out of the noise, whose level stays.
    ColumnSums gap = t;
    gap.sums[41] = gap.counts[41] = gap.sums[42] = gap.counts[42] = 0;
    const BandContrast gapped = balancedContrast(gap, 16, everyPeriod(40, 584, 32));
    EXPECT_EQ(gapped.contrast, 10.0);
    EXPECT_DOUBLE_EQ(gapped.standardError, c.standardError);
}

TEST(BandContrast, BadPairsFail)
{
    const ColumnSums t = columns(640, 4, 0.5, [](std::int32_t) { return 1000.0; });
    auto message = [&](std::vector<std::int64_t> starts, const ColumnSums& sums) {
        try {
            balancedContrast(sums, 16, starts);
        } catch (const Failure& f) {
            return f.message();
        }
        return std::string("no failure");
    };
    EXPECT_EQ(message({31}, t), messages::rangeError) << "the band before starts left of column 0";
    EXPECT_EQ(message({625}, t), messages::rangeError) << "the band after ends beyond the columns";
    EXPECT_EQ(message({104, 72}, t), messages::rangeError) << "out of order";
    EXPECT_EQ(message({}, t), messages::invalidOperation);
    ColumnSums empty = t;
    for (std::size_t c = 48; c < 64; ++c)
        empty.sums[c] = empty.counts[c] = 0;
    EXPECT_EQ(message({64}, empty), messages::invalidOperation) << "an offset band without a sample";
}

TEST(BandContrast, RunnerUpIsTheNextBestScore)
{
    EXPECT_EQ(runnerUpPhase(std::vector<long double>{3, 7, 7, 1}, 1), 2);
    EXPECT_EQ(runnerUpPhase(std::vector<long double>{3, 7, 6, 1}, 1), 2);
    EXPECT_EQ(runnerUpPhase(std::vector<long double>{5, 5, 5}, 0), 1);
    EXPECT_EQ(runnerUpPhase(std::vector<long double>{5}, 0), -1);
}

/// A 16-bit frame: sky 1000 + slope x column, Gaussian noise of `sigma`, rounded, and a
/// band of `amplitude` from `phase`.
std::vector<std::uint16_t> frame16(std::int32_t w, std::int32_t h, std::int32_t phase, double amplitude, double slope,
                                   double sigma, unsigned seed)
{
    const std::int32_t period = w >= 4008 ? 32 : 16;
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0, sigma);
    std::vector<std::uint16_t> px(static_cast<std::size_t>(w) * h);
    for (std::int32_t r = 0; r < h; ++r)
        for (std::int32_t c = 0; c < w; ++c) {
            const bool reference = ((c - phase) % period + period) % period < period / 2;
            px[static_cast<std::size_t>(r) * w + c] =
                static_cast<std::uint16_t>(std::lround(1000 + slope * c + (reference ? amplitude : 0) + noise(rng)));
        }
    return px;
}

TEST(PhaseSignificance, MatchesTheTwinBitForBit)
{
    std::mt19937 rng(17);
    for (auto [w, binning] : {std::pair{4008, Binning::unbinned}, {4032, Binning::unbinned},
                              {2004, Binning::binned2x2}, {2016, Binning::binned2x2}}) {
        const std::int32_t h = 5;
        std::vector<std::uint16_t> px(static_cast<std::size_t>(w) * h);
        for (auto& v : px)
            v = static_cast<std::uint16_t>(rng() % 10 == 0 ? rng() % 65536 : 700 + rng() % 700);
        testing::TestHost host;
        Workspace ws(host);
        ws.image.imageWidth = w;
        ws.image.imageHeight = h;
        ws.image.int16Pixels = px;
        const PhaseLimits limits = phaseLimits(binning, 1000.37);
        const auto measured = phaseContrasts(ws.image.int16Image(), binning, limits);
        ASSERT_EQ(measured.size(), binning == Binning::unbinned ? 32u : 16u);
        for (std::int32_t p = 0; p < static_cast<std::int32_t>(measured.size()); ++p) {
            const BandContrast expected =
                reference::phaseContrast(ws, binning == Binning::binned2x2, limits.lower, limits.upper, p);
            const BandContrast& got = measured[static_cast<std::size_t>(p)];
            EXPECT_EQ(got.phase, p);
            EXPECT_EQ(got.pairs, 100);
            EXPECT_TRUE(sameBits(got.contrast, expected.contrast)) << w << " phase " << p;
            EXPECT_TRUE(sameBits(got.standardError, expected.standardError)) << w << " phase " << p;
            EXPECT_TRUE(sameBits(got.significance, expected.significance)) << w << " phase " << p;
        }
    }
    std::vector<std::uint16_t> narrow(3246 * 2, 1000);
    EXPECT_THROW(phaseContrasts({narrow, 3246, 2}, Binning::unbinned, {750, 1333}), Failure);
}

TEST(PhaseSignificance, NoiseBandsAndSlopesOnSyntheticFrames)
{
    // The expected standard error follows from the noise put in: the columns' means
    // scatter by s = sqrt(sigma^2 + 1/12) / sqrt(rows) (the rounding to whole ADU adds
    // 1/12), and 100 pairs of bands weigh 199.5 in squares: s sqrt(199.5 / window) / 100.
    // A band of k standard errors then reads k, give or take one or two.
    struct Case {
        const char* what;
        bool binned;
        std::int32_t phase;
        double band; // in standard errors
        double slope;
        bool found;  // the finder gets the phase right
        double low, high; // where the significance of the phase found lies
    };
    const Case cases[] = {
        {"noise only", false, 8, 0, 0, false, -5, 5},
        {"noise only, 2x2", true, 4, 0, 0, false, -5, 5},
        {"3 sigma", false, 13, 3, 0, false, -5, 5},
        {"3 sigma, 2x2", true, 5, 3, 0, false, -5, 5},
        {"10 sigma", false, 21, 10, 0, true, 7, 13},
        {"10 sigma, 2x2", true, 11, 10, 0, true, 7, 13},
        {"50 sigma", false, 2, 50, 0, true, 46, 54},
        {"50 sigma, 2x2", true, 15, 50, 0, true, 46, 54},
        {"sloped sky", false, 8, 0, 0.05, false, -5, 5},
        {"sloped sky, 2x2", true, 8, 0, 0.05, false, -5, 5},
    };
    const double sigma = 12;
    const std::int32_t rows = 150;
    for (const Case& c : cases) {
        const std::int32_t w = c.binned ? 2004 : 4008, window = c.binned ? 8 : 16;
        const Binning binning = c.binned ? Binning::binned2x2 : Binning::unbinned;
        const double expectedError =
            std::sqrt(sigma * sigma + 1.0 / 12) / std::sqrt(rows) * std::sqrt(199.5 / window) / 100;
        const auto px = frame16(w, rows, c.phase, c.band * expectedError, c.slope, sigma, 91);
        const std::vector<std::uint16_t> copy = px;
        const PhaseSearch search = findBandPhase({px, w, rows}, binning, backgroundLevel(std::span(copy)).level);
        const auto contrasts = phaseContrasts({px, w, rows}, binning, search.limits);
        const BandContrast& chosen = contrasts[static_cast<std::size_t>(search.phase)];
        if (c.found) {
            EXPECT_EQ(search.phase, c.phase) << c.what;
        }
        EXPECT_NEAR(chosen.standardError, expectedError, 0.05 * expectedError) << c.what;
        EXPECT_GT(chosen.significance, c.low) << c.what;
        EXPECT_LT(chosen.significance, c.high) << c.what;
        EXPECT_EQ(chosen.significance >= significantContrast, c.found) << c.what;
    }
}

TEST(PhaseSignificance, ASlopeThatMisleadsTheFinderIsCaught)
{
    // A band of 0.5 ADU from column 8 on a sky rising by 0.05 ADU a column: the finder's
    // windows gain 0.05 ADU with every column they move right, 101 times over, and it
    // chooses 31. At 31 the band's own contrast is 0.5 x (1 - 2 x 9 / 16) = -1/16 ADU, well
    // below the noise, while the balanced contrast peaks at the true phase.
    const auto px = frame16(4008, 300, 8, 0.5, 0.05, 12, 5);
    const std::vector<std::uint16_t> copy = px;
    const PhaseSearch search =
        findBandPhase({px, 4008, 300}, Binning::unbinned, backgroundLevel(std::span(copy)).level);
    ASSERT_EQ(search.phase, 31);
    const auto contrasts = phaseContrasts({px, 4008, 300}, Binning::unbinned, search.limits);
    EXPECT_NEAR(contrasts[31].contrast, -0.0625, 4 * contrasts[31].standardError);
    EXPECT_LT(contrasts[31].significance, significantContrast);
    EXPECT_NEAR(contrasts[8].contrast, 0.5, 4 * contrasts[8].standardError);
    EXPECT_GT(contrasts[8].significance, 10);
}

} // namespace
} // namespace kestrel
