// The batch as both front ends run it: several files at once, handed over and put in
// place in input order, a stop that leaves exactly the files handed over, and failures
// of the deferred write carried in the outcome under the right routine.
#include "engine/batch.h"

#include "core/whole_file.h"
#include "tests/support/fits_builder.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

/// A float image whose reference bands (from `phase`) read 1000 + `amplitude`.
std::string floatImage(int width, int height, int phase, float amplitude)
{
    const int period = width > 3000 ? 32 : 16;
    std::vector<float> px(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < px.size(); ++i) {
        const int col = static_cast<int>(i % static_cast<std::size_t>(width));
        px[i] = ((col - phase) % period + period) % period < period / 2 ? 1000 + amplitude : 1000;
    }
    return testing::headerRecords(testing::floatImageCards(width, height)) + testing::floatData(px);
}

/// Notes what it is handed, in the order handed, and stops where it is told to.
struct Recorder : BatchObserver {
    std::vector<std::size_t> order;
    std::vector<ImageResult> results;
    std::size_t stopAfter = ~std::size_t{0};
    bool imageDone(std::size_t index, ImageResult& result) override
    {
        order.push_back(index);
        results.push_back(result);
        return index != stopAfter;
    }
};

struct Batch {
    TempDir dir;
    std::vector<fs::path> inputs;

    explicit Batch(int count)
    {
        for (int i = 0; i < count; ++i) {
            const bool binned = i % 3 == 1;
            inputs.push_back(dir / ("f" + std::to_string(i) + ".fits"));
            testing::writeFile(inputs.back(), floatImage(binned ? 2004 : 4008, 5 + i % 4, 8, 2.0f + i));
        }
    }
    fs::path out(std::size_t i) const { return dir / "out" / inputs[i].filename(); }
    Recorder run(unsigned jobs, std::size_t stopAfter = ~std::size_t{0}, std::vector<PixelBuffer<float>> ready = {})
    {
        fs::create_directories(dir / "out");
        BatchSettings settings;
        settings.phases = {"8", "8"};
        settings.jobs = jobs;
        BatchRun batch(inputs, OutputPlan(false, dir / "out", inputs), settings, std::move(ready));
        Recorder recorder;
        recorder.stopAfter = stopAfter;
        batch.run(recorder);
        return recorder;
    }
};

// Files treated several at once come out as one at a time would make them, handed over
// in input order.
TEST(BatchRun, SeveralAtOnceAsOneAtATimeInInputOrder)
{
    Batch batch(9);
    const Recorder serial = batch.run(1);
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < batch.inputs.size(); ++i)
        expected.push_back(testing::readFile(batch.out(i)));
    fs::remove_all(batch.dir / "out");

    const Recorder parallel = batch.run(4);
    ASSERT_EQ(parallel.order.size(), batch.inputs.size());
    for (std::size_t i = 0; i < batch.inputs.size(); ++i) {
        EXPECT_EQ(parallel.order[i], i);
        EXPECT_EQ(parallel.results[i].input, batch.inputs[i]);
        EXPECT_EQ(parallel.results[i].outcome.amplitude, 2.0 + static_cast<double>(i));
        EXPECT_EQ(testing::readFile(batch.out(i)), expected[i]) << i;
    }
    EXPECT_EQ(serial.order, parallel.order);

    // Workers that start on buffers made ready ahead, holding whatever was left in them
    // and sized for the first file (later ones are larger), make the same files.
    ReadyPixels ready(batch.inputs[0], 3);
    std::vector<PixelBuffer<float>> buffers = ready.take();
    ASSERT_EQ(buffers.size(), 3u);
    EXPECT_EQ(buffers[0].size(), fs::file_size(batch.inputs[0]) / 4);
    for (PixelBuffer<float>& b : buffers)
        std::fill(b.begin(), b.end(), std::numeric_limits<float>::quiet_NaN());
    fs::remove_all(batch.dir / "out");
    batch.run(3, ~std::size_t{0}, std::move(buffers));
    for (std::size_t i = 0; i < batch.inputs.size(); ++i)
        EXPECT_EQ(testing::readFile(batch.out(i)), expected[i]) << i;
    EXPECT_TRUE(ReadyPixels(batch.dir / "missing.fits", 2).take().empty());
}

