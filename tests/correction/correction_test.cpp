#include "correction/correction.h"

#include "analysis/analysis.h"
#include "correction/band_kernels.h"
#include "fits/writer.h"
#include "tests/analysis/reference.h"
#include "tests/support/straightforward.h"
#include "tests/support/window_means.h"
#include "tests/support/fits_builder.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>

namespace kestrel {
namespace {

using testing::Box;
using testing::TempDir;
using testing::TestHost;

/// An image opened as the batch run opens it, with the run's choices for it.
struct Opened {
    TestHost host;
    Workspace ws{host};
    TempDir dir;
    ImageRun run;

    /// Writes the image as a float file and opens it as the batch run would.
    void open(std::int32_t w, std::int32_t h, const std::vector<float>& px, const std::vector<std::string>& extra = {},
              bool truncate = false)
    {
        std::string bytes = testing::headerRecords(testing::floatImageCards(w, h, extra)) + testing::floatData(px);
        if (truncate)
            bytes.resize(bytes.size() - 2880 * 2);
        testing::writeFile(dir / "in.fits", bytes);
        ASSERT_TRUE(loadFitsHeader(ws, dir / "in.fits"));
        ws.image.imageWidth = w;
        ws.image.imageHeight = h;
    }
    /// The profile, as kestrel-cli profile makes it, of the unbinned image at `phase`.
    ProfileOutcome profile(std::int32_t phase)
    {
        run.binning = Binning::unbinned;
        run.phase = phase;
        return profileFloat32Columns(ws, run);
    }
    /// The correction, written to out.fits when it corrected the image, as the engine writes it.
    ImageOutcome fix(bool binned = false)
    {
        ImageOutcome out = binned ? fixFloat32Columns2x2(ws, run) : fixFloat32Columns(ws, run);
        if (out.result == ImageOutcome::Result::corrected)
            saveFloat32Fits(ws, dir / "out.fits");
        return out;
    }
};

/// Reference bands (from `phase`, every `period` columns, `period / 2` wide) read
/// `reference`, the rest `offset`.
std::vector<float> pattern(std::int32_t w, std::int32_t h, std::int32_t period, std::int32_t phase, float reference,
                           float offset)
{
    std::vector<float> px(static_cast<std::size_t>(w) * h);
    for (std::int32_t r = 0; r < h; ++r)
        for (std::int32_t c = 0; c < w; ++c)
            px[static_cast<std::size_t>(r) * w + c] = ((c - phase) % period + period) % period < period / 2 ? reference : offset;
    return px;
}

float at(const Workspace& ws, std::int32_t c, std::int32_t r) { return ws.image.floatPixels[static_cast<std::size_t>(r) * ws.image.imageWidth + c]; }

TEST(Correction, MeasuredUnbinnedImage)
{
    Opened run;
    run.open(4008, 3, pattern(4008, 3, 32, 8, 1010, 1000), {testing::card("CCD-TEMP", "-19.5"), testing::card("EXPOSURE", "300")});
    run.run.phase = 8;
    const ImageOutcome out = run.fix();
    EXPECT_TRUE(run.host.boxes.empty());
    EXPECT_EQ(out.result, ImageOutcome::Result::corrected);
    EXPECT_EQ(out.amplitude, 10.0);
    EXPECT_TRUE(out.measured);
    EXPECT_EQ(out.background, 1000.0);
    EXPECT_EQ(out.exposure, 300);
    EXPECT_EQ(out.temperature, -20);
    EXPECT_FALSE(out.stopsRun);
    for (std::int32_t c = 0; c < 4008; ++c)
        ASSERT_EQ(at(run.ws, c, 2), c < 8 ? 1000.0f : 1010.0f) << c;
    EXPECT_TRUE(std::filesystem::exists(run.dir / "out.fits"));

    // The darker reference bands give a negative amplitude; -20.5 rounds to -20 too.
    Opened dark;
    dark.open(4008, 2, pattern(4008, 2, 32, 8, 1000, 1010), {testing::card("CCD-TEMP", "-20.5")});
    dark.run.phase = 8;
    const ImageOutcome darkOut = dark.fix();
    EXPECT_EQ(darkOut.amplitude, -10.0);
    EXPECT_EQ(darkOut.temperature, -20);
}

TEST(Correction, OnlyWholeOffsetBandsChange)
{
    struct Case {
        Binning binning;
        std::int32_t width, phase;
    };
    for (const Case& c : {Case{Binning::unbinned, 4008, 32}, Case{Binning::unbinned, 4008, 20}, Case{Binning::unbinned, 4008, 8},
                          Case{Binning::unbinned, 4008, 8 + 32 * 40}, Case{Binning::unbinned, 4032, -24},
                          Case{Binning::binned2x2, 2004, 4}, Case{Binning::binned2x2, 2004, 12}}) {
        TestHost host;
        Workspace ws(host);
        ws.image.imageWidth = c.width;
        ws.image.imageHeight = 2;
        ws.image.floatPixels.assign(static_cast<std::size_t>(c.width) * 2, 0.0f);
        const bool unbinned = c.binning == Binning::unbinned;
        addToOffsetBands(ws.image.floatImage(), bandGeometry(c.binning), c.phase, 1);
        const std::int32_t period = unbinned ? 32 : 16, band = period / 2;
        const std::int32_t p = normalisedPhase(c.phase, period);
        for (std::int32_t col = 0; col < c.width; ++col) {
            // The offset band of col ends just before the reference band that starts at b.
            const std::int32_t m = ((col - p) % period + period) % period;
            const std::int32_t b = col + period - m;
            const bool whole = m >= band && b >= band && b <= c.width;
            ASSERT_EQ(at(ws, col, 1), whole ? 1.0f : 0.0f) << c.phase << " col " << col;
        }
    }
}

TEST(Correction, Binned2x2Pairs)
{
    Opened run;
    run.open(2004, 2, pattern(2004, 2, 16, 4, 1010, 1000));
    run.run.phase = 4;
    EXPECT_EQ(run.fix(true).amplitude, 10.0);
    for (std::int32_t c = 0; c < 2004; ++c)
        ASSERT_EQ(at(run.ws, c, 1), c < 4 ? 1000.0f : 1010.0f) << c;

    // Samples of exactly 5.0 stay out of the 2x2 means: here they would halve the offset mean.
    Opened five;
    auto px = pattern(2004, 2, 16, 12, 1010, 1000);
    for (std::size_t i = 4; i < px.size(); i += 40)
        if (px[i] == 1000)
            px[i] = 5.0f;
    five.open(2004, 2, px);
    five.run.phase = 12;
    five.run.amplitude.typed = 0;
    EXPECT_EQ(five.fix(true).amplitude, 10.0);
    EXPECT_EQ(at(five.ws, 4, 0), 15.0f);
}

TEST(Correction, TypedAmplitudeAndFailedImages)
{
    Opened typed;
    typed.open(4008, 2, std::vector<float>(8016, 100.0f));
    typed.run.phase = 32;
    typed.run.amplitude.typed = 2.5;
    const ImageOutcome typedOut = typed.fix();
    EXPECT_EQ(typedOut.amplitude, 2.5);
    EXPECT_FALSE(typedOut.measured);
    EXPECT_EQ(at(typed.ws, 16, 1), 102.5f);
    EXPECT_EQ(at(typed.ws, 15, 1), 100.0f);

    // 9999 typed, a truncated file and a short buffer: Failed, nothing written, the run goes on.
    for (int variant = 0; variant < 2; ++variant) {
        Opened failed;
        failed.open(4008, 2, std::vector<float>(8016, 100.0f), {testing::card("EXPOSURE", "60")}, variant == 1);
        failed.run.amplitude.typed = variant == 0 ? 9999 : 0;
        const ImageOutcome out = failed.fix();
        EXPECT_EQ(out.result, ImageOutcome::Result::notCorrected);
        EXPECT_EQ(out.exposure, 60);
        EXPECT_EQ(out.amplitude.value_or(0), 9999.0);
        EXPECT_FALSE(out.stopsRun);
        EXPECT_FALSE(std::filesystem::exists(failed.dir / "out.fits"));
        EXPECT_LE(failed.host.boxes.size(), variant == 0 ? 0u : 1u); // at most the loader's own box
        if (variant == 1) {
            EXPECT_EQ(out.message, "the data hold 7200 samples, fewer than the 8016 of NAXIS1 x NAXIS2 (4008 x 2)");
        }
    }

    // An all-zero image has no qualifying sample: the run stops, named after the routine.
    for (bool binned : {false, true}) {
        Opened zero;
        zero.open(binned ? 2004 : 4008, 2, std::vector<float>(binned ? 4008 : 8016, 0.0f));
        const ImageOutcome out = zero.fix(binned);
        const std::string name = binned ? "fixFloat32Columns2x2" : "fixFloat32Columns";
        const std::string report = "Invalid floating point operation... in function " + name + ".";
        EXPECT_EQ(zero.host.texts(Box::error).back(), report);
        EXPECT_EQ(out.result, ImageOutcome::Result::failed);
        EXPECT_EQ(out.message, report);
        EXPECT_TRUE(out.stopsRun);
        EXPECT_FALSE(std::filesystem::exists(zero.dir / "out.fits"));
    }
}

// Sky with noise, negative samples, zeros, samples at the bounds, ties and tiny ones.
std::vector<float> awkwardImage(std::mt19937& rng, std::int32_t w, std::int32_t h, float tiny)
{
    std::normal_distribution<float> sky(1000, 30);
    std::vector<float> px(static_cast<std::size_t>(w) * h);
    for (std::int32_t r = 0; r < h; ++r)
        for (std::int32_t c = 0; c < w; ++c) {
            const auto pick = rng() % 200;
            float v = std::round(sky(rng) * 8) / 8 + ((c / 16) % 2 ? 7.25f : 0.0f);
            if (pick < 4)
                v = -v;
            else if (pick < 8)
                v = 0.0f;
            else if (pick < 10)
                v = 5.0f;
            else if (pick < 12)
                v = 1e30f;
            else if (pick == 12 && c % 500 == 3)
                v = tiny;
            px[static_cast<std::size_t>(r) * w + c] = v;
        }
    return px;
}

TEST(Correction, MatchesReferenceBitForBit)
{
    std::mt19937 rng(5);
    for (auto [w, binned] : {std::pair{4008, false}, {4032, false}, {2004, true}, {2016, true}}) {
        for (float tiny : {0.0f, 1e-30f, 1e-42f}) {
            const std::int32_t h = 9;
            const std::int32_t phase = binned ? 13 : 29;
            const auto px = awkwardImage(rng, w, h, tiny);
            const BandGeometry& bands = binned ? binned2x2Bands : unbinnedBands;
            Opened run;
            run.open(w, h, px);
            run.run.phase = phase;
            const ImageOutcome out = run.fix(binned);
            ASSERT_TRUE(run.host.boxes.empty());

            // The same image the straightforward way.
            TestHost host;
            Workspace ws(host);
            ws.image.imageWidth = w;
            ws.image.imageHeight = h;
            ws.image.floatPixels = px;
            ws.image.floatPixels.resize((px.size() + 719) / 720 * 720, 0.0f); // as loaded: whole records
            const double background = reference::background(ws, SampleType::float32);
            const double upper = static_cast<double>(static_cast<long double>(background) * 1.5L);
            EXPECT_EQ(out.background, background);
            const auto means = reference::columnMeans(ws, bands.window, bands.lowerBound, upper);
            const double amplitude = reference::amplitude(means, binned, w, phase);
            ASSERT_TRUE(out.amplitude);
            EXPECT_EQ(std::memcmp(&amplitude, &*out.amplitude, sizeof amplitude), 0);
            ws.image.rawHeader = run.ws.image.rawHeader;
            for (std::int32_t b = phase; b <= w; b += bands.period)
                for (std::int32_t col = b - bands.window; col < b && b >= bands.window; ++col)
                    for (std::int32_t row = 0; row < h; ++row)
                        testing::setPixelValueFloat(
                            ws, col, row, static_cast<float>(testing::getPixelValueFloat(ws, col, row) + amplitude));
            saveFloat32Fits(ws, run.dir / "expected.fits");
            EXPECT_EQ(testing::readFile(run.dir / "out.fits"), testing::readFile(run.dir / "expected.fits"));
        }
    }
}

// Each build of the window sums against the plain loop, whichever this processor would
// choose, on awkward shapes: widths that are no multiple of the tile, one row, tiny samples.
TEST(Correction, BothWindowSumBuildsMatchThePlainLoop)
{
    std::mt19937 rng(9);
    for (auto [w, h, binned] : {std::tuple{4008, 7, false}, {4032, 1, false}, {2004, 5, true}, {97, 3, false},
                                {41, 2, true}, {17, 4, false}}) {
        const auto px = awkwardImage(rng, w, h, 1e-42f);
        TestHost host;
        Workspace ws(host);
        ws.image.imageWidth = w;
        ws.image.imageHeight = h;
        ws.image.floatPixels = px;
        const BandGeometry& bands = binned ? binned2x2Bands : unbinnedBands;
        const auto expected = reference::columnMeans(ws, bands.window, bands.lowerBound, 1500.0);
        for (WindowSumBuild build : {WindowSumBuild::avx2, WindowSumBuild::portable}) {
            if (build == WindowSumBuild::avx2 && !avx2Available())
                continue;
            std::vector<long double> means(expected.size(), 0.0L);
            bandWindowMeans({px, w, h}, bands, 1500.0, means, build);
            for (std::size_t i = 0; i < means.size(); ++i)
                ASSERT_EQ(std::memcmp(&expected[i], &means[i], 10), 0)
                    << w << " x " << h << (build == WindowSumBuild::avx2 ? " avx2" : " portable") << " window " << i;
        }
    }
    if (!avx2Available())
        GTEST_SKIP() << "this processor has no AVX2: only the portable build was compared";
}

// The column totals of both builds against the plain loop, with bounds that are floats
// and bounds between two floats, samples on and beside them, and widths that leave
// columns outside the vector lanes.
TEST(Correction, ColumnTotalsOfBothBuildsMatchThePlainLoop)
{
    std::mt19937 rng(3);
    const double between = std::nextafter(1040.0, 2000.0); // above 1040, below the next float
    for (auto [w, h] : {std::pair{4008, 5}, {263, 7}, {7, 3}, {2004, 1}}) {
        for (auto [upper, bound] : {std::pair{1040.0, 1e-30}, {between, 1e-30}, {std::nextafter(1040.0, 0.0), 2.0},
                                    {1e39, std::nextafter(1.0, 2.0)}}) {
            auto px = awkwardImage(rng, w, h, 1e-42f);
            for (std::size_t i = 0; i < px.size(); i += 7)
                px[i] = std::array{1040.0f, std::nextafter(1040.0f, 0.0f), std::nextafter(1040.0f, 2000.0f), 1.0f,
                                   std::nextafter(1.0f, 2.0f), 1e-30f, 5.0f}[i % 7];
            TestHost host;
            Workspace ws(host);
            ws.image.imageWidth = w;
            ws.image.imageHeight = h;
            ws.image.floatPixels = px;
            const std::int32_t columns = w - 1;
            const auto expected = reference::columnTotals(ws, columns, 5.0, upper, bound);
            for (WindowSumBuild build : {WindowSumBuild::avx2, WindowSumBuild::portable}) {
                if (build == WindowSumBuild::avx2 && !avx2Available())
                    continue;
                const ColumnTotals t = columnTotals({px, w, h}, columns, 5.0, upper, bound, build);
                for (std::size_t c = 0; c < expected.size(); ++c) {
                    ASSERT_EQ(std::bit_cast<std::uint64_t>(t.sums[c]), std::bit_cast<std::uint64_t>(expected[c].sum))
                        << w << " column " << c << " upper " << upper;
                    ASSERT_EQ(t.counts[c], expected[c].count) << w << " column " << c << " upper " << upper;
                    ASSERT_EQ(t.tiny[c] != 0, expected[c].below) << w << " column " << c << " bound " << bound;
                }
            }
        }
    }
    // A NaN in the columns read fails; one in the column after them does not.
    std::vector<float> px(24, 100.0f);
    px[11] = NAN; // row 1, column 3 of 8
    EXPECT_THROW(columnTotals({px, 8, 3}, 4, 0.0, 200.0, 1.0), Failure);
    EXPECT_NO_THROW(columnTotals({px, 8, 3}, 3, 0.0, 200.0, 1.0));
}

// Both builds of the correction against the plain loop, on samples that test the
// rounding: NaNs, infinities, negative zeros, tiny and huge ones, and an overflow.
TEST(Correction, BothBuildsOfTheCorrectionMatchThePlainLoop)
{
    std::mt19937 rng(11);
    const float awkward[] = {NAN, -NAN, INFINITY, -INFINITY, -0.0f, 0.0f, 1e-42f, -1e-42f, 3.4e38f, 16777217.0f, 0.1f};
    for (auto [w, binned, phase, amplitude] :
         {std::tuple{4008, false, 29, 7.3}, {2004, true, 13, -2.25}, {4032, false, 32, 1e-7}, {2016, true, 3, 3e38}}) {
        std::vector<float> px = awkwardImage(rng, w, 3, 1e-42f);
        for (std::size_t i = 0; i < px.size(); i += 37)
            px[i] = awkward[i % std::size(awkward)];
        const BandGeometry& bands = binned ? binned2x2Bands : unbinnedBands;
        std::vector<float> expected = px;
        bool overflow = false;
        for (std::int32_t b = normalisedPhase(phase, bands.period); b <= w; b += bands.period)
            for (std::int32_t col = b - bands.window; col < b && b >= bands.window; ++col)
                for (std::int32_t row = 0; row < 3; ++row) {
                    float& v = expected[static_cast<std::size_t>(row) * w + col];
                    const float x = static_cast<float>(static_cast<double>(v) + amplitude);
                    overflow |= std::isinf(x) && !std::isinf(v);
                    v = x;
                }
        for (WindowSumBuild build : {WindowSumBuild::avx2, WindowSumBuild::portable}) {
            if (build == WindowSumBuild::avx2 && !avx2Available())
                continue;
            std::vector<float> got = px;
            bool failed = false;
            try {
                addToOffsetBands({got, w, 3}, bands, phase, amplitude, build);
            } catch (const Failure& f) {
                failed = f.message() == messages::overflow;
            }
            EXPECT_EQ(failed, overflow) << w;
            EXPECT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)), 0) << w;
        }
    }
}

