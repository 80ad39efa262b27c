// kestrel-cli from the outside: the built tool run on generated files.
#include "cli/options.h"
#include "tests/cli/tool_run.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <random>

using namespace kestrel::testing;
namespace fs = std::filesystem;


TEST(CliArguments, AcceptsTheDocumentedForms)
{
    using kestrel::cli::parseArguments;
    auto r = parseArguments({"correct", "--phase-1x1", "8", "--amplitude", "2.5", "--jobs", "2", "a.fits", "b.fits"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(*r.options.phase1x1, "8");
    EXPECT_EQ(r.options.amplitude, 2.5);
    EXPECT_EQ(r.options.jobs, 2u);
    EXPECT_EQ(r.options.files.size(), 2u);

    EXPECT_EQ(parseArguments({"phase", "--save", "x.fits"}).error, "");
    EXPECT_EQ(parseArguments({"--version"}).error, "");
}

TEST(CliArguments, RejectsBadUse)
{
    using kestrel::cli::parseArguments;
    EXPECT_EQ(parseArguments({"correct", "--amplitude", "0", "a.fits"}).error, "Amphlitude must be greater than 0.0.");
    EXPECT_EQ(parseArguments({"correct", "--amplitude", "-1", "a.fits"}).error, "Amphlitude must be greater than 0.0.");
    EXPECT_NE(parseArguments({"correct", "--amplitude", "1.5 ", "a.fits"}).error, "");
    EXPECT_NE(parseArguments({"correct", "--overwrite", "--output-dir", "d", "a.fits"}).error, "");
    EXPECT_NE(parseArguments({"correct"}).error, "");
    EXPECT_NE(parseArguments({"correct", "--jobs", "0", "a.fits"}).error, "");
    EXPECT_NE(parseArguments({"correct", "--frobnicate", "a.fits"}).error, "");
    EXPECT_NE(parseArguments({"phase", "a.fits", "b.fits"}).error, "");
    EXPECT_NE(parseArguments({"dance"}).error, "");
    EXPECT_NE(parseArguments({}).error, "");
}

// A terminal of 80 columns shows --help without wrapping; usage errors show only the
// synopsis at its head.
TEST(CliTool, HelpFitsEightyColumnsAndOpensWithTheUsage)
{
    const std::string help = kestrel::cli::helpText();
    std::size_t lineStart = 0;
    for (std::size_t end; (end = help.find('\n', lineStart)) != std::string::npos; lineStart = end + 1)
        EXPECT_LE(end - lineStart, 80u) << help.substr(lineStart, end - lineStart);
    EXPECT_EQ(lineStart, help.size()) << "the last line has no line end";
    EXPECT_EQ(help.rfind(kestrel::cli::usageText(), 0), 0u);
    EXPECT_EQ(runCli("--help").out, help);
}

TEST(CliTool, UsageErrorsExitWithTwo)
{
    EXPECT_EQ(runCli("").status, 2);
    EXPECT_EQ(runCli("correct --amplitude 0 x.fits").status, 2);
    EXPECT_EQ(runCli("--help").status, 0);
    EXPECT_EQ(runCli("--version").out, "kestrel-cli 1.35\n");
}

TEST(CliTool, ParallelJobsWriteTheSameBytesInInputOrder)
{
    TempDir dir;
    const std::vector<std::string> names = {"a.fits", "b.fits", "c.fits", "d.fits"};
    std::vector<std::string> inputs;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool binned = i % 2 == 1;
        inputs.push_back(bandedFrame(binned ? 2004 : 4008, 24, binned ? 4 : 8, 10.0f, static_cast<unsigned>(i)));
        writeFile(dir / names[i], inputs.back());
    }
    std::string files;
    for (const auto& n : names)
        files.append(" ").append(quoted(dir / n));

    const ToolRun one = runCli("correct --phase-1x1 8 --phase-2x2 4 --jobs 1 --output-dir " + quoted(dir / "one") + files);
    const ToolRun two = runCli("correct --phase-1x1 8 --phase-2x2 4 --jobs 2 --output-dir " + quoted(dir / "two") + files);
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(two.status, 0);
    EXPECT_EQ(one.out, two.out);
    std::size_t lineStart = 0;
    for (const auto& n : names) {
        EXPECT_EQ(one.out.compare(lineStart, n.size(), n), 0) << one.out;
        lineStart = one.out.find('\n', lineStart) + 1;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(readFile(dir / "one" / names[i]), readFile(dir / "two" / names[i]));
        EXPECT_EQ(readFile(dir / names[i]), inputs[i]) << "an input was touched";
        EXPECT_EQ(readFile(dir / "one" / names[i]).size(), inputs[i].size());
    }
    EXPECT_NE(one.out.find("\tcorrected\n"), std::string::npos);
}

TEST(CliTool, SkippedAndFailedFilesGiveExitOne)
{
    TempDir dir;
    writeFile(dir / "good.fits", bandedFrame(4008, 16, 8, 10.0f, 1));
    writeFile(dir / "short.fits", std::string(2000, ' '));
    writeFile(dir / "narrow.fits", bandedFrame(3000, 4, 8, 10.0f, 2));
    writeFile(dir / "int16.fits", headerRecords(uint16ImageCards(4008, 2)) + uint16Data(std::vector<std::uint16_t>(8016, 1000)));
    const fs::path err = dir / "err.txt";
    const ToolRun r = runCli("correct --phase-1x1 8 " + quoted(dir / "good.fits") + " " + quoted(dir / "short.fits") + " " +
                             quoted(dir / "narrow.fits") + " " + quoted(dir / "int16.fits") + " " + quoted(dir / "missing.fits"),
                         err);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("good.fits\t1x1\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("short.fits\t\t\t\t\t\tskipped: no readable FITS header"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("narrow.fits\t\t\t\t\t\tskipped: width 3000"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("int16.fits\t\t\t\t\t\tskipped: not a 32-bit"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("missing.fits\t\t\t\t\t\tfailed: "), std::string::npos) << r.out;
    EXPECT_NE(readFile(err).find("Kestrel only uses 32-bit floating point FITS images."), std::string::npos);
    EXPECT_TRUE(fs::exists(dir / "kestrel" / "good.fits"));
    EXPECT_FALSE(fs::exists(dir / "kestrel" / "int16.fits"));
}

TEST(CliTool, MissingPhaseSkipsWithAHint)
{
    TempDir dir;
    writeFile(dir / "a.fits", bandedFrame(4008, 8, 8, 10.0f, 3));
    const fs::path err = dir / "err.txt";
    const ToolRun r = runCli("correct " + quoted(dir / "a.fits"), err);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("skipped: 1x1 Phase is not an integer."), std::string::npos) << r.out;
    EXPECT_NE(readFile(err).find("--phase-1x1"), std::string::npos);
}

TEST(CliTool, UnwritableOutputFolderIsReportedCleanly)
{
    TempDir dir;
    writeFile(dir / "a.fits", bandedFrame(4008, 8, 8, 10.0f, 4));
    writeFile(dir / "plain-file", "not a folder");
    // A folder below a plain file can be made by nobody, root included.
    const ToolRun r = runCli("correct --phase-1x1 8 --output-dir " + quoted(dir / "plain-file" / "out") + " " + quoted(dir / "a.fits"));
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(dir / "plain-file" / "out"));
}
