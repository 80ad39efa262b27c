// Originals survive every way a user can name them: output folders spelt otherwise or
// holding links, results files and plots that name an image, closed and full outputs,
// files of other owners. kestrel-cli from the outside, on files made for each case.
#include "tests/cli/tool_run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel::testing;
namespace fs = std::filesystem;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

/// A 2x2-binned frame, small enough for many runs.
std::string frame(unsigned seed) { return bandedFrame(2004, 8, 8, 10.0f, seed); }

} // namespace

// Without --overwrite no input is replaced, however the output folder is spelt or
// whatever links it holds; the line names both paths and the way out.
TEST(CliOriginals, AnOutputThatResolvesToAnInputIsSkipped)
{
    TempDir dir;
    fs::create_directories(dir / "d");
    fs::create_directories(dir / "t");
    fs::create_directories(dir / "o");
    const std::string original = frame(1);
    writeFile(dir / "d" / "f.fits", original);
    writeFile(dir / "t" / "g.fits", original);
    writeFile(dir / "d" / "g.fits", frame(2));
    fs::create_symlink("d", dir / "dl");
    fs::create_symlink("../t/g.fits", dir / "o" / "g.fits");

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--output-dir d d/f.fits", "d/f.fits"},
        {"--output-dir d/. d/f.fits", "d/f.fits"},
        {"--output-dir ./d d/f.fits", "d/f.fits"},
        {"--output-dir " + quoted(dir / "d") + " d/f.fits", "d/f.fits"},
        {"--output-dir=dl d/f.fits", "d/f.fits"},
        {"--output-dir o t/g.fits", "t/g.fits"},    // a link in the output folder
        {"--output-dir d d/g.fits t/g.fits", "d/g.fits"}, // an input inside it, listed first
    };
    for (const auto& [options, victim] : cases) {
        SCOPED_TRACE(options);
        const std::string before = readFile(dir / victim);
        const ToolRun r = runCliIn(dir.path(), "correct --phase-2x2 8 " + options);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(readFile(dir / victim), before);
        EXPECT_TRUE(contains(r.out, "skipped: its corrected file ")) << r.out;
        EXPECT_TRUE(contains(r.out, " would replace the original ")) << r.out;
        EXPECT_TRUE(contains(r.out, "--overwrite")) << r.out;
        EXPECT_FALSE(contains(r.out, "\tcorrected")) << r.out;
    }
    EXPECT_EQ(readFile(dir / "t" / "g.fits"), original);
}

// Results and plots go only where they cannot hurt an image: a name that is an input,
// or an existing file that is plainly no results file or plot, is a usage error before
// any image is touched; a results file that can never be written is refused up front.
TEST(CliOriginals, ResultsAndPlotsNeverGoOverAnImage)
{
    TempDir dir;
    const std::string a = frame(3), b = frame(4);
    writeFile(dir / "a.fits", a);
    writeFile(dir / "b.fits", b);
    writeFile(dir / "img.svg", a);
    writeFile(dir / "binary.csv", std::string("Image\0", 6));
    writeFile(dir / "protected.csv", "Image,Binning,CCDtemp,Exposure,Amplitude\r\n");
    ::chmod((dir / "protected.csv").c_str(), 0444);
    fs::create_symlink("a.fits", dir / "link.csv");
    fs::create_symlink("nowhere/r.csv", dir / "dangling.csv");

    struct Case {
        std::string arguments;
        int status;
    };
    const std::vector<Case> cases = {
        {"correct --phase-2x2 8 --output-dir o --csv a.fits b.fits", 2},   // an image, given by the shell's *
        {"correct --phase-2x2 8 --output-dir o --csv b.fits b.fits", 2},   // the input itself
        {"correct --phase-2x2 8 --output-dir o --csv link.csv b.fits", 2}, // a link to an image
        {"correct --phase-2x2 8 --output-dir o --csv binary.csv b.fits", 2},
        {"correct --phase-2x2 8 --output-dir o --csv o/b.fits b.fits", 2}, // where an output goes
        {"correct --phase-2x2 8 --output-dir o --csv dangling.csv b.fits", 1},
        {"correct --phase-2x2 8 --output-dir o --csv protected.csv b.fits", 1},
        {"profile --phase-2x2 8 --plot img.svg img.svg", 2},
        {"profile --phase-2x2 8 --plot a.fits.png b.fits", 0},
        {"profile --phase-2x2 8 --plot b.png b.fits", 0}, // a plot of ours is replaced
    };
    writeFile(dir / "b.png", "\x89PNG\r\n\x1a\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const ToolRun r = runCliIn(dir.path(), c.arguments);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_EQ(readFile(dir / "a.fits"), a);
        EXPECT_EQ(readFile(dir / "b.fits"), b);
        EXPECT_EQ(readFile(dir / "img.svg"), a);
        if (c.status != 0) {
            EXPECT_FALSE(fs::exists(dir / "o")) << "an image was treated before the refusal";
        }
    }
    EXPECT_EQ(readFile(dir / "protected.csv"), "Image,Binning,CCDtemp,Exposure,Amplitude\r\n");
}

