#include "tests/fits/fits_fixture.h"

#include "core/whole_file.h"
#include "fits/writer.h"

#include <bit>
#include <cstring>
#include <random>

#include <sys/stat.h>
#include <unistd.h>

namespace kestrel::testing {
namespace {

namespace fs = std::filesystem;

class WriterTest : public FitsTest {
protected:
    // Reads a file as the correction does before it writes.
    void load(const fs::path& path)
    {
        ASSERT_TRUE(loadFitsHeader(ws, path));
        ws.image.pixInsightImage = pixInsightFile(ws);
        ASSERT_TRUE(loadAllImageDataFloat32(ws));
    }

    std::vector<float> samplesOf(const fs::path& path)
    {
        Workspace other(host);
        EXPECT_TRUE(loadFitsHeader(other, path));
        EXPECT_TRUE(loadAllImageDataFloat32(other));
        return other.image.floatPixels;
    }
};

TEST_F(WriterTest, SameSizeAndHeaderBytesAsTheInput)
{
    std::vector<float> samples(1440);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(i) * 0.25f;
    const std::string header = headerRecords(floatImageCards(40, 36));
    const auto input = file("in.fits", header + floatData(samples));
    load(input);
    saveFloat32Fits(ws, dir / "out.fits");
    const std::string written = readFile(dir / "out.fits");
    EXPECT_EQ(written, readFile(input));
    EXPECT_EQ(folderContents(), (std::vector<std::string>{"in.fits", "out.fits"}));
}

TEST_F(WriterTest, ClampsNegativeAndNaNSamplesToZero)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    load(file("in.fits", headerRecords(floatImageCards(4, 1)) + floatData({-0.5f, 0.0f, 1.0f, nan})));
    saveFloat32Fits(ws, dir / "out.fits");
    const std::string data = readFile(dir / "out.fits").substr(2880);
    ASSERT_EQ(data.size(), 2880u);
    EXPECT_EQ(data.substr(0, 16), floatData({0.0f, 0.0f, 1.0f, 0.0f}, false));
    EXPECT_EQ(data.substr(8, 4), std::string("\x3F\x80\x00\x00", 4));
    EXPECT_TRUE(host.boxes.empty());

