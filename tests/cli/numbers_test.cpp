// What kestrel-cli says of its measurements: the phase's significance and what --save
// makes of it, the scores beside their contrasts, the estimator and the residual.
#include "cli/options.h"
#include "tests/cli/tool_run.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <random>

using namespace kestrel::testing;
namespace fs = std::filesystem;

namespace {

/// A 16-bit unbinned frame whose columns read `level(column)` in every row.
std::string frame16(int height, const std::function<std::uint16_t(int col, int row)>& level)
{
    std::vector<std::uint16_t> px(static_cast<std::size_t>(4008) * height);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < 4008; ++c)
            px[static_cast<std::size_t>(r) * 4008 + c] = level(c, r);
    return headerRecords(uint16ImageCards(4008, height)) + uint16Data(px);
}

/// A float frame of 3 rows: 1000 + slope x column, 10 more in the reference bands from
/// column 8.
std::string stepped(float slope)
{
    std::vector<float> px(4008 * 3);
    for (std::size_t i = 0; i < px.size(); ++i) {
        const int c = static_cast<int>(i % 4008);
        px[i] = 1000.0f + slope * static_cast<float>(c) + ((c - 8 + 32) % 32 < 16 ? 10.0f : 0.0f);
    }
    return headerRecords(floatImageCards(4008, 3, {card("EXPTIME", "300")})) + floatData(px);
}

/// The 2x2-binned twin of stepped: a band of 10 ADU from column 8, period 16.
std::string stepped2x2(float slope)
{
    std::vector<float> px(2004 * 3);
    for (std::size_t i = 0; i < px.size(); ++i) {
        const int c = static_cast<int>(i % 2004);
        px[i] = 1000.0f + slope * static_cast<float>(c) + ((c - 8 + 16) % 16 < 8 ? 10.0f : 0.0f);
    }
    return headerRecords(floatImageCards(2004, 3, {card("EXPTIME", "300")})) + floatData(px);
}

} // namespace

TEST(CliNumbers, OptionsOfTheMeasurements)
{
    using kestrel::cli::parseArguments;
    EXPECT_TRUE(parseArguments({"correct", "--estimator", "balanced", "a.fits"}).options.balancedEstimator);
    EXPECT_TRUE(parseArguments({"profile", "--estimator", "balanced", "a.fits"}).options.balancedEstimator);
    const auto standard = parseArguments({"correct", "--estimator", "standard", "a.fits"});
    EXPECT_EQ(standard.error, "");
    EXPECT_FALSE(standard.options.balancedEstimator);
    EXPECT_FALSE(parseArguments({"correct", "a.fits"}).options.balancedEstimator);
    EXPECT_EQ(parseArguments({"correct", "--estimator", "Balanced", "a.fits"}).error,
              "--estimator: 'Balanced' is neither standard nor balanced");
    EXPECT_EQ(parseArguments({"phase", "--estimator", "balanced", "a.fits"}).error,
              "unknown option '--estimator' for 'phase'");

    const auto forced = parseArguments({"phase", "--save", "--force", "a.fits"});
    EXPECT_EQ(forced.error, "");
    EXPECT_TRUE(forced.options.force);
    EXPECT_EQ(parseArguments({"phase", "--force", "a.fits"}).error, "--force goes with --save");
    EXPECT_EQ(parseArguments({"correct", "--force", "a.fits"}).error, "--force goes with --overwrite");
    EXPECT_EQ(parseArguments({"correct", "--overwrite", "--force", "a.fits"}).error, "");
}

