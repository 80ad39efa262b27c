// The one writer of every file Kestrel changes, seen through its table of system calls:
// each call that can fail fails the write and leaves the destination as it was, and a
// file is on the disk before it takes the destination's name.
#include "core/whole_file.h"

#include "core/failure.h"
#include "tests/support/concurrent_appends.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <type_traits>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

/// The real calls, with a log of those made (name and descriptor or path) and one of
/// them, counted from 1, made to fail with `error`; the failing name "any" counts every
/// call, so that a sweep can fail each call of a write in turn. With `noUnnamed`, the
/// filesystem has no unnamed temporary files.
class Watched {
public:
    explicit Watched(std::string failing = "", int error = 0, int nth = 1)
        : failing_(std::move(failing)), error_(error), nth_(nth)
    {
        calls = realFileSystemCalls();
        watch(calls.open, "open");
        watch(calls.write, "write");
        watch(calls.fsync, "fsync");
        watch(calls.close, "close");
        watch(calls.link, "link");
        watch(calls.rename, "rename");
        watch(calls.fchown, "fchown");
        watch(calls.fchmod, "fchmod");
        watch(calls.ftruncate, "ftruncate");
        watch(calls.flock, "flock");
        watch(calls.dup, "dup");
        watch(calls.stat, "stat");
        watch(calls.lstat, "lstat");
        watch(calls.fstat, "fstat");
        watch(calls.readlink, "readlink");
        watch(calls.pread, "pread");
        watch(calls.unlink, "unlink");
        watch(calls.syncRange, "syncRange");
        watch(calls.listxattr, "listxattr");
        watch(calls.getxattr, "getxattr");
        watch(calls.fsetxattr, "fsetxattr");
        calls.open = [this, watched = calls.open](const char* path, int flags, mode_t mode) {
            if (noUnnamed && (flags & O_TMPFILE) == O_TMPFILE) {
                errno = EOPNOTSUPP;
                return -1;
            }
            return watched(path, flags, mode);
        };
    }

    FileSystemCalls calls;
    std::vector<std::pair<std::string, int>> log; // call and descriptor (-1: a path)
    int firstOpened = -1;
    bool noUnnamed = false;

    /// Where in the log the first call of `name` on `fd` stands; -1 if none.
    int position(const std::string& name, int fd) const
    {
        for (std::size_t i = 0; i < log.size(); ++i)
            if (log[i].first == name && log[i].second == fd)
                return static_cast<int>(i);
        return -1;
    }

private:
    template <class R, class First, class... Rest> void watch(std::function<R(First, Rest...)>& call, std::string name)
    {
        call = [this, real = call, name](First first, Rest... rest) -> R {
            int fd = -1;
            if constexpr (std::is_same_v<First, int>)
                fd = first;
            // A failing close still closes, as the kernel's does.
            if (name == "close") {
                const R result = real(first, rest...);
                return made(name, fd) ? -1 : result;
            }
            if (made(name, fd))
                return -1;
            const R result = real(first, rest...);
            if (name == "open" && firstOpened < 0)
                firstOpened = static_cast<int>(result);
            return result;
        };
    }
    bool made(const std::string& name, int fd)
    {
        log.emplace_back(name, fd);
        if ((failing_ != "any" && name != failing_) || ++seen_ != nth_)
            return false;
        errno = error_;
        return true;
    }

    std::string failing_;
    int error_;
    int nth_;
    int seen_ = 0;
};

