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
#include <sys/stat.h>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

/// The real calls, with a log of those made (name and descriptor or path) and one of
/// them, counted from 1, made to fail with `error`.
class Watched {
public:
    explicit Watched(std::string failing = "", int error = 0, int nth = 1)
        : failing_(std::move(failing)), error_(error), nth_(nth)
    {
        const FileSystemCalls real = realFileSystemCalls();
        calls.open = [this, real](const char* path, int flags, mode_t mode) {
            return made("open", -1) ? -1 : note(real.open(path, flags, mode));
        };
        calls.write = [this, real](int fd, const void* data, std::size_t size) -> ssize_t {
            return made("write", fd) ? -1 : real.write(fd, data, size);
        };
        calls.fsync = [this, real](int fd) { return made("fsync", fd) ? -1 : real.fsync(fd); };
        calls.close = [this, real](int fd) {
            // A failing close still closes, as the kernel's does.
            const int result = real.close(fd);
            return made("close", fd) ? -1 : result;
        };
        calls.link = [this, real](const char* from, const char* to) { return made("link", -1) ? -1 : real.link(from, to); };
        calls.rename = [this, real](const char* from, const char* to) {
            return made("rename", -1) ? -1 : real.rename(from, to);
        };
        calls.fchown = [this, real](int fd, uid_t u, gid_t g) { return made("fchown", fd) ? -1 : real.fchown(fd, u, g); };
        calls.fchmod = [this, real](int fd, mode_t m) { return made("fchmod", fd) ? -1 : real.fchmod(fd, m); };
        calls.ftruncate = [this, real](int fd, off_t n) { return made("ftruncate", fd) ? -1 : real.ftruncate(fd, n); };
        calls.flock = [this, real](int fd, int op) { return made("flock", fd) ? -1 : real.flock(fd, op); };
    }

    FileSystemCalls calls;
    std::vector<std::pair<std::string, int>> log; // call and descriptor (-1: a path)
    int firstOpened = -1;

    /// Where in the log the first call of `name` on `fd` stands; -1 if none.
    int position(const std::string& name, int fd) const
    {
        for (std::size_t i = 0; i < log.size(); ++i)
            if (log[i].first == name && log[i].second == fd)
                return static_cast<int>(i);
        return -1;
    }

private:
    bool made(const std::string& name, int fd)
    {
        log.emplace_back(name, fd);
        if (name != failing_ || ++seen_ != nth_)
            return false;
        errno = error_;
        return true;
    }
    int note(int fd)
    {
        if (firstOpened < 0)
            firstOpened = fd;
        return fd;
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
        EXPECT_FALSE(fs::exists(dir / "new.csv"));
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