// Our own results files: one without its header line is still appended to, an empty one
// counts as new, and a run with nothing to record makes none.
TEST(CliOriginals, ResultsFilesOfOursAreAppendedToAndNoneIsMadeForNothing)
{
    TempDir dir;
    writeFile(dir / "a.fits", frame(5));
    writeFile(dir / "headless.csv", "x.fits,2x2,-20,300,1.00\r\n");
    writeFile(dir / "empty.csv", "");
    EXPECT_EQ(runCliIn(dir.path(), "correct --phase-2x2 8 --csv headless.csv --csv=empty.csv a.fits").status, 0);
    EXPECT_EQ(runCliIn(dir.path(), "correct --phase-2x2 8 --csv headless.csv a.fits").status, 0);
    const std::string headless = readFile(dir / "headless.csv");
    EXPECT_EQ(headless.rfind("x.fits,2x2,-20,300,1.00\r\na.fits,2x2,-20,300,", 0), 0u) << headless;
    EXPECT_EQ(readFile(dir / "empty.csv").rfind("Image,Binning,CCDtemp,Exposure,Amplitude\r\na.fits,2x2,", 0), 0u);

    EXPECT_EQ(runCliIn(dir.path(), "correct --phase-2x2 8 --amplitude 3 --csv typed.csv a.fits").status, 0);
    EXPECT_FALSE(fs::exists(dir / "typed.csv"));

    // A run that corrects nothing leaves no output folder behind.
    writeFile(dir / "narrow.fits", bandedFrame(3000, 4, 8, 1.0f, 6));
    EXPECT_EQ(runCliIn(dir.path(), "correct --phase-2x2 8 --output-dir new/out narrow.fits").status, 1);
    EXPECT_FALSE(fs::exists(dir / "new"));
}

// A closed standard output never becomes the descriptor of a file the tool writes, and
// an output that cannot be written is a failure with its reason.
TEST(CliOriginals, ClosedAndFullOutputs)
{
    TempDir dir;
    std::vector<std::string> frames;
    std::string names;
    for (int i = 0; i < 4; ++i) {
        frames.push_back(frame(10 + static_cast<unsigned>(i)));
        writeFile(dir / ("f" + std::to_string(i) + ".fits"), frames.back());
        names += " f" + std::to_string(i) + ".fits";
    }
    // Each original's correction, made apart: with several jobs more than one image may
    // be put in place before the closed output stops the run.
    std::vector<std::string> corrected;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const fs::path alone = dir / ("alone" + std::to_string(i));
        fs::create_directories(alone);
        writeFile(alone / "in.fits", frames[i]);
        runCliIn(alone, "correct --phase-2x2 8 --output-dir out in.fits");
        corrected.push_back(readFile(alone / "out" / "in.fits"));
    }
    for (const std::string jobs : {"1", "4"})
        for (int run = 0; run < 3; ++run) {
            const ToolRun r = runCliIn(dir.path(), "correct --phase-2x2 8 --overwrite --jobs " + jobs + names + " >&-");
            EXPECT_EQ(r.status, 141) << "--jobs " << jobs;
            for (std::size_t i = 0; i < frames.size(); ++i) {
                const std::string now = readFile(dir / ("f" + std::to_string(i) + ".fits"));
                EXPECT_TRUE(now == frames[i] || now == corrected[i]) << "f" << i << " damaged, --jobs " << jobs;
                writeFile(dir / ("f" + std::to_string(i) + ".fits"), frames[i]);
            }
        }

    std::vector<std::uint16_t> px(2004 * 2);
    for (std::size_t i = 0; i < px.size(); ++i)
        px[i] = (i % 2004 % 16 + 16 - 5) % 16 < 8 ? 1100 : 1000;
    writeFile(dir / "u.fits", headerRecords(uint16ImageCards(2004, 2)) + uint16Data(px));
    const fs::path err = dir / "err.txt";
    struct Case {
        std::string arguments;
        int status;
    };
    const std::vector<Case> cases = {
        {"correct --phase-2x2 8 --overwrite f1.fits f2.fits >/dev/full", 1},
        {"profile --phase-2x2 8 f1.fits >/dev/full", 1},
        {"phase u.fits >/dev/full", 1},
        {"phase --scores u.fits >&-", 141},
        {"--help >/dev/full", 1},
        {"--version >/dev/full", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        EXPECT_EQ(runCliIn(dir.path(), c.arguments, err).status, c.status);
        if (c.status == 1) {
            EXPECT_TRUE(contains(readFile(err), "Cannot write to standard output: No space left on device"))
                << readFile(err);
        }
    }
}