std::vector<std::string> folderContents(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The file is flushed to the disk before it takes the destination's name, and the
// folder after: a crash leaves the old file or the new one, never half of one.
TEST(WholeFileWriter, FlushesTheFileBeforeTheRenameAndTheFolderAfter)
{
    TempDir dir;
    writeFile(dir / "f.txt", "old");
    Watched watched;
    {
        ScopedFileSystemCalls scoped(watched.calls);
        writeWholeFile(dir / "f.txt", "new");
    }
    EXPECT_EQ(readFile(dir / "f.txt"), "new");
    const int file = watched.firstOpened;
    ASSERT_GE(file, 0);
    const int flushed = watched.position("fsync", file), closed = watched.position("close", file),
              renamed = watched.position("rename", -1);
    ASSERT_GE(flushed, 0) << "the file was never flushed";
    EXPECT_LT(flushed, closed);
    EXPECT_LT(closed, renamed);
    EXPECT_EQ(std::count_if(watched.log.begin() + renamed, watched.log.end(),
                            [](const auto& call) { return call.first == "fsync"; }),
              1)
        << "the folder is flushed after the rename";
}

// Every call that can fail: the write fails with the call's reason, and the
// destination, an original being replaced, is byte for byte as it was.
TEST(WholeFileWriter, AnyFailingCallLeavesTheOriginalAndNothingBeside)
{
    const std::vector<std::pair<std::string, int>> failures = {
        {"open", EACCES}, {"write", ENOSPC}, {"fchmod", EPERM}, {"fsync", EIO},
        {"link", EMLINK}, {"close", EIO},    {"rename", EXDEV},
    };
    for (const auto& [call, error] : failures) {
        SCOPED_TRACE(call);
        TempDir dir;
        writeFile(dir / "f.fits", "original");
        Watched watched(call, error);
        try {
            ScopedFileSystemCalls scoped(watched.calls);
            writeWholeFile(dir / "f.fits", std::string(100000, 'x'));
            ADD_FAILURE() << "no failure";
        } catch (const Failure& f) {
            EXPECT_EQ(f.message(), "Cannot write " + (dir / "f.fits").string() + ": " + std::strerror(error));
        }
        EXPECT_EQ(readFile(dir / "f.fits"), "original");
        EXPECT_EQ(folderContents(dir.path()), std::vector<std::string>{"f.fits"});
    }
}

// The results file grows by whole exports: a failing call takes the export back, and a
// file the export created goes again.
TEST(AppendWhole, AnyFailingCallTakesTheLinesBack)
{
    const std::string header = "H\r\n", before = "H\r\nold\r\n";
    for (const auto& [call, error] : std::vector<std::pair<std::string, int>>{
             {"open", EACCES}, {"write", ENOSPC}, {"fsync", EIO}, {"close", EIO}}) {
        SCOPED_TRACE(call);
        TempDir dir;
        writeFile(dir / "r.csv", before);
        for (const fs::path& file : {dir / "r.csv", dir / "new.csv"}) {
            Watched watched(call, error);
            ScopedFileSystemCalls scoped(watched.calls);
            EXPECT_THROW(appendWhole(file, "line\r\n", header), Failure);
        }
        EXPECT_EQ(readFile(dir / "r.csv"), before);
        EXPECT_TRUE(!fs::exists(dir / "new.csv") || readFile(dir / "new.csv").empty());
    }

    // Flushed before it is closed, like every file of ours.
    TempDir dir;
    Watched watched;
    {
        ScopedFileSystemCalls scoped(watched.calls);
        appendWhole(dir / "r.csv", "line\r\n", header);
    }
    EXPECT_EQ(readFile(dir / "r.csv"), "H\r\nline\r\n");
    ASSERT_GE(watched.position("fsync", watched.firstOpened), 0);
    EXPECT_LT(watched.position("fsync", watched.firstOpened), watched.position("close", watched.firstOpened));
}

// Each call of a new file, a replacement and an append fails in turn: after EIO the
// write fails and the original stays, or (a hint, the lock, the folder's flush after the
// rename) the write is whole; after EINTR the call is made again. Never a temporary left.
// An append without a lock says so, once.
TEST(WholeFileWriter, EachCallFailingInTurnLosesNothing)
{
    ::testing::internal::CaptureStderr();
    // viaFolder: written through the output folder as a run opened it, as every
    // corrected image is.
    struct Case { bool append, noUnnamed; std::optional<std::string> original; std::string after; bool viaFolder = false; };
    for (const Case& c : {Case{false, false, {}, "new"}, Case{false, false, "old", "new"},
                          Case{false, true, "old", "new"}, Case{false, false, "old", "new", true},
                          Case{false, true, {}, "new", true}, Case{true, false, {}, "H\r\nline\r\n"},
                          Case{true, false, "H\r\nold", "H\r\nold\r\nline\r\n"}})
        for (int n = 0, calls = 0; n <= calls; ++n) // 0: none fails, to count the calls
            for (const int error : {EIO, EINTR}) {
                TempDir dir;
                if (c.original)
                    writeFile(dir / "f", *c.original);
                Watched w("any", error, n);
                w.noUnnamed = c.noUnnamed;
                std::optional<OpenFolder> folder;
                if (c.viaFolder)
                    folder.emplace(dir.path());
                std::string failure;
                try {
                    ScopedFileSystemCalls scoped(w.calls);
                    if (c.append) {
                        appendWhole(dir / "f", "line\r\n", "H\r\n");
                    } else if (folder) {
                        WholeFileWriter out(dir / "f", *folder);
                        out.write("new", 3);
                        out.commit();
                    } else {
                        writeWholeFile(dir / "f", "new");
                    }
                } catch (const Failure& f) {
                    failure = f.message();
                }
                if (n == 0) {
                    calls = static_cast<int>(w.log.size());
                    EXPECT_EQ(failure, "");
                    continue;
                }
                const std::string call = w.log.at(n - 1).first;
                SCOPED_TRACE(call + " #" + std::to_string(n) + " " + std::strerror(error));
                const auto renamed = std::find_if(w.log.begin(), w.log.end(), [](auto& e) { return e.first == "rename"; });
                // The append's last close only lets go of the lock: the writes were settled before.
                const bool late = call == "syncRange" || call == "flock" || renamed - w.log.begin() < n - 1 ||
                                  (c.append && n == calls);
                EXPECT_EQ(failure.empty(), error == EINTR || late) << failure;
                EXPECT_EQ(failure.rfind("Cannot write " + (dir / "f").string() + ": ", 0), failure.empty() ? std::string::npos : 0);
                const std::string now = fs::exists(dir / "f") ? readFile(dir / "f") : "";
                EXPECT_EQ(now, failure.empty() ? c.after : c.original.value_or(""));
                EXPECT_LE(folderContents(dir.path()).size(), 1u);
            }
    const std::string said = ::testing::internal::GetCapturedStderr(), end = std::string(" appended without a lock: ") + std::strerror(EIO) + "\n";
    EXPECT_TRUE(said.rfind("kestrel: ", 0) == 0 && said.find(end) == said.size() - end.size() &&
                std::count(said.begin(), said.end(), '\n') == 1)
        << said;
}

// A replacement keeps the original's extended attributes (ACLs are some) or is not made;
// as root, a link to another user's file is followed only where that user owns the link.
TEST(WholeFileWriter, KeepsAttributesAndFollowsOnlyLinksOfTheFilesOwner)
{
    TempDir dir;
    const fs::path f = dir / "f.fits";
    writeFile(f, "original");
    if (::setxattr(f.c_str(), "user.night", "2026-12-09", 10, 0) != 0)
        GTEST_SKIP() << "this filesystem keeps no extended attributes: " << std::strerror(errno);
    writeWholeFile(f, "new");
    char value[32] = {};
    EXPECT_EQ(::getxattr(f.c_str(), "user.night", value, sizeof value), 10);
    EXPECT_STREQ(value, "2026-12-09");
    {
        Watched refused("fsetxattr", EPERM);
        ScopedFileSystemCalls scoped(refused.calls);
        EXPECT_THROW(writeWholeFile(f, "newer"), Failure);
    }
    EXPECT_EQ(readFile(f), "new");

    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to plant a link to another user's file";
    ASSERT_EQ(::chown(f.c_str(), 1234, 1234), 0);
    fs::create_symlink(f, dir / "planted");
    const std::string refusal = "Cannot write " + (dir / "planted").string() +
                                ": it is a link to a file of another user (uid 1234); not followed";
    for (const bool append : {false, true})
        try {
            append ? appendWhole(dir / "planted", "line\r\n", "H\r\n") : writeWholeFile(dir / "planted", "x");
            ADD_FAILURE() << "followed";
        } catch (const Failure& e) {
            EXPECT_EQ(e.message(), refusal);
        }
    EXPECT_EQ(readFile(f), "new");
    ASSERT_EQ(::lchown((dir / "planted").c_str(), 1234, 1234), 0); // the owner's own link
    writeWholeFile(dir / "planted", "x");
    EXPECT_EQ(readFile(f), "x");
}

// Runs appending to one results file at once take turns: every line arrives whole, the
// header once, whether the file starts missing or empty.
TEST(AppendWhole, ConcurrentAppendsNeitherLoseNorInterleave)
{
    for (const bool startEmpty : {false, true}) {
        TempDir dir;
        if (startEmpty)
            writeFile(dir / "r.csv", "");
        testing::expectWholeConcurrentAppends(dir / "r.csv");
    }
}

// Where the filesystem has no unnamed files (exFAT), a run killed on the way leaves its
// named temporary file; the next write into that folder removes those of this machine
// whose process is gone, and no other.
TEST(WholeFileWriter, RemovesTheTemporaryFilesOfKilledRuns)
{
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_GT(gone, 0);
    ::waitpid(gone, nullptr, 0);
    const std::string ours = std::string(".kestrel-") + host + "-";
    TempDir dir;
    const std::vector<std::string> stale{ours + std::to_string(gone) + "-abcd1234"};
    const std::vector<std::string> kept{ours + std::to_string(::getpid()) + "-abcd1234",
                                        ".kestrel-elsewhere-" + std::to_string(gone) + "-abcd1234",
                                        ours + std::to_string(gone) + "-notes", ".kestrel-abcd1234"};
    for (const auto& names : {stale, kept})
        for (const std::string& name : names)
            writeFile(dir / name, "left");
    Watched w;
    w.noUnnamed = true;
    ScopedFileSystemCalls scoped(w.calls);
    writeWholeFile(dir / "f", "new");
    std::vector<std::string> expected = kept;
    expected.push_back("f");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(folderContents(dir.path()), expected);
}

// Owners: a replaced file keeps its owner and group; a change of owner that is not
// permitted leaves it unreplaced. Needs root to make another user's file.
TEST(WholeFileWriter, KeepsTheOwnerOrLeavesTheFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file to another user";
    TempDir dir;
    writeFile(dir / "f.fits", "original");
    ASSERT_EQ(::chown((dir / "f.fits").c_str(), 1234, 4321), 0);
    ::chmod((dir / "f.fits").c_str(), 0640);
    writeWholeFile(dir / "f.fits", "new");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "f.fits").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 4321u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    Watched refused("fchown", EPERM);
    ScopedFileSystemCalls scoped(refused.calls);
    EXPECT_THROW(writeWholeFile(dir / "f.fits", "newer"), Failure);
    EXPECT_EQ(readFile(dir / "f.fits"), "new");
}

} // namespace
} // namespace kestrel