    // Negative zero and infinity pass the ">= 0" test; a NaN with its sign bit set does not.
    const float inf = std::numeric_limits<float>::infinity();
    ws.image.floatPixels.assign(720, -0.0f);
    ws.image.floatPixels[1] = inf;
    ws.image.floatPixels[2] = -nan;
    ws.image.floatPixels[3] = -inf;
    saveFloat32Fits(ws, dir / "out.fits");
    EXPECT_EQ(readFile(dir / "out.fits").substr(2880, 16), floatData({-0.0f, inf, 0.0f, 0.0f}, false));
}

TEST_F(WriterTest, ClampHoldsForEveryBitPattern)
{
    // Random bit patterns: every sign, NaNs, infinities and subnormals among them.
    std::mt19937 random(3);
    ws.image.rawHeader.assign(36, Card{});
    ws.image.floatPixels.resize(2 * 720);
    std::vector<float> expected(ws.image.floatPixels.size());
    for (std::size_t i = 0; i < ws.image.floatPixels.size(); ++i) {
        std::uint32_t bits = random();
        if (i % 7 == 0)
            bits &= 0x807FFFFFu; // zero exponent: zeros and subnormals
        if (i % 11 == 0)
            bits |= 0x7F800000u; // all-ones exponent: infinities and NaNs
        const float x = std::bit_cast<float>(bits);
        ws.image.floatPixels[i] = x;
        expected[i] = !std::isnan(x) && x >= 0.0f ? x : 0.0f;
    }
    saveFloat32Fits(ws, dir / "out.fits");
    EXPECT_EQ(readFile(dir / "out.fits").substr(2880), floatData(expected, false));
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(std::bit_cast<std::uint32_t>(ws.image.floatPixels[i]), std::bit_cast<std::uint32_t>(expected[i])) << i;
}

TEST_F(WriterTest, PixInsightImagesGoBackToTheirRange)
{
    const auto cards = floatImageCards(3, 1, {card("PROGRAM", "'PixInsight 1.8.9'")});
    load(file("in.fits", headerRecords(cards) + floatData({0.5f, 0.25f, 1.0f})));
    ASSERT_TRUE(ws.image.pixInsightImage);
    EXPECT_EQ(ws.image.floatPixels[0], 32767.5f);
    testing::setPixelValueFloat(ws, 1, 0, -10.0f);
    saveFloat32Fits(ws, dir / "out.fits");
    const auto back = samplesOf(dir / "out.fits");
    EXPECT_EQ(back[0], 0.5f);
    EXPECT_EQ(back[1], static_cast<float>(-10.0 / 65535.0));
    EXPECT_LT(back[1], 0.0f);
    EXPECT_EQ(back[2], 1.0f);
}

TEST_F(WriterTest, KeepsEveryHeaderRecord)
{
    std::vector<std::string> cards = floatImageCards(2, 1);
    while (cards.size() < 50)
        cards.push_back(card("HISTORY", "kept"));
    const std::string header = headerRecords(cards);
    ASSERT_EQ(header.size(), 5760u);
    load(file("in.fits", header + floatData({1, 2})));
    saveFloat32Fits(ws, dir / "out.fits");
    EXPECT_EQ(readFile(dir / "out.fits").substr(0, 5760), header);
}

TEST_F(WriterTest, ACutLastRecordIsPaddedAndNoDataWritesNothing)
{
    // Samples that end inside a record: written out to whole records of zero samples.
    for (std::size_t count : {1439, 721}) {
        ws.image.rawHeader.assign(36, Card{});
        ws.image.floatPixels.assign(count, 1.0f);
        saveFloat32Fits(ws, dir / "padded.fits");
        const std::string out = readFile(dir / "padded.fits");
        ASSERT_EQ(out.size(), 2880u + 2 * 2880u) << count;
        std::string ones;
        for (std::size_t i = 0; i < count; ++i)
            ones += std::string("\x3F\x80\x00\x00", 4);
        EXPECT_EQ(out.substr(2880, 4 * count), ones);
        EXPECT_EQ(out.substr(2880 + 4 * count), std::string(2 * 2880 - 4 * count, '\0'));
    }

    const auto existing = file("out.fits", "old contents");
    ws.image.floatPixels.clear();
    EXPECT_THROW(saveFloat32Fits(ws, dir / "new.fits"), Failure);
    EXPECT_THROW(saveFloat32Fits(ws, existing), Failure);
    EXPECT_EQ(readFile(existing), "old contents");
    EXPECT_EQ(folderContents(), (std::vector<std::string>{"out.fits", "padded.fits"}));
}

TEST_F(WriterTest, FailuresLeaveNoFileBehind)
{
    ws.image.rawHeader.assign(36, Card{});
    ws.image.floatPixels.assign(720, 1.0f);

    // A destination that cannot be replaced: the temporary file is removed again.
    fs::create_directory(dir / "taken.fits");
    EXPECT_THROW(saveFloat32Fits(ws, dir / "taken.fits"), Failure);
    EXPECT_THROW(saveFloat32Fits(ws, dir / "missing" / "out.fits"), Failure);
    EXPECT_EQ(folderContents(), std::vector<std::string>{"taken.fits"});
    EXPECT_TRUE(fs::is_empty(dir / "taken.fits"));
}

TEST_F(WriterTest, ReadOnlyFolderIsAFailureWithNothingLeft)
{
    ws.image.rawHeader.assign(36, Card{});
    ws.image.floatPixels.assign(720, 1.0f);
    if (::geteuid() == 0)
        GTEST_SKIP() << "the superuser writes into read-only folders";
    fs::create_directory(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THROW(saveFloat32Fits(ws, dir / "locked" / "out.fits"), Failure);
    fs::permissions(dir / "locked", fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(dir / "locked"));
}

TEST_F(WriterTest, ReplacingAFileKeepsItsPermissionsAndTheInputIntact)
{
    const std::string original = headerRecords(floatImageCards(2, 1)) + floatData({-1, 3});
    const auto input = file("in.fits", original);
    const auto target = file("target.fits", "old");
    ::chmod(target.c_str(), 0640);
    load(input);
    saveFloat32Fits(ws, target);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile(input), original);
    EXPECT_EQ(samplesOf(target)[0], 0.0f);

    // Overwriting the input itself, as a run told to overwrite does.
    load(input);
    saveFloat32Fits(ws, input);
    EXPECT_EQ(readFile(input).size(), original.size());
    EXPECT_EQ(folderContents(), (std::vector<std::string>{"in.fits", "target.fits"}));
}

// Over an existing input, every step that can fail (the disk filling at the second
// write, the flush, the rename) leaves the input byte for byte and nothing beside it.
TEST_F(WriterTest, AFailingStepOverTheInputLeavesItWhole)
{
    std::vector<float> samples(720 * 300, 5.0f);
    const std::string original = headerRecords(floatImageCards(720, 300)) + floatData(samples);
    const auto input = file("in.fits", original);
    for (const auto& [step, error] : {std::pair{"write", ENOSPC}, {"fsync", EIO}, {"rename", EXDEV}, {"open", EACCES}}) {
        load(input);
        // The disk fills at the second write; the other steps fail at once.
        int writes = 0;
        FileSystemCalls calls = realFileSystemCalls();
        const auto fail = [error = error] {
            errno = error;
            return -1;
        };
        if (std::string(step) == "write")
            calls.write = [&, fail, real = calls.write](int fd, const void* p, std::size_t n) -> ssize_t {
                return ++writes == 2 ? fail() : real(fd, p, n);
            };
        if (std::string(step) == "fsync")
            calls.fsync = [fail](int) { return fail(); };
        if (std::string(step) == "rename")
            calls.rename = [fail](const char*, const char*) { return fail(); };
        if (std::string(step) == "open")
            calls.open = [fail](const char*, int, mode_t) { return fail(); };
        try {
            ScopedFileSystemCalls scoped(calls);
            saveFloat32Fits(ws, input);
            ADD_FAILURE() << "no failure";
        } catch (const Failure& f) {
            EXPECT_EQ(f.message(), "Cannot write " + input.string() + ": " + std::strerror(error));
        }
        EXPECT_EQ(readFile(input), original);
        EXPECT_EQ(folderContents(), std::vector<std::string>{"in.fits"});
    }
}

// Links are written through, and a protected original is refused before anything is
// written, root or not.
TEST_F(WriterTest, LinksAreWrittenThroughAndProtectedFilesRefused)
{
    const std::string original = headerRecords(floatImageCards(2, 1)) + floatData({-1, 3});
    const auto target = file("night.fits", original);
    fs::create_directory(dir / "links");
    fs::create_symlink("../night.fits", dir / "links" / "alias.fits");
    load(target);
    saveFloat32Fits(ws, dir / "links" / "alias.fits");
    EXPECT_TRUE(fs::is_symlink(dir / "links" / "alias.fits"));
    EXPECT_EQ(samplesOf(target)[0], 0.0f); // the clamped sample reached the linked file

    const auto kept = file("kept.fits", original);
    ::chmod(kept.c_str(), 0444);
    load(kept);
    try {
        saveFloat32Fits(ws, kept);
        ADD_FAILURE() << "no failure";
    } catch (const Failure& f) {
        EXPECT_EQ(f.message(), "Cannot write " + kept.string() + ": the file is write-protected");
    }
    EXPECT_EQ(readFile(kept), original);
    EXPECT_EQ(folderContents(), (std::vector<std::string>{"kept.fits", "links", "night.fits"}));
}

// A name near the filesystem's limit of 255 bytes is written in place: the temporary
// file's name does not grow with it.
TEST_F(WriterTest, LongNamesCanBeWritten)
{
    const std::string name = std::string(250, 'n') + ".fits";
    const auto input = file(name, headerRecords(floatImageCards(2, 1)) + floatData({1, 2}));
    load(input);
    saveFloat32Fits(ws, input);
    EXPECT_EQ(samplesOf(input)[1], 2.0f);
    EXPECT_EQ(folderContents(), std::vector<std::string>{name});
}

} // namespace
} // namespace kestrel::testing