// A run that stops leaves exactly the files it handed over, and nothing beside them,
// however far the workers had got.
TEST(BatchRun, AStopLeavesExactlyTheFilesHandedOver)
{
    for (const std::size_t stopAfter : {std::size_t{0}, std::size_t{3}}) {
        Batch batch(8);
        const Recorder r = batch.run(3, stopAfter);
        EXPECT_EQ(r.order.size(), stopAfter + 1);
        for (std::size_t i = 0; i < batch.inputs.size(); ++i)
            EXPECT_EQ(fs::exists(batch.out(i)), i <= stopAfter) << i;
        for (const auto& e : fs::directory_iterator(batch.dir / "out"))
            EXPECT_EQ(e.path().filename().string().rfind(".kestrel-", 0), std::string::npos) << "temporary file left";
    }
}

// A written file that cannot take its place, or whose samples cannot be written, fails
// its image under the routine of its binning, with the reason, as a failure of the
// correction; the files before it stand.
TEST(BatchRun, AFileThatCannotTakeItsPlaceNamesItsRoutine)
{
    for (const bool binned : {false, true})
    for (const bool samples : {false, true}) {
        SCOPED_TRACE(std::string(binned ? "2x2" : "1x1") + (samples ? ", write" : ", rename"));
        TempDir dir;
        const fs::path input = dir / "in.fits";
        testing::writeFile(input, floatImage(binned ? 2004 : 4008, 4, 8, 3));
        FileSystemCalls full = realFileSystemCalls();
        full.rename = [](const char*, const char*) {
            errno = ENOSPC;
            return -1;
        };
        if (samples)
            full.write = [](int, const void*, std::size_t) -> ssize_t {
                errno = ENOSPC;
                return -1;
            };
        BatchSettings settings;
        settings.phases = {"8", "8"};
        Recorder r;
        {
            ScopedFileSystemCalls scoped(full);
            BatchRun batch({input}, OutputPlan(false, dir / "out", {input}), settings);
            fs::create_directories(dir / "out");
            batch.run(r);
        }
        ASSERT_EQ(r.results.size(), 1u);
        const ImageOutcome& out = r.results[0].outcome;
        const std::string report = "Cannot write " + (dir / "out" / "in.fits").string() + ": " +
                                   std::strerror(ENOSPC) + "... in function " +
                                   (binned ? "fixFloat32Columns2x2" : "fixFloat32Columns") + ".";
        EXPECT_EQ(out.result, ImageOutcome::Result::failed);
        EXPECT_EQ(out.message, report);
        EXPECT_TRUE(out.stopsRun);
        ASSERT_FALSE(out.reports.empty());
        EXPECT_EQ(out.reports.back(), (BoxReport{BoxKind::error, report}));
        EXPECT_FALSE(fs::exists(dir / "out" / "in.fits"));
    }
}

// The files go into the output folder the run checked, opened once: swapped meanwhile
// for a link to the inputs' folder (mv out out.old; ln -s night out), it takes them all
// and no original is replaced.
TEST(BatchRun, WritesIntoTheFolderItCheckedThoughItsPathIsSwappedForALink)
{
    Batch batch(3);
    fs::create_directories(batch.dir / "out");
    BatchSettings settings;
    settings.phases = {"8", "8"};
    BatchRun run(batch.inputs, OutputPlan(false, batch.dir / "out", batch.inputs), settings);
    std::vector<std::string> originals;
    for (const fs::path& input : batch.inputs)
        originals.push_back(testing::readFile(input));
    fs::rename(batch.dir / "out", batch.dir / "out.old");
    fs::create_directory_symlink(batch.dir.path(), batch.dir / "out");
    Recorder r;
    run.run(r);
    ASSERT_EQ(r.results.size(), batch.inputs.size());
    for (std::size_t i = 0; i < batch.inputs.size(); ++i) {
        EXPECT_EQ(r.results[i].outcome.result, ImageOutcome::Result::corrected) << r.results[i].outcome.message;
        EXPECT_EQ(testing::readFile(batch.inputs[i]), originals[i]) << i;
        EXPECT_TRUE(fs::exists(batch.dir / "out.old" / batch.inputs[i].filename())) << i;
    }
}