TEST(CliNumbers, PhaseLineAndScoresCarryContrastAndSignificance)
{
    // Positions 5 to 20 of each period at 1100, the rest at 1000, without noise. At
    // phase 5 the contrast is 100 and no neighbouring columns inside a band differ: an
    // infinite significance. At phase 4 each band holds one column of the other level,
    // 100 x (15 - 1) / 16 = 87.5, and one step of 100 among its 15 neighbours: over the
    // 201 bands, s^2 = 201 x 100^2 / (2 x 201 x 15) = 1000 / 3, and the standard error is
    // s sqrt(199.5 / 16) / 100 = 0.64468, a significance of 135.7.
    TempDir dir;
    writeFile(dir / "u.fits",
              frame16(3, [](int c, int) -> std::uint16_t { return c % 32 >= 5 && c % 32 <= 20 ? 1100 : 1000; }));
    const fs::path err = dir / "err.txt";
    const ToolRun r = runCli("phase --scores " + quoted(dir / "u.fits"), err);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n', r.out.find('\n') + 1) + 1),
              "u.fits\t1x1\t5\tinf\nphase\tscore\tcontrast\tsignificance\n");
    EXPECT_NE(r.out.find("\n4\t110468.750\t87.500\t135.7\n5\t111100.000\t100.000\tinf\n6\t110468.750\t87.500\t135.7\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\n21\t101000.000\t-100.000\t-inf\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("margin"), std::string::npos);
    EXPECT_EQ(readFile(err), "") << "a phase that stands out gets no warning";
}

TEST(CliNumbers, SaveStoresOnlyAPhaseThatStandsOut)
{
    TempDir dir;
    const fs::path tool = portableCopy(dir);
    const fs::path ini = dir / "program" / "kestx.ini", err = dir / "err.txt";
    writeFile(ini, "[kestx]\n1x1phase=8\n");

    // A featureless frame: every score ties, phase 0 is chosen, and nothing stands out.
    writeFile(dir / "flat.fits", frame16(2, [](int, int) -> std::uint16_t { return 1000; }));
    ToolRun r = runTool(tool, "phase " + quoted(dir / "flat.fits"), err);
    EXPECT_EQ(r.status, 0) << "found, and only shown";
    EXPECT_EQ(r.out, "flat.fits\t1x1\t0\t0.0\n");
    EXPECT_EQ(readFile(err), "flat.fits: phase 0 does not stand out from the noise: its band contrast of 0.000 ADU "
                             "is 0.0 times its standard error of 0.000 ADU; a phase to trust reads 5 or more\n");

    r = runTool(tool, "phase --save " + quoted(dir / "flat.fits"), err);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(readFile(err).find("\nkestrel-cli: phase 0 was not stored: its significance is 0.0, below 5; "
                                 "--force stores it anyway\n"),
              std::string::npos)
        << readFile(err);
    EXPECT_EQ(readFile(ini), "[kestx]\n1x1phase=8\n");

    r = runTool(tool, "phase --save --force " + quoted(dir / "flat.fits"), err);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(ini), "[kestx]\n1x1phase=0\n");

    // Only every 16th column holds sky, the rest is saturated: each window of the search
    // counts one column, but no two neighbours inside a band tell the noise.
    writeFile(dir / "comb.fits", frame16(2, [](int c, int) -> std::uint16_t { return c % 16 ? 60000 : 1000; }));
    r = runTool(tool, "phase --save --scores " + quoted(dir / "comb.fits"), err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "comb.fits\t1x1\t0\t");
    EXPECT_NE(r.out.find("\n0\t101000.000\t\t\n"), std::string::npos) << r.out;
    EXPECT_EQ(readFile(err), "comb.fits: the significance of the phase could not be measured: Invalid floating point "
                             "operation\nkestrel-cli: phase 0 was not stored: its significance could not be measured; "
                             "--force stores it anyway\n");
    EXPECT_EQ(readFile(ini), "[kestx]\n1x1phase=0\n");

    // Noise of 12 ADU over 40 rows and a band of 2 ADU from column 13: the standard
    // error is about 12 / sqrt(40) x sqrt(199.5 / 16) / 100 = 0.067 ADU, and the band
    // stands 30 of them high.
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 12);
    writeFile(dir / "band.fits", frame16(40, [&](int c, int) {
                  return static_cast<std::uint16_t>(std::lround(1000 + noise(rng) + ((c - 13 + 32) % 32 < 16 ? 2 : 0)));
              }));
    r = runTool(tool, "phase --save " + quoted(dir / "band.fits"), err);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 17), "band.fits\t1x1\t13\t") << r.out;
    EXPECT_NEAR(std::stod(r.out.substr(17)), 30, 4) << r.out;
    EXPECT_EQ(readFile(err), "");
    EXPECT_EQ(readFile(ini), "[kestx]\n1x1phase=13\n");
}

