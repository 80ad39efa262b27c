// kestrel-cli from the outside: the built tool run on generated files.
#include "cli/options.h"
#include "plot/plot.h"
#include "tests/cli/tool_run.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <random>

using namespace kestrel::testing;
namespace fs = std::filesystem;

namespace {

// Reference bands of 1010 from `phase`, offset bands of 1000, nothing else; a PixInsight
// file holds them divided by 65535.
std::string steppedFrame(int width, int height, int phase, bool pixInsight = false)
{
    const int period = width >= 4008 ? 32 : 16;
    std::vector<float> pixels(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const int col = static_cast<int>(i % static_cast<std::size_t>(width));
        const float v = ((col - phase) % period + period) % period < period / 2 ? 1010.0f : 1000.0f;
        pixels[i] = pixInsight ? v / 65535.0f : v;
    }
    std::vector<std::string> extra;
    if (pixInsight)
        extra.push_back(card("PROGRAM", "'PixInsight 1.8'"));
    return headerRecords(floatImageCards(width, height, extra)) + floatData(pixels);
}

} // namespace

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

    r = parseArguments({"phase", "--scores", "--plot", "s.PDF", "x.fits"});
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.options.scores);
    EXPECT_EQ(*r.options.plot, "s.PDF");
    r = parseArguments({"profile", "--phase-2x2", "4", "--amplitude", "3", "--plot", "p.svg", "a.fits"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.options.command, kestrel::cli::Options::Command::profile);
    EXPECT_EQ(*r.options.phase2x2, "4");
    EXPECT_EQ(r.options.amplitude, 3.0);
    EXPECT_TRUE(parseArguments({"correct", "--verify", "a.fits"}).options.verify);
    EXPECT_EQ(parseArguments({"profile", "a.fits", "b.fits"}).error, "");

    // GNU habits: --option=value, -h, and -- before a name that begins with -.
    r = parseArguments({"correct", "--phase-1x1=0", "--jobs=3", "--csv=r.csv", "--", "-odd.fits"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(*r.options.phase1x1, "0");
    EXPECT_EQ(r.options.jobs, 3u);
    EXPECT_EQ(*r.options.csv, "r.csv");
    EXPECT_EQ(r.options.files.at(0), "-odd.fits");
    EXPECT_EQ(parseArguments({"correct", "-h"}).options.command, kestrel::cli::Options::Command::help);
    EXPECT_EQ(*parseArguments({"correct", "--phase-2x2", "16", "a.fits"}).options.phase2x2, "16");
}

TEST(CliArguments, RejectsBadUse)
{
    using kestrel::cli::parseArguments;
    EXPECT_EQ(parseArguments({"correct", "--amplitude", "0", "a.fits"}).error, "--amplitude: '0' is not above 0 ADU");
    EXPECT_EQ(parseArguments({"correct", "--amplitude", "-1", "a.fits"}).error, "--amplitude: '-1' is not above 0 ADU");
    EXPECT_NE(parseArguments({"correct", "--amplitude", "1.5 ", "a.fits"}).error, "");
    EXPECT_NE(parseArguments({"correct", "--overwrite", "--output-dir", "d", "a.fits"}).error, "");
    EXPECT_NE(parseArguments({"correct"}).error, "");
    EXPECT_NE(parseArguments({"correct", "--jobs", "0", "a.fits"}).error, "");
    EXPECT_NE(parseArguments({"correct", "--frobnicate", "a.fits"}).error, "");
    EXPECT_EQ(parseArguments({"phase", "a.fits", "b.fits"}).error, "") << "frames searched together";
    EXPECT_NE(parseArguments({"dance"}).error, "");
    EXPECT_NE(parseArguments({}).error, "");
    // Options of one command are not another's; plots are SVG, PNG or PDF, of one image.
    EXPECT_EQ(parseArguments({"phase", "--verify", "a.fits"}).error, "unknown option '--verify' for 'phase'");
    EXPECT_NE(parseArguments({"correct", "--scores", "a.fits"}).error, "");
    EXPECT_NE(parseArguments({"correct", "--plot", "p.svg", "a.fits"}).error, "");
    EXPECT_NE(parseArguments({"profile", "--overwrite", "a.fits"}).error, "");
    EXPECT_EQ(parseArguments({"profile", "--plot", "p.jpg", "a.fits"}).error, "--plot: 'p.jpg' must end in .svg, .png or .pdf");
    EXPECT_NE(parseArguments({"phase", "--plot", "svg", "a.fits"}).error, "");
    EXPECT_NE(parseArguments({"profile", "--plot", "p.png", "a.fits", "b.fits"}).error, "");

    // An empty name is no file; a phase outside its period would correct with the
    // wrong sign; a flag takes no value.
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"correct", "--phase-2x2", "8", ""}, "an empty FILE name was given"},
        {{"phase", ""}, "an empty FILE name was given"},
        {{"correct", "--phase-2x2", "17", "a.fits"}, "--phase-2x2: '17' is not a phase from 0 to 16 or auto"},
        {{"correct", "--phase-1x1=33", "a.fits"}, "--phase-1x1: '33' is not a phase from 0 to 32 or auto"},
        {{"profile", "--phase-1x1", "-1", "a.fits"}, "--phase-1x1: '-1' is not a phase from 0 to 32 or auto"},
        {{"correct", "--phase-1x1", "n/a", "a.fits"}, "--phase-1x1: 'n/a' is not a phase from 0 to 32 or auto"},
        {{"correct", "--overwrite=yes", "a.fits"}, "option '--overwrite' takes no value"},
        {{"correct", "--output-dir=", "a.fits"}, "--output-dir: no folder given"},
    };
    for (const auto& [args, error] : refused)
        EXPECT_EQ(parseArguments(args).error, error);
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
    EXPECT_EQ(runCli("--version").out.rfind("kestrel-cli 1.35\nCopyright (c) 2026 The Kestrel developers\nMIT License", 0), 0u);
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