// The amplitude of an image whose band amplitude differs from period to period tells
// which pairs were counted; the expected values are added up by hand.
TEST(Correction, AmplitudeCountsExactlyTheNamedPairs)
{
    // Window means where the pair of period k differs by k: reference window means
    // k + 1000, offset window means 1000.
    auto meansFor = [](std::int32_t width, std::int32_t period, std::int32_t phase) {
        std::vector<long double> means(static_cast<std::size_t>(width - period / 2), 1000.0L);
        for (std::int32_t k = 0; period * k + phase < static_cast<std::int32_t>(means.size()); ++k)
            means[static_cast<std::size_t>(period * k + phase)] = 1000.0L + k;
        return means;
    };
    // Unbinned, 4008 columns: pairs 20 to 105, whose differences average (20 + 105) / 2.
    EXPECT_EQ(bandAmplitude(meansFor(4008, 32, 8), unbinnedBands, 4008, 8), 62.5);
    EXPECT_EQ(reference::amplitude(meansFor(4008, 32, 8), false, 4008, 8), 62.5);
    // 2x2, 2004 columns, phase 12: pairs 0 to 121, all counted: 60.5.
    EXPECT_EQ(bandAmplitude(meansFor(2004, 16, 12), binned2x2Bands, 2004, 12), 60.5);
    // Phase 4: the first pair's offset window would start at column -4, so pairs 1 to
    // 121 count: 61. Phase 8: the first offset window starts at column 0 and counts: 60.5.
    EXPECT_EQ(bandAmplitude(meansFor(2004, 16, 4), binned2x2Bands, 2004, 4), 61.0);
    EXPECT_EQ(bandAmplitude(meansFor(2004, 16, 8), binned2x2Bands, 2004, 8), 60.5);
}