TEST(CliNumbers, EstimatorAndResidualOfProfileAndVerify)
{
    // A band of 10 ADU from column 8 on a sky rising by 0.05 ADU a column: the standard
    // amplitude takes in half a period of the slope, 0.8 ADU, and leaves it behind as a
    // band from column 24 (the offset bands now the brighter); the balanced one does not.
    TempDir dir;
    writeFile(dir / "s.fits", stepped(0.05f));
    writeFile(dir / "f.fits", stepped(0));
    const fs::path err = dir / "err.txt";

    ToolRun r = runCli("profile --phase-1x1 8 " + quoted(dir / "s.fits"));
    EXPECT_NE(r.out.find("\namplitude\t10.800\testimator\tstandard\nresidual\t0.800\tphase\t24\tnoise\t0.001\n"),
              std::string::npos)
        << r.out;
    r = runCli("profile --estimator balanced --phase-1x1 8 " + quoted(dir / "s.fits"));
    EXPECT_NE(r.out.find("\namplitude\t10.000\testimator\tbalanced\nresidual\t0.000\t"), std::string::npos) << r.out;
    r = runCli("profile --estimator balanced --amplitude 5 --phase-1x1 8 " + quoted(dir / "f.fits"));
    EXPECT_NE(r.out.find("\namplitude\t5.000\testimator\ttyped\nresidual\t5.000\tphase\t8\tnoise\t0.000\n"),
              std::string::npos)
        << r.out;

    r = runCli("correct --verify --estimator balanced --phase-1x1 8 --output-dir " + quoted(dir / "b") + " " +
                   quoted(dir / "s.fits"),
               err);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(r.out.find("\t10.000\t")), "\t10.000\tcorrected\t0.000\t8\t8\t8917.4\n");
    EXPECT_EQ(readFile(err), "kestrel-cli: amplitudes measured by the balanced estimator; residual: the largest "
                             "balanced amplitude left at any phase\n");
    r = runCli("correct --verify --phase-1x1 8 --output-dir " + quoted(dir / "s") + " " + quoted(dir / "s.fits"), err);
    EXPECT_EQ(r.out.substr(r.out.find("\t10.800\t")), "\t10.800\tcorrected\t0.800\t8\t8\t8917.4\n");
    EXPECT_NE(readFile(err).find("by the standard estimator"), std::string::npos);

    // One column off: 8.75 measured and added at phase 9 leaves 10 x 4 / 16 x 15 / 16.
    r = runCli("correct --verify --no-phase-check --phase-1x1 9 --output-dir " + quoted(dir / "w") + " " + quoted(dir / "f.fits"));
    EXPECT_EQ(r.out.substr(r.out.find("\t8.750\t")), "\t8.750\tcorrected\t2.344\t9\t8\tinf\n");

    // 2x2-binned, window 8: the slope leaves 0.05 x 8; one column off, 10 x 6 / 8 is
    // measured and 10 x 7 / 16 left.
    writeFile(dir / "s2.fits", stepped2x2(0.05f));
    writeFile(dir / "f2.fits", stepped2x2(0));
    r = runCli("correct --verify --phase-2x2 8 --output-dir " + quoted(dir / "s2") + " " + quoted(dir / "s2.fits"));
    EXPECT_EQ(r.out.substr(r.out.find("\t10.400\t"), 28), "\t10.400\tcorrected\t0.400\t8\t8\t") << r.out;
    r = runCli("correct --verify --no-phase-check --phase-2x2 9 --output-dir " + quoted(dir / "w2") + " " + quoted(dir / "f2.fits"));
    EXPECT_EQ(r.out.substr(r.out.find("\t7.500\t")), "\t7.500\tcorrected\t4.375\t9\t8\tinf\n") << r.out;
}

TEST(CliNumbers, APhaseTheFrameContradicts)
{
    // A band of 10 ADU from column 8, without noise: corrected at 20 (12 columns off,
    // where the contrast reads -10 x 8 / 16), the frame is skipped and nothing written;
    // --no-phase-check corrects as before, auto at the frame's own phase, and phase
    // finds it in the float frames, one and two together.
    TempDir dir;
    writeFile(dir / "f.fits", stepped(0));
    writeFile(dir / "g.fits", stepped(0));
    const std::string f = " " + quoted(dir / "f.fits");
    ToolRun r = runCli("correct --phase-1x1 20 --output-dir " + quoted(dir / "o") + f);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(r.out.find("skipped")),
              "skipped: the banding lies at phase 8 (contrast 10.00 ADU, no noise), not at the given 20 (-5.00 ADU); "
              "give --phase-1x1 8, or --no-phase-check\n");
    EXPECT_FALSE(fs::exists(dir / "o" / "f.fits"));
    const struct {
        std::string options, amplitude;
    } corrections[] = {{"--no-phase-check --phase-1x1 20", "\t-5.000\tcorrected\n"},
                       {"--phase-1x1 24", "\t-10.000\tcorrected\n"},
                       {"--phase-1x1 auto", "\t10.000\tcorrected\n"}};
    for (const auto& c : corrections) {
        r = runCli("correct --replace-outputs " + c.options + " --output-dir " + quoted(dir / "o") + f);
        EXPECT_EQ(r.status, 0) << c.options << r.out;
        EXPECT_EQ(r.out.substr(r.out.rfind('\t', r.out.size() - 12)), c.amplitude) << c.options;
    }
    EXPECT_EQ(runCli("phase" + f).out, "f.fits\t1x1\t8\tinf\t1\n");
    EXPECT_EQ(runCli("phase" + f + " " + quoted(dir / "g.fits")).out, "combined\t1x1\t8\tinf\t2\n");
}

// A pattern the system's expansion left as typed names no file; an option's value and
// the command word are never taken for one.
TEST(CliNumbers, PatternsThatMatchedNothing)
{
    using Args = std::vector<std::string>;
    const struct {
        Args given, kept;
        std::string messages;
    } cases[] = {
        {{"correct", "a.fits", "D:\\Night\\*.fts"}, {"correct", "a.fits"},
         "kestrel-cli: no file matches D:\\Night\\*.fts\n"},
        {{"correct", "--csv", "r?.csv", "--", "-x*.fits", "b.fits"}, {"correct", "--csv", "r?.csv", "--", "b.fits"},
         "kestrel-cli: no file matches -x*.fits\n"},
        {{"phase", "--plot=p*.png", "f.fits"}, {"phase", "--plot=p*.png", "f.fits"}, ""},
    };
    for (const auto& c : cases) {
        Args args = c.given;
        std::string messages;
        EXPECT_EQ(kestrel::cli::dropUnmatchedPatterns(args, messages), !c.messages.empty()) << c.given.back();
        EXPECT_EQ(args, c.kept);
        EXPECT_EQ(messages, c.messages);
    }
}
