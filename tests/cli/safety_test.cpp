// No original is lost or damaged, whatever the command line asks and whatever happens
// to the run: kestrel-cli from the outside, on files made for each case.
#include "tests/cli/tool_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <optional>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel::testing;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

/// What kestrel-cli makes of one file alone, corrected into a folder of its own.
std::string correctedAlone(const TempDir& dir, const std::string& bytes, const std::string& name)
{
    const fs::path alone = dir / ("alone-" + name);
    fs::create_directories(alone);
    writeFile(alone / "in.fits", bytes);
    runCli("correct --phase-1x1 8 --output-dir " + quoted(alone / "out") + " " + quoted(alone / "in.fits"));
    return readFile(alone / "out" / "in.fits");
}

} // namespace

// Inputs from several folders: with --overwrite each replaces its own input; without,
// a second input whose output was already written, or the same file given again under
// another name, is skipped with a message naming both.
TEST(CliSafety, EveryInputReplacesOnlyItselfAndNothingIsCorrectedTwice)
{
    TempDir dir;
    fs::create_directories(dir / "night1");
    fs::create_directories(dir / "night2");
    const std::string one = bandedFrame(4008, 6, 8, 10.0f, 1), two = bandedFrame(4008, 6, 8, 30.0f, 2);
    writeFile(dir / "night1" / "L.fits", one);
    writeFile(dir / "night2" / "L.fits", two);

    ToolRun r = runCli("correct --phase-1x1 8 --overwrite " + quoted(dir / "night1" / "L.fits") + " " +
                       quoted(dir / "night2" / "L.fits"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile(dir / "night1" / "L.fits"), correctedAlone(dir, one, "1"));
    EXPECT_EQ(readFile(dir / "night2" / "L.fits"), correctedAlone(dir, two, "2"));

    writeFile(dir / "night1" / "L.fits", one);
    writeFile(dir / "night2" / "L.fits", two);
    const fs::path err = dir / "err.txt";
    r = runCli("correct --phase-1x1 8 --jobs 2 --output-dir " + quoted(dir / "out") + " " +
                   quoted(dir / "night1" / "L.fits") + " " + quoted(dir / "night2" / "L.fits"),
               err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(dir / "out" / "L.fits"), correctedAlone(dir, one, "1"));
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].substr(0, 8), "L.fits\t\t");
    EXPECT_NE(out[1].find("skipped: its corrected file"), std::string::npos) << out[1];
    EXPECT_NE(readFile(err).find((dir / "night1" / "L.fits").string()), std::string::npos);

    // The same file three times over (a second path, a link): corrected once.
    fs::create_symlink("L.fits", dir / "night1" / "link.fits");
    r = runCli("correct --phase-1x1 8 --overwrite " + quoted(dir / "night1" / "L.fits") + " " +
               quoted(dir / "night2" / ".." / "night1" / "L.fits") + " " + quoted(dir / "night1" / "link.fits"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(dir / "night1" / "L.fits"), correctedAlone(dir, one, "1"));
    ASSERT_EQ(lines(r.out).size(), 3u);
    EXPECT_NE(lines(r.out)[2].find("skipped: it is the same file as"), std::string::npos) << r.out;

    // A hard link is another name of the same file too; the replacement is a new file,
    // so the other name keeps the original, and the line says so.
    fs::create_hard_link(dir / "night1" / "L.fits", dir / "night2" / "hard.fits");
    r = runCli("correct --phase-1x1 8 --overwrite " + quoted(dir / "night1" / "L.fits") + " " +
               quoted(dir / "night2" / "hard.fits"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("(a hard link: once " + (dir / "night1" / "L.fits").string() + " is replaced, " +
                         (dir / "night2" / "hard.fits").string() + " still holds the original)"),
              std::string::npos)
        << r.out;
}

// Write-protected and linked originals, and names near the filesystem's limit.
TEST(CliSafety, ProtectedLinkedAndLongNamedOriginals)
{
    TempDir dir;
    const std::string frame = bandedFrame(4008, 6, 8, 10.0f, 3);
    writeFile(dir / "kept.fits", frame);
    ::chmod((dir / "kept.fits").c_str(), 0444);
    fs::create_directories(dir / "store");
    writeFile(dir / "store" / "target.fits", frame);
    fs::create_symlink("store/target.fits", dir / "link.fits");
    const std::string longName = std::string(245, 'x') + ".fits";
    writeFile(dir / longName, frame);

    const ToolRun r = runCli("correct --phase-1x1 8 --overwrite " + quoted(dir / "kept.fits") + " " +
                             quoted(dir / "link.fits") + " " + quoted(dir / longName));
    EXPECT_EQ(r.status, 1);
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out;
    EXPECT_EQ(out[0], "kept.fits\t1x1\t\t\tFailed\t\tfailed: Cannot write " + (dir / "kept.fits").string() +
                          ": the file is write-protected");
    EXPECT_EQ(readFile(dir / "kept.fits"), frame);
    const std::string corrected = correctedAlone(dir, frame, "3");
    EXPECT_TRUE(fs::is_symlink(dir / "link.fits"));
    EXPECT_EQ(readFile(dir / "store" / "target.fits"), corrected);
    EXPECT_EQ(readFile(dir / longName), corrected);
    EXPECT_NE(out[2].find("\tcorrected"), std::string::npos);
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_NE(e.path().filename().string().substr(0, 9), ".kestrel-") << "temporary file left";
}

// Our own files: a settings file that is endless or not ours to read stops the run
// before any image, a results file that can never be written is refused before any
// image is corrected, a named pipe never holds the tool up, and a failed settings write
// after phase --save is a failure.
TEST(CliSafety, SettingsResultsAndPipesAreCheckedFirst)
{
    TempDir dir;
    const fs::path tool = portableCopy(dir);
    writeFile(dir / "a.fits", bandedFrame(4008, 6, 8, 10.0f, 4));
    const fs::path err = dir / "err.txt";

    fs::create_symlink("/dev/zero", dir / "program" / "kestx.ini");
    ToolRun r = runTool(tool, "correct " + quoted(dir / "a.fits"), err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(readFile(err).find("kestx.ini: not a regular file"), std::string::npos) << readFile(err);
    EXPECT_EQ(readFile(err).find("Phase is not an integer"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "kestrel"));
    fs::remove(dir / "program" / "kestx.ini");

    for (const fs::path& csv : {dir / "folder", dir / "missing" / "r.csv"}) {
        fs::create_directories(dir / "folder");
        r = runTool(tool, "correct --phase-1x1 8 --csv " + quoted(csv) + " " + quoted(dir / "a.fits"));
        EXPECT_EQ(r.status, 1) << csv;
        EXPECT_FALSE(fs::exists(dir / "kestrel" / "a.fits")) << csv;
    }
    EXPECT_EQ(runTool(tool, "correct --phase-1x1 8 --csv '' " + quoted(dir / "a.fits")).status, 2);

    // Standard output or error opened on an image of the run would get lines over its
    // header: refused before anything is written, the message on the other stream.
    const std::string before = readFile(dir / "a.fits");
    for (const char* stream : {"1<>", "2<>"}) {
        r = runShell("{ timeout 60 " + quoted(tool) + " correct --phase-1x1 8 --overwrite " + quoted(dir / "a.fits") +
                     " " + std::string(stream) + " " + quoted(dir / "a.fits") + "; }");
        EXPECT_EQ(r.status, 2) << stream;
        EXPECT_EQ(readFile(dir / "a.fits"), before) << stream;
        // A watch's too: a frame of the folder it watches.
        r = runShell("{ timeout 60 " + quoted(tool) + " watch " + quoted(dir.path()) + " " + std::string(stream) + " " +
                     quoted(dir / "a.fits") + "; }");
        EXPECT_EQ(r.status, 2) << stream;
        EXPECT_EQ(readFile(dir / "a.fits"), before) << stream;
    }

    ASSERT_EQ(::mkfifo((dir / "pipe.fits").c_str(), 0644), 0);
    r = runTool(tool, "correct --phase-1x1 8 --csv " + quoted(dir / "pipe.fits") + " " + quoted(dir / "a.fits"));
    EXPECT_EQ(r.status, 1) << "a named pipe as the results file";
    r = runTool(tool, "correct --phase-1x1 8 " + quoted(dir / "pipe.fits") + " " + quoted(dir / "a.fits"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("pipe.fits\t\t\t\t\t\tfailed: Cannot read " + (dir / "pipe.fits").string() +
                         ": not a regular file"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("a.fits\t1x1\t"), std::string::npos) << "the run goes on";

    // A 16-bit frame whose phase is found, with a settings file that may not be changed.
    std::vector<std::uint16_t> px(4008 * 2);
    for (std::size_t i = 0; i < px.size(); ++i)
        px[i] = (i % 4008 % 32 + 32 - 5) % 32 < 16 ? 1100 : 1000;
    writeFile(dir / "p.fits", headerRecords(uint16ImageCards(4008, 2)) + uint16Data(px));
    writeFile(dir / "program" / "kestx.ini", "[kestx]\n1x1phase=8\n");
    ::chmod((dir / "program" / "kestx.ini").c_str(), 0444);
    r = runTool(tool, "phase --save " + quoted(dir / "p.fits"), err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "p.fits\t1x1\t5\tinf\n");
    EXPECT_NE(readFile(err).find("the file is write-protected"), std::string::npos);
    EXPECT_EQ(readFile(dir / "program" / "kestx.ini"), "[kestx]\n1x1phase=8\n");
}

// The result line keeps its fields whatever the name holds, and says why an image with
// fewer samples than its header promises was not measured.
TEST(CliSafety, ResultLinesNameWhatHappened)
{
    TempDir dir;
    writeFile(dir / "tab\there.fits", bandedFrame(4008, 6, 8, 10.0f, 5));
    std::string cut = bandedFrame(4008, 6, 8, 10.0f, 6);
    std::string header = headerRecords(floatImageCards(4008, 9)); // nine rows promised, six present
    writeFile(dir / "short.fits", header + cut.substr(header.size()));
    const ToolRun r = runCli("correct --phase-1x1 8 " + quoted(dir / "tab\there.fits") + " " + quoted(dir / "short.fits"));
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 2u) << r.out;
    EXPECT_EQ(out[0].substr(0, 15), "tab\\there.fits\t");
    EXPECT_NE(out[1].find("\tFailed\t\tfailed: the data hold 24480 samples, fewer than the 36072 of NAXIS1 x NAXIS2"),
              std::string::npos)
        << out[1];

    // An outcome that names a path shows its backslashes as standard error does, and
    // escapes them only where a tab in the path must be escaped too.
    for (const std::string folder : {"back\\slash", "tab\there"}) {
        fs::create_directory(dir / folder);
        writeFile(dir / folder / "f.fits", bandedFrame(4008, 6, 8, 10.0f, 5));
        const ToolRun again = runCli("correct --phase-1x1 8 --output-dir " + quoted(dir / "out") + " " +
                                     quoted(dir / folder / "f.fits") + " " + quoted(dir / folder / "." / "f.fits"));
        const std::string shown = folder == "tab\there" ? "tab\\there/f.fits," : "back\\slash/f.fits,";
        EXPECT_NE(again.out.find("skipped: it is the same file as " + (dir.path() / "").string() + shown),
                  std::string::npos)
            << again.out;
    }
}

// A run stopped by a signal or a closed output replaces no further file, prints the line
// of every file it replaced, leaves no temporary file and says so in its status.
TEST(CliSafety, AStoppedRunReportsEveryReplacedFileAndLeavesNothing)
{
    TempDir dir;
    std::vector<std::string> frames;
    std::string args = "correct --phase-1x1 8 --overwrite --jobs 2";
    for (int i = 0; i < 40; ++i) {
        frames.push_back(bandedFrame(4008, 48, 8, 10.0f, static_cast<unsigned>(i)));
        const std::string name = "f" + std::to_string(100 + i) + ".fits";
        writeFile(dir / name, frames.back());
        args += " " + quoted(dir / name);
    }
    auto replaced = [&] {
        int count = 0;
        for (int i = 0; i < 40; ++i)
            count += readFile(dir / ("f" + std::to_string(100 + i) + ".fits")) != frames[static_cast<std::size_t>(i)];
        return count;
    };
    auto countLines = [](const std::string& text, const std::string& what) {
        int count = 0;
        for (const auto& l : lines(text))
            count += l.find(what) != std::string::npos;
        return count;
    };
    auto leftovers = [&] {
        int count = 0;
        // The journal of what the interrupted run replaced stays, for a run started again.
        for (const auto& e : fs::directory_iterator(dir.path()))
            count += e.path().extension() != ".fits" && e.path().filename() != ".kestrel-journal";
        return count;
    };

    auto restore = [&] {
        for (int i = 0; i < 40; ++i)
            writeFile(dir / ("f" + std::to_string(100 + i) + ".fits"), frames[static_cast<std::size_t>(i)]);
    };
    // Runs the tool with its output into a pipe; once the first line is out, `afterFirst`
    // acts (a signal, or closing the reading end). Returns what was read and the status.
    auto stopped = [&](const std::function<void(pid_t, int&)>& afterFirst, const fs::path& err) {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(errFd, 2);
            ::execl("/bin/sh", "sh", "-c", (std::string("exec ") + KESTREL_CLI + " " + args).c_str(), nullptr);
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string text;
        char buffer[4096];
        ssize_t got;
        while (fds[0] >= 0 && (got = ::read(fds[0], buffer, sizeof buffer)) > 0) {
            const bool first = text.find('\n') == std::string::npos;
            text.append(buffer, static_cast<std::size_t>(got));
            if (first && text.find('\n') != std::string::npos)
                afterFirst(child, fds[0]);
        }
        if (fds[0] >= 0)
            ::close(fds[0]);
        int raw = 0;
        ::waitpid(child, &raw, 0);
        return std::pair{text, WIFEXITED(raw) ? WEXITSTATUS(raw) : -1};
    };
    const fs::path err = dir / "err.txt";

    // SIGTERM once the first line is out.
    auto [text, status] = stopped([](pid_t child, int&) { ::kill(child, SIGTERM); }, err);
    EXPECT_EQ(status, 128 + SIGTERM);
    EXPECT_LT(replaced(), 40) << "the run went on after the signal";
    EXPECT_EQ(countLines(text, "\tcorrected"), replaced());
    fs::remove(err);
    EXPECT_EQ(leftovers(), 0);

    // The reader goes away after the first line: the lines it can no longer read go to
    // standard error. The tool is held still while the pipe is drained and closed, so
    // that no line is lost in the pipe with its reader, however busy the machine is.
    restore();
    std::string drained;
    auto [first, closedStatus] = stopped(
        [&drained](pid_t child, int& fd) {
            ::kill(child, SIGSTOP);
            int state = 0;
            ::waitpid(child, &state, WUNTRACED);
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
            char buffer[4096];
            for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
                drained.append(buffer, static_cast<std::size_t>(got));
            ::close(fd);
            fd = -1;
            ::kill(child, SIGCONT);
        },
        err);
    EXPECT_EQ(closedStatus, 128 + SIGPIPE);
    EXPECT_LT(replaced(), 40);
    // Every replaced file is reported on one output or the other.
    EXPECT_EQ(countLines(first + drained, "\tcorrected") + countLines(readFile(err), "\tcorrected"), replaced());
    fs::remove(err);
    EXPECT_EQ(leftovers(), 0);
}

namespace {

// Runs kestrel-cli as a user other than root (nobody), held to `processes` processes:
// what a user meets whom the system limits. Empty when this test run cannot.
std::optional<ToolRun> runCliAsUser(const TempDir& dir, const std::string& arguments, int processes,
                                    const fs::path& err)
{
    if (::geteuid() != 0 || std::system("command -v setpriv prlimit >/dev/null") != 0)
        return std::nullopt;
    ::chmod(dir.path().c_str(), 0777);
    // The leak checker of a sanitizer build needs a thread of its own at exit, which a
    // user held to one process cannot start: it is left out, the run itself is checked.
    return runShell("ASAN_OPTIONS=detect_leaks=0 HOME=" + quoted(dir.path()) +
                        " timeout 60 setpriv --reuid=65534 --regid=65534 --clear-groups prlimit --nproc=" +
                        std::to_string(processes) + " " + quoted(KESTREL_CLI) + " " + arguments,
                    err);
}

} // namespace

// A user whose processes may start no further thread (a process limit, a container)
// still gets every file corrected, one at a time, and is told so; never an abort. A
// results file the user may write is appended to in a folder they may not change.
TEST(CliSafety, AUserShortOfThreadsOrOfAWritableFolderGetsTheRun)
{
    TempDir dir;
    writeFile(dir / "a.fits", bandedFrame(4008, 6, 8, 10.0f, 4));
    writeFile(dir / "b.fits", bandedFrame(4008, 6, 8, 10.0f, 5));
    fs::create_directory(dir / "shared");
    writeFile(dir / "shared" / "r.csv", "");
    ::chmod((dir / "shared" / "r.csv").c_str(), 0666);
    ::chmod((dir / "shared").c_str(), 0555);
    const fs::path err = dir / "err.txt";
    const auto r = runCliAsUser(dir,
                                "correct --jobs 4 --phase-1x1 8 --csv " + quoted(dir / "shared" / "r.csv") +
                                    " --output-dir " + quoted(dir / "out") + " " + quoted(dir / "a.fits") + " " +
                                    quoted(dir / "b.fits"),
                                1, err);
    if (!r)
        GTEST_SKIP() << "needs root, setpriv and prlimit to run as a user held to one process";
    EXPECT_EQ(r->status, 0) << readFile(err);
    EXPECT_EQ(std::count(r->out.begin(), r->out.end(), '\n'), 2) << r->out;
    EXPECT_NE(readFile(err).find("only 0 of 2 jobs could be started"), std::string::npos) << readFile(err);
    const std::string csv = readFile(dir / "shared" / "r.csv");
    EXPECT_NE(csv.find("a.fits"), std::string::npos) << csv;
    EXPECT_NE(csv.find("b.fits"), std::string::npos) << csv;
}