TEST(Correction, TinySampleAgainstALargeSumRoundsTwice)
{
    // Window 0 sums 1039 samples of 2^30, then 2^-13 (1 + 2^-23): half an ulp of the sum
    // and a little more. A plain double sum rounds up; extended then double rounds to
    // the tie and then to even, that is down.
    TestHost host;
    Workspace ws(host);
    const std::int32_t w = 4008, h = 65;
    ws.image.imageWidth = w;
    ws.image.imageHeight = h;
    ws.image.floatPixels.assign(static_cast<std::size_t>(w) * h, 1073741824.0f);
    const float tiny = std::ldexp(1.0f + std::ldexp(1.0f, -23), -13);
    ws.image.floatPixels[static_cast<std::size_t>(h - 1) * w + 15] = tiny;
    const double upper = 1.5 * 1073741824.0;
    double plain = 0;
    for (std::int32_t c = 0; c < 16; ++c)
        for (std::int32_t r = 0; r < h; ++r)
            plain += ws.image.floatPixels[static_cast<std::size_t>(r) * w + c];
    const auto expected = reference::columnMeans(ws, 16, 0.0, upper);
    ASSERT_NE(static_cast<long double>(plain / 1040), expected[0]); // the case tells the two apart
    std::vector<long double> means(static_cast<std::size_t>(w - 16), 0.0L);
    bandWindowMeans({ws.image.floatPixels, w, h}, unbinnedBands, upper, means);
    EXPECT_EQ(std::memcmp(&expected[0], &means[0], 10), 0);
    EXPECT_EQ(std::memcmp(&expected[1], &means[1], 10), 0);

    // The first offset window the amplitude reads at phase 8 is columns 632 to 647. Its
    // sum passes 2^40 (an ulp of 2^-12) in the last column's 62nd row; three samples of
    // 0.75 ulp after that each round up to a whole ulp. Summed as one column first they
    // make 2.25 ulp, which rounds to 2: measureBands must keep the window's own order.
    ws.image.floatPixels.assign(static_cast<std::size_t>(w) * h, 1073741824.0f);
    for (std::int32_t r = h - 3; r < h; ++r)
        ws.image.floatPixels[static_cast<std::size_t>(r) * w + 647] = std::ldexp(3.0f, -14);
    const double amplitude = reference::amplitude(reference::columnMeans(ws, 16, 0.0, upper), false, w, 8);
    const double measured = measureBands({ws.image.floatPixels, w, h}, unbinnedBands, 8, upper).amplitude;
    EXPECT_EQ(std::memcmp(&amplitude, &measured, sizeof amplitude), 0) << amplitude << " " << measured;
}

