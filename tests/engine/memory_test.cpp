// An image held in memory goes through the steps a file goes through: corrected, it
// holds the samples the file's correction writes; profiled and searched, it gives the
// file's numbers. The front ends that hand over arrays rely on it.
#include "engine/batch.h"
#include "fits/writer.h"

#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

/// A banded sky with noise from a fixed sequence, a few stars, and `special` samples.
std::vector<float> sky(int width, int height, float level, const std::vector<float>& special = {})
{
    const int period = width > 3000 ? 32 : 16;
    std::vector<float> px(static_cast<std::size_t>(width) * height);
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < px.size(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        const int col = static_cast<int>(i % static_cast<std::size_t>(width));
        const float band = ((col - 8) % period + period) % period < period / 2 ? 6.5f : 0.0f;
        px[i] = level + band + static_cast<float>(noise >> 24) / 16.0f - 8.0f;
    }
    for (std::size_t i = 0; i < px.size(); i += 997)
        px[i] = 30000;
    std::copy(special.begin(), special.end(), px.begin() + width + 20);
    return px;
}

/// The samples of a written float file, after its header of one record.
std::vector<float> writtenSamples(const fs::path& file, std::size_t count)
{
    const std::string bytes = testing::readFile(file);
    std::vector<float> px(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t u;
        std::memcpy(&u, bytes.data() + 2880 + 4 * i, 4);
        px[i] = std::bit_cast<float>(__builtin_bswap32(u));
    }
    return px;
}

struct Case {
    int width;
    float level;
    double typed;
    bool balanced;
    bool pixInsight;
    std::vector<float> special;
};

TEST(InMemory, CorrectedAndProfiledAsItsFile)
{
    const float nan = std::nanf("");
    const std::vector<Case> cases{
        {4008, 1200, 0, false, false, {}},
        {2016, 1200, 0, true, false, {}},
        {4032, 40, 0, false, false, {-5, -0.0f, 3e38f}},
        {2004, 1200, 4, false, false, {nan, -1}},
        {4008, 1200, 0, false, true, {}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + (c.pixInsight ? " PixInsight" : ""));
        const int height = 6;
        std::vector<float> px = sky(c.width, height, c.level, c.special);
        std::vector<std::string> extra;
        if (c.pixInsight) {
            extra.push_back(testing::card("PROGRAM", "'PixInsight 1.8'"));
            for (float& x : px)
                x = static_cast<float>(static_cast<double>(x) / 65535.0);
        }
        const fs::path input = dir / "in.fits";
        testing::writeFile(input, testing::headerRecords(testing::floatImageCards(c.width, height, extra)) +
                                      testing::floatData(px));
        BatchSettings settings;
        settings.phases = {"8", "0"};
        settings.amplitude = {c.typed, c.balanced};
        PixelBuffer<float> buffer;
        PendingImage written = correctFile(input, dir / "out.fits", settings, buffer);
        finishWriting(written);
        const ProfileOutcome fileProfile = profileFile(input, settings.phases, {c.typed, c.balanced});

        const auto inMemory = [&](auto step) {
            RecordingHost host;
            Workspace ws(host);
            ws.image = floatImageFromPixels(c.width, height, PixelBuffer<float>(px));
            if (c.pixInsight)
                scaleFromPixInsight(ws.image.floatPixels);
            const BandChoice choice = chooseBands(ws, settings.phases, {c.typed, c.balanced});
            EXPECT_TRUE(choice.run);
            return step(ws, *choice.run);
        };
        std::vector<float> corrected;
        const ImageOutcome outcome = inMemory([&](Workspace& ws, const ImageRun& run) {
            ImageOutcome o = correctFloat32InMemory(ws, run);
            samplesAsWritten(ws.image.floatPixels, c.pixInsight);
            corrected.assign(ws.image.floatPixels.begin(), ws.image.floatPixels.end());
            return o;
        });
        ASSERT_EQ(written.result.outcome.result, ImageOutcome::Result::corrected);
        EXPECT_EQ(outcome.result, ImageOutcome::Result::corrected);
        EXPECT_EQ(outcome.amplitude, written.result.outcome.amplitude);
        EXPECT_EQ(outcome.background, written.result.outcome.background);
        EXPECT_EQ(outcome.routine, written.result.outcome.routine);
        const std::vector<float> expected = writtenSamples(dir / "out.fits", px.size());
        for (std::size_t i = 0; i < px.size(); ++i)
            ASSERT_EQ(std::bit_cast<std::uint32_t>(corrected[i]), std::bit_cast<std::uint32_t>(expected[i])) << i;

        const ProfileOutcome profile = inMemory(
            [&](Workspace& ws, const ImageRun& run) { return profileFloat32InMemory(ws, run); });
        EXPECT_EQ(profile.image.result, fileProfile.image.result);
        EXPECT_EQ(profile.profile.before, fileProfile.profile.before);
        EXPECT_EQ(profile.profile.after, fileProfile.profile.after);
        EXPECT_EQ(profile.profile.residual.amplitude, fileProfile.profile.residual.amplitude);
    }
}

TEST(InMemory, PhaseOfLoadedSamplesAsOfItsFile)
{
    TempDir dir;
    for (const int width : {4008, 2016}) {
        const std::vector<float> px = sky(width, 20, 1200);
        const std::vector<std::uint16_t> raw(px.begin(), px.end());
        testing::writeFile(dir / "raw.fits", testing::headerRecords(testing::uint16ImageCards(width, 20)) +
                                                 testing::uint16Data(raw));
        const PhaseOutcome fromFile = searchFilePhase(dir / "raw.fits");
        RecordingHost host;
        Workspace ws(host);
        ws.image.imageWidth = width;
        ws.image.imageHeight = 20;
        ws.image.int16Pixels = raw;
        PhaseOutcome out;
        out.bands = *binningOfWidth(width);
        searchPixelsPhase(ws, out);
        ASSERT_EQ(fromFile.result, PhaseOutcome::Result::found);
        EXPECT_EQ(out.result, PhaseOutcome::Result::found);
        EXPECT_EQ(out.search.phase, fromFile.search.phase);
        EXPECT_EQ(out.search.scores, fromFile.search.scores);
        ASSERT_EQ(out.contrasts.size(), fromFile.contrasts.size());
        for (std::size_t p = 0; p < out.contrasts.size(); ++p)
            EXPECT_EQ(out.contrasts[p].significance, fromFile.contrasts[p].significance);
    }
    EXPECT_EQ(widthReason(100), "width 100 is neither unbinned (4008, 4032) nor 2x2-binned (2004, 2016)");
}

} // namespace
} // namespace kestrel
