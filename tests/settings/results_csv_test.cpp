// The results file: its line format and appends that are whole or not at all.
#include "settings/settings.h"

#include "core/failure.h"
#include "tests/settings/file_limit.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

tImageData entry(std::string image, float amplitude, bool measured = true)
{
    return {std::move(image), "1x1", -20, 300, amplitude, measured};
}

TEST(ResultsCsvLine, Formats)
{
    EXPECT_EQ(resultsCsvLine({"  m31.fits ", "2x2", -15, 1200, 3.14159f, true}), "m31.fits,2x2,-15,1200,3.14");
    EXPECT_EQ(resultsCsvLine(entry("a.fits", -0.5f)), "a.fits,1x1,-20,300,-0.50");
    EXPECT_EQ(resultsCsvLine(entry("a.fits", 12345.678f)), "a.fits,1x1,-20,300,12345.68");
    // Only names that would change the fields are quoted.
    EXPECT_EQ(resultsCsvLine(entry("m31,ha.fits", 1)), "\"m31,ha.fits\",1x1,-20,300,1.00");
    EXPECT_EQ(resultsCsvLine(entry("say \"hi\".fits", 1)), "\"say \"\"hi\"\".fits\",1x1,-20,300,1.00");
    EXPECT_EQ(resultsCsvLine(entry("a;b@c.fits", 1)), "a;b@c.fits,1x1,-20,300,1.00");
}

TEST(AppendResultsCsv, HeaderOnceAndOnlyMeasuredEntries)
{
    TempDir dir;
    const auto f = dir / "kestrel.csv";
    appendResultsCsv(f, {entry("a.fits", 1.5f), entry("skipped.fits", 0, false), entry("b.fits", -0.25f)});
    appendResultsCsv(f, {entry("c.fits", 2)});
    EXPECT_EQ(readFile(f), "Image,Binning,CCDtemp,Exposure,Amplitude\r\n"
                           "a.fits,1x1,-20,300,1.50\r\n"
                           "b.fits,1x1,-20,300,-0.25\r\n"
                           "c.fits,1x1,-20,300,2.00\r\n");

    const auto g = dir / "skipped.csv";
    appendResultsCsv(g, {entry("x.fits", 0, false)});
    EXPECT_EQ(readFile(g), "Image,Binning,CCDtemp,Exposure,Amplitude\r\n");
}

TEST(AppendResultsCsv, FailedExportLeavesTheFileAsBefore)
{
    TempDir dir;
    const auto f = dir / "kestrel.csv";
    const std::string before = "Image,Binning,CCDtemp,Exposure,Amplitude\r\nold.fits,1x1,-20,300,1.00\r\n";
    writeFile(f, before);
    std::vector<tImageData> many(50, entry("long-name-of-an-image.fits", 1));
    {
        testing::FileSizeLimit limit(before.size() + 100);
        EXPECT_THROW(appendResultsCsv(f, many), Failure);
        // A new file that fails is not left behind half written.
        EXPECT_THROW(appendResultsCsv(dir / "new.csv", many), Failure);
    }
    EXPECT_EQ(readFile(f), before);
    EXPECT_FALSE(std::filesystem::exists(dir / "new.csv"));

    try {
        appendResultsCsv(dir / "no folder" / "kestrel.csv", many);
        FAIL() << "no failure";
    } catch (const Failure& e) {
        EXPECT_NE(e.message().find("kestrel.csv"), std::string::npos) << e.message();
    }
}

} // namespace
} // namespace kestrel