TEST(Correction, NaNFailsLikeTheReference)
{
    std::vector<float> px(4008 * 3, 1000.0f);
    px[4008 + 700] = NAN;
    std::vector<long double> means(4008 - 16, 0.0L);
    std::string message;
    try {
        bandWindowMeans({px, 4008, 3}, unbinnedBands, 1500, means);
    } catch (const Failure& f) {
        message = f.message();
    }
    EXPECT_EQ(message, messages::invalidOperation);
    EXPECT_EQ(means[684], 1000.0L); // windows before the NaN are done
    EXPECT_EQ(means[685], 0.0L);
}


// ---- Band profile and residual amplitude ---------------------------------------------

TEST(BandProfile, KnownAnswersOfBothBinnings)
{
    // Columns read: unbinned, pairs 20 to 105 at phase 8, from the offset window of
    // 20 x 32 + 8 to the end of the reference window of 105 x 32 + 8; 2x2 at phase 4, pair 0
    // is left out (offset window at -4), so pairs 1 to 121: 20 - 8 to 1940 + 7.
    struct Case {
        bool binned;
        std::int32_t width, phase, first, last;
    };
    for (const Case& c : {Case{false, 4008, 8, 632, 3383}, Case{true, 2004, 4, 12, 1947}}) {
        const std::int32_t period = c.binned ? 16 : 32;
        Opened run;
        run.open(c.width, 3, pattern(c.width, 3, period, c.phase, 1010, 1000));
        run.run.binning = c.binned ? Binning::binned2x2 : Binning::unbinned;
        run.run.phase = c.phase;
        const ProfileOutcome out = profileFloat32Columns(run.ws, run.run);
        EXPECT_TRUE(run.host.boxes.empty());
        EXPECT_EQ(out.image.result, ImageOutcome::Result::corrected);
        EXPECT_EQ(out.image.amplitude, 10.0);
        const BandProfile& p = out.profile;
        EXPECT_EQ(p.columns.first, c.first);
        EXPECT_EQ(p.columns.last, c.last);
        ASSERT_EQ(p.before.size(), static_cast<std::size_t>(period));
        ASSERT_EQ(p.after.size(), static_cast<std::size_t>(period));
        for (std::int32_t q = 0; q < period; ++q) {
            EXPECT_EQ(p.before[static_cast<std::size_t>(q)], q < period / 2 ? 1010.0 : 1000.0) << q;
            EXPECT_EQ(p.after[static_cast<std::size_t>(q)], 1010.0) << q;
        }
        EXPECT_EQ(p.residual.amplitude, 0.0);
        EXPECT_EQ(p.residual.noise, 0.0);
        EXPECT_FALSE(std::filesystem::exists(run.dir / "out.fits"));
    }

    // A typed amplitude of 4 lifts the offset bands to 1004 and leaves 6 behind.
    Opened typed;
    typed.open(4008, 2, pattern(4008, 2, 32, 8, 1010, 1000));
    typed.run.amplitude.typed = 4;
    const ProfileOutcome out = typed.profile(8);
    EXPECT_FALSE(out.image.measured);
    EXPECT_EQ(out.profile.after[0], 1010.0);
    EXPECT_EQ(out.profile.after[16], 1004.0);
    EXPECT_EQ(out.profile.residual.amplitude, 6.0);
    EXPECT_EQ(out.profile.residual.phase, 8);

    // A faint star of 1400 in every reference column, below the bound of 1.5 x 1000: it
    // lifts the reference mean to 1140 and so the amplitude to 140; after the correction
    // the same bound counts it again, and nothing is left.
    auto px = pattern(4008, 3, 32, 8, 1010, 1000);
    for (std::size_t c = 0; c < 4008; ++c)
        if (px[c] == 1010)
            px[c] = 1400;
    Opened faint;
    faint.open(4008, 3, px);
    const ProfileOutcome starred = faint.profile(8);
    EXPECT_EQ(starred.image.amplitude, 140.0);
    EXPECT_EQ(starred.profile.after[16], 1140.0);
    EXPECT_EQ(starred.profile.residual.amplitude, 0.0);

    // No qualifying sample in columns 0 to 15, far from the columns the amplitude reads:
    // the table of window means fails at window 0, and so does the profile, under its
    // own name.
    auto blank = pattern(4008, 2, 32, 8, 1010, 1000);
    for (std::size_t i = 0; i < blank.size(); ++i)
        if (i % 4008 < 16)
            blank[i] = 0;
    Opened zero;
    zero.open(4008, 2, blank);
    const ProfileOutcome failed = zero.profile(8);
    EXPECT_EQ(failed.image.result, ImageOutcome::Result::failed);
    EXPECT_EQ(zero.host.texts(Box::error),
              std::vector<std::string>{"Invalid floating point operation... in function profileFloat32Columns."});
}

