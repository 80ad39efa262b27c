// The tool and the window, run on copies of the same files with the same settings,
// must write the same bytes and find the same phase.
#include "app/form.h"
#include "core/numbers.h"
#include "tests/cli/tool_run.h"
#include "tests/support/fits_builder.h"
#include "tests/support/test_host.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace kestrel {
namespace {

using testing::quoted;
using testing::TempDir;
namespace fs = std::filesystem;

class NoDownloads : public Downloader {
public:
    bool download(const std::string&, const fs::path&, Clock::time_point) override { return false; }
};

// Sky with noise, a band of `amplitude` from `phase`, a few negative samples (which the
// writer clamps) and, for PixInsight files, the 0..1 scale that file has to keep.
std::string floatFrame(int width, int phase, float amplitude, unsigned seed, bool pixInsight = false)
{
    const int height = 12, period = width >= 4008 ? 32 : 16;
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 7.0f);
    std::vector<float> px(static_cast<std::size_t>(width) * height);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            const bool reference = ((c - phase) % period + period) % period < period / 2;
            float v = 800.0f + (reference ? amplitude : 0.0f) + noise(rng);
            if ((r * width + c) % 997 == 0)
                v = -3.5f;
            px[static_cast<std::size_t>(r) * width + c] = pixInsight ? v / 65535.0f : v;
        }
    std::vector<std::string> extra = {testing::card("EXPTIME", "120"), testing::card("CCD-TEMP", "-15.4")};
    if (pixInsight)
        extra.push_back(testing::card("PROGRAM", "'PixInsight 1.8'"));
    return testing::headerRecords(testing::floatImageCards(width, height, extra)) + testing::floatData(px);
}

std::string uint16Frame(int width, int phase, unsigned seed)
{
    const int height = 12, period = width >= 4008 ? 32 : 16;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(0, 40);
    std::vector<std::uint16_t> px(static_cast<std::size_t>(width) * height);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            const bool reference = ((c - phase) % period + period) % period < period / 2;
            px[static_cast<std::size_t>(r) * width + c] = static_cast<std::uint16_t>(1000 + (reference ? 30 : 0) + noise(rng));
        }
    return testing::headerRecords(testing::uint16ImageCards(width, height)) + testing::uint16Data(px);
}

struct Window {
    TempDir program;
    testing::TestHost host;
    NoDownloads downloads;
    TForm1 form{host, downloads, program.path()};
};

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> out;
    std::stringstream in(line);
    for (std::string f; std::getline(in, f, '\t');)
        out.push_back(f);
    return out;
}

struct Setting {
    const char* phase1x1;
    const char* phase2x2;
    const char* amplitudeField; // the window's Amplitude field
    const char* cliOptions;     // the same settings as options
};

TEST(WindowEquality, CorrectedFilesAreTheWindowsByteForByte)
{
    const std::vector<std::pair<std::string, std::string>> inputs = {
        {"a.fits", floatFrame(4008, 8, 9.0f, 1)},
        {"b.fits", floatFrame(2016, 4, 3.0f, 2)},
        {"c.fits", floatFrame(4032, 20, 6.0f, 3, true)},
        {"d.fits", floatFrame(2004, 13, 2.0f, 4)},
    };
    const std::vector<Setting> settings = {
        {"8", "4", "n/a", "--no-phase-check --phase-1x1 8 --phase-2x2 4"},
        {" 0", "0", "2.5", "--no-phase-check --phase-1x1 ' 0' --phase-2x2 0 --amplitude 2.5"},
        {"21", "13", "", "--no-phase-check --phase-1x1 21 --phase-2x2 13"},
    };
    for (const Setting& s : settings) {
        SCOPED_TRACE(s.cliOptions);
        TempDir windowFolder, cliFolder;
        std::vector<fs::path> selection;
        std::string cliFiles;
        for (const auto& [name, bytes] : inputs) {
            testing::writeFile(windowFolder / name, bytes);
            testing::writeFile(cliFolder / name, bytes);
            selection.push_back(windowFolder / name);
            cliFiles += " " + quoted(cliFolder / name);
        }

        Window w;
        w.form.window.edit1 = s.phase1x1;
        w.form.window.edit2 = s.phase2x2;
        w.form.window.edit3 = s.amplitudeField;
        w.host.selections.push_back(selection);
        w.host.answers.push_back(false); // "Overwrite existing files?": No
        w.form.Button1Click();
        ASSERT_TRUE(w.host.texts(testing::Box::error).empty()) << w.host.texts(testing::Box::error).front();

        const testing::ToolRun r = testing::runCli(std::string("correct ") + s.cliOptions + cliFiles);
        ASSERT_EQ(r.status, 0) << r.out;
        std::stringstream lines(r.out);
        int row = 0;
        for (const auto& [name, bytes] : inputs) {
            ++row;
            const std::string written = testing::readFile(windowFolder / "kestrel" / name);
            ASSERT_EQ(written.size(), bytes.size()) << name;
            EXPECT_TRUE(testing::readFile(cliFolder / "kestrel" / name) == written) << name;
            // The result line carries the grid row's values.
            std::string line;
            std::getline(lines, line);
            const auto f = fields(line);
            ASSERT_EQ(f.size(), 7u) << line;
            EXPECT_EQ(f[0], name);
            const ResultsGrid& grid = w.form.window.grid;
            for (int column = 1; column <= 4; ++column)
                EXPECT_EQ(f[static_cast<std::size_t>(column + 1)], std::string(trimBlanks(grid.cell(column, row))))
                    << name << " column " << column;
        }
    }
}