TEST(CliTool, ProfileShowsBeforeAfterAndResidualWithoutWriting)
{
    TempDir dir;
    writeFile(dir / "a.fits", steppedFrame(4008, 4, 8));
    writeFile(dir / "b.fits", steppedFrame(2004, 4, 4));
    writeFile(dir / "int16.fits", headerRecords(uint16ImageCards(4008, 2)) + uint16Data(std::vector<std::uint16_t>(8016, 1000)));
    const ToolRun r = runCli("profile --phase-1x1 8 --phase-2x2 4 " + quoted(dir / "a.fits") + " " + quoted(dir / "int16.fits") +
                             " " + quoted(dir / "b.fits"));
    EXPECT_EQ(r.status, 1) << "the 16-bit image was skipped";
    std::string expected = "a.fits\t1x1\tphase 8\tcolumns 632 to 3383\town phase 8\tsignificance inf\nposition\tbefore\tafter\n";
    for (int q = 0; q < 32; ++q)
        expected += std::to_string(q) + (q < 16 ? "\t1010.000" : "\t1000.000") + "\t1010.000\n";
    // Nothing is left at any phase: the first of the equal ones is named.
    expected += "amplitude\t10.000\testimator\tstandard\nresidual\t0.000\tphase\t1\tnoise\t0.000\n\n"
                "int16.fits\t\t\t\t\t\tskipped: not a 32-bit floating point image\n\n"
                "b.fits\t2x2\tphase 4\tcolumns 12 to 1947\town phase 4\tsignificance inf\n";
    EXPECT_EQ(r.out.substr(0, expected.size()), expected);
    EXPECT_NE(r.out.find("\n8\t1000.000\t1010.000\n"), std::string::npos) << r.out;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3) << "profile wrote a file";
}