TEST(BandProfile, MatchesThePlainLoop)
{
    std::mt19937 rng(11);
    for (auto [w, binned] : {std::pair{4008, false}, {4032, false}, {2004, true}, {2016, true}}) {
        const std::int32_t period = binned ? 16 : 32;
        for (std::int32_t phase : {1, 7, period / 2 + 3, period}) {
            const std::int32_t h = 5;
            const auto px = awkwardImage(rng, w, h, phase == 7 ? 1e-42f : 1e-30f);
            TestHost host;
            Workspace ws(host);
            ws.image.imageWidth = w;
            ws.image.imageHeight = h;
            ws.image.floatPixels = px;
            const BandGeometry& bands = binned ? binned2x2Bands : unbinnedBands;
            const BandMeasure measured = measureBands({px, w, h}, bands, phase, 1040.0);
            const auto expected = reference::bandProfile(ws, binned, phase, 1040.0);
            ASSERT_EQ(measured.profile.size(), expected.size());
            EXPECT_EQ(std::memcmp(measured.profile.data(), expected.data(), sizeof(double) * expected.size()), 0)
                << w << " phase " << phase;
            // The amplitude from the column sums is that of the table of window means,
            // also where tiny samples make the sums inexact.
            const double amplitude = reference::amplitude(reference::columnMeans(ws, bands.window, bands.lowerBound, 1040.0),
                                                          binned, w, phase);
            EXPECT_EQ(std::memcmp(&amplitude, &measured.amplitude, sizeof amplitude), 0) << w << " phase " << phase;
        }
    }
}

} // namespace
} // namespace kestrel