// An overwrite run that is stopped keeps a journal of what it replaced: started again, it
// skips those files while they are unchanged (correcting them twice would add the bands
// again) and corrects the rest, or all of them when forced; a run that ends leaves none.
TEST(BatchRun, ARunStartedAgainCorrectsNoFileTwice)
{
    Batch batch(3);
    const fs::path journal = batch.dir / ".kestrel-journal";
    auto overwrite = [&](bool force, std::size_t stopAfter) {
        BatchSettings settings;
        settings.phases = {"8", "8"};
        settings.amplitude = 6.5; // each correction adds it again
        settings.force = force;
        BatchRun run(batch.inputs, OutputPlan(true, {}, batch.inputs), settings);
        Recorder r;
        r.stopAfter = stopAfter;
        run.run(r);
        std::vector<ImageOutcome::Skip> skips;
        for (const ImageResult& result : r.results)
            skips.push_back(result.outcome.skip);
        return skips;
    };
    using Skip = ImageOutcome::Skip;
    const std::string original = testing::readFile(batch.inputs[1]);
    EXPECT_EQ(overwrite(false, 0), std::vector<Skip>{Skip::none});
    const std::string once = testing::readFile(batch.inputs[0]);
    EXPECT_TRUE(fs::exists(journal));
    EXPECT_EQ(overwrite(false, ~std::size_t{0}), (std::vector<Skip>{Skip::correctedBefore, Skip::none, Skip::none}));
    EXPECT_TRUE(testing::readFile(batch.inputs[0]) == once);
    EXPECT_TRUE(testing::readFile(batch.inputs[1]) != original);
    EXPECT_FALSE(fs::exists(journal));

    testing::writeFile(batch.inputs[0], once);
    EXPECT_EQ(overwrite(false, 0), std::vector<Skip>{Skip::none});
    const std::string twice = testing::readFile(batch.inputs[0]);
    EXPECT_EQ(overwrite(true, 0), std::vector<Skip>{Skip::none});
    EXPECT_TRUE(testing::readFile(batch.inputs[0]) != twice);
    testing::writeFile(batch.inputs[0], twice); // changed since it was noted
    EXPECT_EQ(overwrite(false, 0), std::vector<Skip>{Skip::none});
}

// The steps below the window never pump its events: they may run on any thread.
TEST(Steps, NeverPumpTheWindowsEvents)
{
    TempDir dir;
    testing::writeFile(dir / "f.fits", floatImage(4008, 3, 8, 5));
    std::vector<std::uint16_t> px(4008 * 3);
    for (std::size_t i = 0; i < px.size(); ++i)
        px[i] = (i % 4008 % 32 + 32 - 8) % 32 < 16 ? 1100 : 1000;
    testing::writeFile(dir / "p.fits", testing::headerRecords(testing::uint16ImageCards(4008, 3)) + testing::uint16Data(px));
    testing::TestHost host;
    host.onPump = [](long) { ADD_FAILURE() << "the window's events were pumped"; };
    Workspace ws(host);
    ASSERT_TRUE(readImageHeader(ws, dir / "f.fits"));
    EXPECT_EQ(correctLoadedImage(ws, {"8", "8"}, 0, dir / "out.fits").result, ImageOutcome::Result::corrected);
    ASSERT_TRUE(readImageHeader(ws, dir / "f.fits"));
    EXPECT_EQ(profileLoadedImage(ws, {"8", "8"}, 0).image.result, ImageOutcome::Result::corrected);
    ASSERT_TRUE(loadFitsHeader(ws, dir / "p.fits"));
    const PhaseOutcome phase = searchLoadedPhase(ws);
    EXPECT_EQ(phase.result, PhaseOutcome::Result::found);
    EXPECT_EQ(phase.search.phase, 8);
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_EQ(host.pumps, 0);
}

// Where the output folder folds case (exFAT, vfat), M31.fits and m31.fits are one
// output: the second input is refused as repeated, not written over the first.
TEST(OutputPlan, NamesDifferingInCaseAreOneOutputWhereTheFolderFoldsCase)
{
    TempDir dir;
    const std::vector<std::filesystem::path> inputs{dir / "a" / "M31.fits", dir / "b" / "m31.fits"};
    for (const bool folds : {false, true}) {
        SCOPED_TRACE(folds);
        OutputPlan plan(false, dir / "out", inputs);
        plan.assumeProbe({std::nullopt, folds});
        EXPECT_FALSE(plan.claim(inputs[0]));
        const auto second = plan.claim(inputs[1]);
        ASSERT_EQ(second.has_value(), folds);
        if (folds) {
            EXPECT_EQ(second->kind, OutputPlan::Refusal::Kind::repeated);
        }
    }
}

} // namespace
} // namespace kestrel