TEST(CliTool, APlotThatCannotBeWrittenGivesExitOne)
{
    TempDir dir;
    writeFile(dir / "a.fits", steppedFrame(4008, 4, 8));
    writeFile(dir / "plain-file", "not a folder");
    const fs::path err = dir / "err.txt";
    const ToolRun r = runCli("profile --phase-1x1 8 --plot " + quoted(dir / "plain-file" / "p.svg") + " " + quoted(dir / "a.fits"), err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "") << "refused before the image is measured";
    EXPECT_NE(readFile(err).find("Cannot write " + (dir / "plain-file" / "p.svg").string()), std::string::npos);
}

// cairo is loaded only for a plot: a run without one does not need it, and a plot asked
// for where it cannot be loaded is refused with the reason before any image is read.
TEST(CliTool, CairoIsLoadedOnlyForAPlot)
{
    if (kestrel::plot::plotsUnavailable())
        GTEST_SKIP() << "this build draws no plots";
    TempDir dir;
    writeFile(dir / "a.fits", steppedFrame(4008, 4, 8));
    fs::create_directories(dir / "broken");
    writeFile(dir / "broken" / "libcairo.so.2", "not a library");
    const std::string withBrokenCairo = "LD_LIBRARY_PATH=" + quoted(dir / "broken") + " timeout 60 " + quoted(KESTREL_CLI);
    const fs::path err = dir / "err.txt";

    const ToolRun plain = runShell(withBrokenCairo + " profile --phase-1x1 8 " + quoted(dir / "a.fits"), err);
    EXPECT_EQ(plain.status, 0) << readFile(err);
    EXPECT_NE(plain.out, "");

    const ToolRun plotted =
        runShell(withBrokenCairo + " profile --phase-1x1 8 --plot " + quoted(dir / "p.svg") + " " + quoted(dir / "a.fits"), err);
    EXPECT_EQ(plotted.status, 2);
    EXPECT_EQ(plotted.out, "");
    EXPECT_NE(readFile(err).find("--plot: cairo, which draws the plots, cannot be loaded: "), std::string::npos)
        << readFile(err);
    EXPECT_FALSE(fs::exists(dir / "p.svg"));
}

TEST(CliTool, VerifyAddsTheResidualOfTheWrittenImage)
{
    TempDir dir;
    writeFile(dir / "a.fits", steppedFrame(4008, 4, 8));
    writeFile(dir / "pi.fits", steppedFrame(4008, 4, 8, true));
    const std::string files = " " + quoted(dir / "a.fits") + " " + quoted(dir / "pi.fits");
    const ToolRun plain = runCli("correct --phase-1x1 8 --output-dir " + quoted(dir / "plain") + files);
    const ToolRun measured = runCli("correct --verify --phase-1x1 8 --output-dir " + quoted(dir / "m") + files);
    EXPECT_EQ(measured.status, 0);
    // The same lines, each with the residual, the phase corrected at, the frame's own
    // and its significance (without noise, infinite); the written files are the same.
    std::string withField = plain.out;
    for (std::size_t at = 0; (at = withField.find('\n', at)) != std::string::npos; at += 17)
        withField.insert(at, "\t0.000\t8\t8\tinf");
    EXPECT_EQ(measured.out, withField);
    EXPECT_EQ(readFile(dir / "plain" / "pi.fits"), readFile(dir / "m" / "pi.fits"));

    // A typed 4 leaves 6 in ADU, also in a PixInsight file, which holds 0..1 samples.
    const ToolRun typed = runCli("correct --verify --amplitude 4 --phase-1x1 8 --output-dir " + quoted(dir / "t") + files);
    EXPECT_NE(typed.out.find("a.fits\t1x1\t1000.00\t0\t20000\t4.000\tcorrected\t6.000\t8\t8\tinf\n"), std::string::npos) << typed.out;
    EXPECT_NE(typed.out.find("pi.fits\t1x1\t1000.00\t0\t20000\t4.000\tcorrected\t6.000\t8\t8\tinf\n"), std::string::npos) << typed.out;
}
