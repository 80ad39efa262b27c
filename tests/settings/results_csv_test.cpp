// The results file: its line format and appends that are whole or not at all.
#include "settings/settings.h"

#include "core/failure.h"
#include "tests/settings/file_limit.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

using testing::readFile;

tImageData entry(std::string image, float amplitude, bool measured = true)
{
    return {std::move(image), "1x1", -20, 300, amplitude, measured};
}

TEST(ResultsCsvLine, Formats)
{
    EXPECT_EQ(resultsCsvLine({"  m31.fits ", "2x2", -15, 1200, 3.14159f, true}), "m31.fits,2x2,-15,1200,3.14");
    EXPECT_EQ(resultsCsvLine(entry("a@b;c.fits", -0.5f)), "a@b;c.fits,1x1,-20,300,-0.50");
    // Only names that would change the fields are quoted.
    EXPECT_EQ(resultsCsvLine(entry("m31,ha.fits", 1)), "\"m31,ha.fits\",1x1,-20,300,1.00");
    EXPECT_EQ(resultsCsvLine(entry("say \"hi\".fits", 1)), "\"say \"\"hi\"\".fits\",1x1,-20,300,1.00");
}

TEST(AppendResultsCsv, HeaderOnceAndOnlyMeasuredEntries)
{
    testing::TempDir dir;
    const auto f = dir / "kestrel.csv";
    appendResultsCsv(f, {entry("skipped.fits", 0, false)});
    appendResultsCsv(f, {entry("a.fits", 1.5f), entry("skipped.fits", 0, false), entry("b.fits", -0.25f)});
    EXPECT_EQ(readFile(f), "Image,Binning,CCDtemp,Exposure,Amplitude\r\n"
                           "a.fits,1x1,-20,300,1.50\r\n"
                           "b.fits,1x1,-20,300,-0.25\r\n");
}

TEST(AppendResultsCsv, FailedExportLeavesTheFileAsBefore)
{
    if (!testing::FileSizeLimit::available)
        GTEST_SKIP() << "no file size limit to fill the disk with";
    testing::TempDir dir;
    const auto f = dir / "kestrel.csv";
    const std::string before = "Image,Binning,CCDtemp,Exposure,Amplitude\r\nold.fits,1x1,-20,300,1.00\r\n";
    testing::writeFile(f, before);
    const std::vector<tImageData> many(50, entry("long-name-of-an-image.fits", 1));
    {
        testing::FileSizeLimit fullDisk(before.size() + 100);
        EXPECT_THROW(appendResultsCsv(f, many), Failure);
        EXPECT_THROW(appendResultsCsv(dir / "new.csv", many), Failure);
    }
    EXPECT_EQ(readFile(f), before);
    // Never removed: another run may have appended to it meanwhile; ours is taken back.
    EXPECT_EQ(readFile(dir / "new.csv"), "");
}

} // namespace
} // namespace kestrel