// The tool flushes and renames its files after the correction has moved on; a file that
// cannot take its place must still be reported as the window reports it.
TEST(WindowEquality, AFileThatCannotTakeItsPlaceIsReportedAsTheWindowDoes)
{
    TempDir windowFolder, cliFolder;
    std::vector<fs::path> selection;
    std::string cliFiles;
    for (const char* name : {"a.fits", "b.fits"}) {
        const std::string bytes = floatFrame(name[0] == 'a' ? 4008 : 2004, 8, 5.0f, 9);
        testing::writeFile(windowFolder / name, bytes);
        testing::writeFile(cliFolder / name, bytes);
        // A folder where the corrected file should go.
        fs::create_directories(windowFolder / "kestrel" / name);
        fs::create_directories(cliFolder / "kestrel" / name);
        selection.push_back(windowFolder / name);
        cliFiles += " " + quoted(cliFolder / name);
    }

    Window w;
    w.form.window.edit1 = "8";
    w.form.window.edit2 = "8";
    w.host.selections.push_back({selection.front()}); // the window stops at the first failure
    w.host.answers = {false, true};                   // not over the inputs; go on into "kestrel"
    w.form.Button1Click();
    const auto errors = w.host.texts(testing::Box::error);
    ASSERT_EQ(errors.size(), 1u);

    const fs::path err = cliFolder / "err.txt";
    const testing::ToolRun r = testing::runCli("correct --phase-1x1 8 --phase-2x2 8 --jobs 2" + cliFiles, err);
    EXPECT_EQ(r.status, 1);
    std::string expected = errors[0];
    const std::string windowPath = (windowFolder / "kestrel" / "a.fits").string();
    expected.replace(expected.find(windowPath), windowPath.size(), (cliFolder / "kestrel" / "a.fits").string());
    EXPECT_NE(testing::readFile(err).find("a.fits: " + expected + "\n"), std::string::npos) << testing::readFile(err);
    EXPECT_NE(r.out.find("\tfailed: " + expected + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("in function fixFloat32Columns2x2.\n"), std::string::npos) << r.out;
    // Nothing half-written is left beside them.
    for (const auto& entry : fs::directory_iterator(cliFolder / "kestrel"))
        EXPECT_TRUE(entry.is_directory()) << entry.path();
}

TEST(WindowEquality, PhaseIsTheOneTheWindowShows)
{
    const std::vector<std::pair<int, int>> frames = {{4008, 11}, {4032, 27}, {2004, 5}, {2016, 14}};
    for (const auto& [width, phase] : frames) {
        SCOPED_TRACE(width);
        TempDir folder;
        const fs::path file = folder / "phase.fits";
        testing::writeFile(file, uint16Frame(width, phase, static_cast<unsigned>(width)));

        Window w;
        w.host.selections.push_back({file});
        w.host.answers.push_back(false); // do not store it
        w.form.Button7Click();
        const auto questions = w.host.texts(testing::Box::confirm);
        ASSERT_EQ(questions.size(), 1u);
        const std::string prefix = "The Phase = ";
        ASSERT_EQ(questions[0].rfind(prefix, 0), 0u) << questions[0];
        const std::string shown = questions[0].substr(prefix.size(), questions[0].find('\n') - prefix.size());

        const testing::ToolRun r = testing::runCli("phase " + quoted(file));
        EXPECT_EQ(r.status, 0);
        // The line goes on with the phase's significance, which the window does not show.
        EXPECT_EQ(r.out.substr(0, r.out.rfind('\t') + 1),
                  std::string("phase.fits\t") + (width > 3000 ? "1x1" : "2x2") + "\t" + shown + "\t");
    }
}

} // namespace
} // namespace kestrel
