#include "correction/correction.h"

#include "analysis/analysis.h"
#include "correction/band_layout.h"
#include "tests/analysis/reference.h"
#include "tests/support/fits_builder.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace kestrel {
namespace {

using testing::Box;
using testing::TempDir;
using testing::TestHost;

struct ImageRun {
    TestHost host;
    WindowModel window;
    Workspace ws{host, window};
    TempDir dir;

    /// Writes the image as a float file and opens it as the batch run would.
    void open(std::int32_t w, std::int32_t h, const std::vector<float>& px, const std::vector<std::string>& extra = {},
              bool truncate = false)
    {
        std::string bytes = testing::headerRecords(testing::floatImageCards(w, h, extra)) + testing::floatData(px);
        if (truncate)
            bytes.resize(bytes.size() - 2880 * 2);
        testing::writeFile(dir / "in.fits", bytes);
        ASSERT_TRUE(loadFitsHeader(ws, dir / "in.fits"));
        ws.imageWidth = w;
        ws.imageHeight = h;
        ws.fileCount = 1;
        ws.imageResults.assign(1, tImageData{});
        ws.imageResults[0].amplitude = 42;
    }
    std::string cell(int column) const { return window.grid.cell(column, 1); }
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

float at(const Workspace& ws, std::int32_t c, std::int32_t r) { return ws.floatPixels[static_cast<std::size_t>(r) * ws.imageWidth + c]; }

TEST(Correction, MeasuredUnbinnedImage)
{
    ImageRun run;
    run.open(4008, 3, pattern(4008, 3, 32, 8, 1010, 1000), {testing::card("CCD-TEMP", "-19.5"), testing::card("EXPOSURE", "300")});
    run.ws.phase = 8;
    fixFloat32Columns(run.ws, run.dir / "out.fits");
    EXPECT_TRUE(run.host.boxes.empty());
    EXPECT_EQ(run.ws.amplitude, 10.0);
    EXPECT_EQ(run.cell(4), " 10.000");
    EXPECT_EQ(run.cell(1), "  1000.00");
    EXPECT_EQ(run.cell(2), "    300");
    EXPECT_EQ(run.cell(3), "     -20");
    EXPECT_EQ(run.ws.backgroundFlux, 1500.0);
    EXPECT_EQ(run.ws.bandCount, 125);
    EXPECT_EQ(run.ws.columnMeans.size(), 3992u);
    EXPECT_TRUE(run.ws.imageResults[0].measured);
    EXPECT_EQ(run.ws.imageResults[0].amplitude, 10.0f);
    EXPECT_EQ(run.ws.imageResults[0].ccdTemp, -20);
    EXPECT_EQ(run.ws.imageResults[0].exposure, 300);
    for (std::int32_t c = 0; c < 4008; ++c)
        ASSERT_EQ(at(run.ws, c, 2), c < 8 ? 1000.0f : 1010.0f) << c;
    EXPECT_TRUE(std::filesystem::exists(run.dir / "out.fits"));

    // The darker reference bands give a negative amplitude; -20.5 rounds to -20 too.
    ImageRun dark;
    dark.open(4008, 2, pattern(4008, 2, 32, 8, 1000, 1010), {testing::card("CCD-TEMP", "-20.5")});
    dark.ws.phase = 8;
    fixFloat32Columns(dark.ws, dark.dir / "out.fits");
    EXPECT_EQ(dark.cell(4), "-10.000");
    EXPECT_EQ(dark.cell(3), "     -20");
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
        WindowModel window;
        Workspace ws(host, window);
        ws.imageWidth = c.width;
        ws.imageHeight = 2;
        ws.floatPixels.assign(static_cast<std::size_t>(c.width) * 2, 0.0f);
        ws.phase = c.phase;
        ws.amplitude = 1;
        const bool unbinned = c.binning == Binning::unbinned;
        unbinned ? applyBandCorrection(ws) : applyBandCorrection2x2(ws);
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
    ImageRun run;
    run.open(2004, 2, pattern(2004, 2, 16, 4, 1010, 1000));
    run.ws.phase = 4;
    fixFloat32Columns2x2(run.ws, run.dir / "out.fits");
    EXPECT_EQ(run.ws.amplitude, 10.0);
    EXPECT_EQ(run.ws.bandCount, 122);
    for (std::int32_t c = 0; c < 2004; ++c)
        ASSERT_EQ(at(run.ws, c, 1), c < 4 ? 1000.0f : 1010.0f) << c;

    // Samples of exactly 5.0 stay out of the 2x2 means: here they would halve the offset mean.
    ImageRun five;
    auto px = pattern(2004, 2, 16, 12, 1010, 1000);
    for (std::size_t i = 4; i < px.size(); i += 40)
        if (px[i] == 1000)
            px[i] = 5.0f;
    five.open(2004, 2, px);
    five.ws.phase = 12;
    five.ws.amplitudeSetting = 0;
    fixFloat32Columns2x2(five.ws, five.dir / "out.fits");
    EXPECT_EQ(five.ws.amplitude, 10.0);
    EXPECT_EQ(at(five.ws, 4, 0), 15.0f);
}

TEST(Correction, TypedAmplitudeAndFailedImages)
{
    ImageRun typed;
    typed.open(4008, 2, std::vector<float>(8016, 100.0f));
    typed.ws.phase = 32;
    typed.ws.amplitudeSetting = 2.5;
    fixFloat32Columns(typed.ws, typed.dir / "out.fits");
    EXPECT_EQ(typed.cell(4), "  2.500");
    EXPECT_FALSE(typed.ws.imageResults[0].measured);
    EXPECT_EQ(typed.ws.imageResults[0].amplitude, 42.0f);
    EXPECT_EQ(at(typed.ws, 16, 1), 102.5f);
    EXPECT_EQ(at(typed.ws, 15, 1), 100.0f);

    // 9999 typed, a truncated file and a short buffer: Failed, nothing written, the run goes on.
    for (int variant = 0; variant < 2; ++variant) {
        ImageRun failed;
        failed.open(4008, 2, std::vector<float>(8016, 100.0f), {testing::card("EXPOSURE", "60")}, variant == 1);
        failed.ws.amplitudeSetting = variant == 0 ? 9999 : 0;
        failed.window.grid.setCell(4, 1, "old");
        fixFloat32Columns(failed.ws, failed.dir / "out.fits");
        EXPECT_EQ(failed.cell(3), "Failed");
        EXPECT_EQ(failed.cell(4), "old");
        EXPECT_EQ(failed.cell(2), "    60");
        EXPECT_EQ(failed.ws.amplitude, 9999.0);
        EXPECT_FALSE(failed.ws.cancelRequested);
        EXPECT_FALSE(std::filesystem::exists(failed.dir / "out.fits"));
        EXPECT_LE(failed.host.boxes.size(), variant == 0 ? 0u : 1u); // at most the loader's own box
    }

    // An all-zero image has no qualifying sample: the run stops, named after the routine.
    for (bool binned : {false, true}) {
        ImageRun zero;
        zero.open(binned ? 2004 : 4008, 2, std::vector<float>(binned ? 4008 : 8016, 0.0f));
        binned ? fixFloat32Columns2x2(zero.ws, zero.dir / "out.fits") : fixFloat32Columns(zero.ws, zero.dir / "out.fits");
        const std::string name = binned ? "fixFloat32Columns2x2" : "fixFloat32Columns";
        EXPECT_EQ(zero.host.texts(Box::error).back(), "Invalid floating point operation... in function " + name + ".");
        EXPECT_TRUE(zero.ws.cancelRequested);
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
            const BandLayout& layout = binned ? binned2x2Layout : unbinnedLayout;
            ImageRun run;
            run.open(w, h, px);
            run.ws.phase = phase;
            binned ? fixFloat32Columns2x2(run.ws, run.dir / "out.fits") : fixFloat32Columns(run.ws, run.dir / "out.fits");
            ASSERT_TRUE(run.host.boxes.empty());

            // The same image the straightforward way.
            TestHost host;
            WindowModel window;
            Workspace ws(host, window);
            ws.imageWidth = w;
            ws.imageHeight = h;
            ws.floatPixels = px;
            ws.floatPixels.resize((px.size() + 719) / 720 * 720, 0.0f); // as loaded: whole records
            const double background = reference::background(ws, SampleType::float32);
            const double upper = static_cast<double>(static_cast<long double>(background) * 1.5L);
            EXPECT_EQ(run.ws.backgroundFlux, upper);
            const auto means = reference::columnMeans(ws, layout.window, layout.lowerBound, upper);
            ASSERT_EQ(means.size(), run.ws.columnMeans.size());
            for (std::size_t i = 0; i < means.size(); ++i)
                ASSERT_EQ(std::memcmp(&means[i], &run.ws.columnMeans[i], 10), 0) << w << " window " << i;
            ws.columnMeans = means;
            ws.phase = phase;
            const double amplitude = binned ? getBandAmplitude2x2(ws) : getBandAmplitude(ws);
            EXPECT_EQ(std::memcmp(&amplitude, &run.ws.amplitude, sizeof amplitude), 0);
            ws.amplitude = amplitude;
            ws.rawHeader = run.ws.rawHeader;
            for (std::int32_t b = phase; b <= w; b += layout.period)
                for (std::int32_t col = b - layout.window; col < b && b >= layout.window; ++col)
                    for (std::int32_t row = 0; row < h; ++row)
                        setPixelValueFloat(ws, col, row, static_cast<float>(getPixelValueFloat(ws, col, row) + amplitude));
            saveFloat32Fits(ws, run.dir / "expected.fits");
            EXPECT_EQ(testing::readFile(run.dir / "out.fits"), testing::readFile(run.dir / "expected.fits"));
        }
    }
}

TEST(Correction, TinySampleAgainstALargeSumRoundsTwice)
{
    // Window 0 sums 1039 samples of 2^30, then 2^-13 (1 + 2^-23): half an ulp of the sum
    // and a little more. A plain double sum rounds up; extended then double rounds to
    // the tie and then to even, that is down.
    TestHost host;
    WindowModel window;
    Workspace ws(host, window);
    const std::int32_t w = 4008, h = 65;
    ws.imageWidth = w;
    ws.imageHeight = h;
    ws.floatPixels.assign(static_cast<std::size_t>(w) * h, 1073741824.0f);
    const float tiny = std::ldexp(1.0f + std::ldexp(1.0f, -23), -13);
    ws.floatPixels[static_cast<std::size_t>(h - 1) * w + 15] = tiny;
    ws.backgroundFlux = 1.5 * 1073741824.0;
    double plain = 0;
    for (std::int32_t c = 0; c < 16; ++c)
        for (std::int32_t r = 0; r < h; ++r)
            plain += ws.floatPixels[static_cast<std::size_t>(r) * w + c];
    const auto expected = reference::columnMeans(ws, 16, 0.0, ws.backgroundFlux);
    ASSERT_NE(static_cast<long double>(plain / 1040), expected[0]); // the case tells the two apart
    fillColumnMeans(ws, unbinnedLayout);
    EXPECT_EQ(std::memcmp(&expected[0], &ws.columnMeans[0], 10), 0);
    EXPECT_EQ(std::memcmp(&expected[1], &ws.columnMeans[1], 10), 0);
}

TEST(Correction, NaNFailsLikeTheReference)
{
    TestHost host;
    WindowModel window;
    Workspace ws(host, window);
    ws.imageWidth = 4008;
    ws.imageHeight = 3;
    ws.floatPixels.assign(4008 * 3, 1000.0f);
    ws.floatPixels[4008 + 700] = NAN;
    ws.backgroundFlux = 1500;
    std::string message;
    try {
        fillColumnMeans(ws, unbinnedLayout);
    } catch (const Failure& f) {
        message = f.message();
    }
    EXPECT_EQ(message, messages::invalidOperation);
    EXPECT_EQ(ws.columnMeans[684], 1000.0L); // windows before the NaN are done
    EXPECT_EQ(ws.columnMeans[685], 0.0L);
}

} // namespace
} // namespace kestrel