// A replaced file keeps its owner, group and mode; a file of another user is not
// replaced by one who could not give it back. Needs root to make such files.
TEST(CliOriginals, ReplacementsKeepOwnerGroupAndMode)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to another user";
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    const std::string original = frame(20);
    writeFile(dir / "theirs.fits", original);
    ASSERT_EQ(::chown((dir / "theirs.fits").c_str(), 1234, 1234), 0);
    ::chmod((dir / "theirs.fits").c_str(), 0600);
    EXPECT_EQ(runCliIn(dir.path(), "correct --phase-2x2 8 --overwrite theirs.fits").status, 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "theirs.fits").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 1234u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(readFile(dir / "theirs.fits"), original);

    // Another user may write the file, but could not keep its owner: it stays as it is.
    writeFile(dir / "shared.fits", original);
    ASSERT_EQ(::chown((dir / "shared.fits").c_str(), 1234, 1234), 0);
    ::chmod((dir / "shared.fits").c_str(), 0666);
    const ToolRun r = runShell("cd " + quoted(dir.path()) + " && HOME=" + quoted(dir.path()) +
                               " setpriv --reuid=65534 --regid=65534 --clear-groups " + quoted(KESTREL_CLI) +
                               " correct --phase-2x2 8 --overwrite shared.fits");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(contains(r.out, "it belongs to another user (uid 1234)")) << r.out;
    EXPECT_EQ(readFile(dir / "shared.fits"), original);
}

// A file already in the output folder is replaced only when it is an earlier correction
// of the same input (the same header and size); another night's original of that name
// is kept, in a folder given or the default one, unless --replace-outputs says so.
TEST(CliOriginals, OnlyEarlierCorrectionsAreReplaced)
{
    TempDir dir;
    for (const char* folder : {"night1", "night2", "night1/kestrel", "short"})
        fs::create_directories(dir / folder);
    const std::string original = frame(1);
    writeFile(dir / "night1" / "frame1.fits", original);
    const std::string otherNight = bandedFrame(2004, 9, 8, 10.0f, 2); // another header
    const std::string sameHeader = original.substr(0, original.size() - 2880);
    struct Case {
        const char* arguments;
        const char* existing;
        std::string held;
        int status;
        bool replaced;
    };
    const Case cases[] = {
        {"--output-dir night2", "night2/frame1.fits", otherNight, 1, false},
        {"", "night1/kestrel/frame1.fits", otherNight, 1, false},
        {"--output-dir short", "short/frame1.fits", sameHeader, 1, false},
        {"--output-dir night2 --replace-outputs", "night2/frame1.fits", otherNight, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        writeFile(dir / c.existing, c.held);
        const ToolRun r =
            runCliIn(dir.path(), std::string("correct --phase-2x2 8 ") + c.arguments + " night1/frame1.fits");
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_EQ(readFile(dir / "night1" / "frame1.fits"), original);
        EXPECT_EQ(readFile(dir / c.existing) != c.held, c.replaced);
        if (!c.replaced) {
            EXPECT_TRUE(contains(r.out, std::string(c.existing) + " already exists and is not an earlier correction"))
                << r.out;
            EXPECT_TRUE(contains(r.out, "--replace-outputs")) << r.out;
        }
    }
    // A second run over its own corrections replaces them.
    const std::string corrected = readFile(dir / "night2" / "frame1.fits");
    EXPECT_EQ(runCliIn(dir.path(), "correct --phase-2x2 8 --output-dir night2 night1/frame1.fits").status, 0);
    EXPECT_EQ(readFile(dir / "night2" / "frame1.fits"), corrected);
}

// The same folder through another mount has other device numbers: a file made there
// proves it is the input's folder, and no original is replaced.
TEST(CliOriginals, TheInputFolderThroughAnotherMountIsKnown)
{
    TempDir dir;
    fs::create_directories(dir / "night");
    fs::create_directories(dir / "view");
    const std::string original = frame(1);
    writeFile(dir / "night" / "f.fits", original);
    if (runShell("bindfs " + quoted(dir / "night") + " " + quoted(dir / "view")).status != 0)
        GTEST_SKIP() << "bindfs cannot mount here (it needs FUSE)";
    const ToolRun r = runCliIn(dir.path(), "correct --phase-2x2 8 --output-dir view night/f.fits");
    const ToolRun plain = runCliIn(dir.path(), "correct --phase-2x2 8 --output-dir view/. night/f.fits");
    runShell("fusermount -u " + quoted(dir / "view"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(plain.status, 1) << plain.out;
    EXPECT_TRUE(contains(r.out, " would replace the original night/f.fits")) << r.out;
    EXPECT_EQ(readFile(dir / "night" / "f.fits"), original);
    EXPECT_FALSE(fs::exists(dir / "night" / "kestrel"));
}
