// The Windows side of whole-file writes: the rules of the Linux writer for originals
// (whole or not at all, write-protected files refused, links written through, the same
// messages) with the system's own calls, and a killed process leaves no file behind.
#include "core/whole_file.h"

#include "core/failure.h"
#include "core/platform.h"
#include "tests/support/concurrent_appends.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <windows.h>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

class WholeFileWindows : public ::testing::Test {
protected:
    testing::TempDir dir;

    std::vector<std::string> contents() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static void setReadOnly(const fs::path& file, bool readOnly)
    {
        const DWORD attributes = GetFileAttributesW(file.c_str());
        SetFileAttributesW(file.c_str(), readOnly ? attributes | FILE_ATTRIBUTE_READONLY
                                                  : attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    }
    static std::string failureOf(const fs::path& destination, std::string_view bytes)
    {
        try {
            writeWholeFile(destination, bytes);
        } catch (const Failure& f) {
            return f.message();
        }
        return "no failure";
    }
};

// Bytes a text mode would change: CR LF, a lone CR, Ctrl-Z.
const std::string awkwardBytes = std::string("SIMPLE\r\n\r\x1A\n\0end", 15);

TEST_F(WholeFileWindows, WritesTheBytesUnderAnyNameAndLeavesNothingBeside)
{
    const std::string names[] = {"new.fits", "M31 \xC3\xA9t\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x94\xAD.fits",
                                 std::string(240, 'n') + ".fits"};
    for (const std::string& name : names) {
        const fs::path file = dir.path() / pathFromUtf8(name);
        writeWholeFile(file, awkwardBytes);
        EXPECT_EQ(readFile(file), awkwardBytes) << name;
        writeWholeFile(file, "replaced");
        EXPECT_EQ(readFile(file), "replaced") << name;
        EXPECT_EQ(contents(), std::vector<std::string>{file.filename().string()});
        fs::remove(file);
    }
}

TEST_F(WholeFileWindows, AReadOnlyOriginalIsNeverReplaced)
{
    const fs::path kept = dir / "kept.fits";
    writeFile(kept, "original");
    setReadOnly(kept, true);
    EXPECT_TRUE(isWriteProtected(kept));
    EXPECT_EQ(failureOf(kept, "new"), "Cannot write " + kept.string() + ": the file is write-protected");

    // Made read-only while the new contents were written: Windows would refuse the
    // rename, Wine would not; the writer looks again.
    setReadOnly(kept, false);
    {
        WholeFileWriter writer(kept);
        writer.write("new", 3);
        setReadOnly(kept, true);
        try {
            writer.commit();
            ADD_FAILURE() << "no failure";
        } catch (const Failure& f) {
            EXPECT_EQ(f.message(), "Cannot write " + kept.string() + ": the file is write-protected");
        }
    }
    EXPECT_EQ(readFile(kept), "original");
    EXPECT_EQ(contents(), std::vector<std::string>{"kept.fits"});
    setReadOnly(kept, false);
    EXPECT_FALSE(isWriteProtected(kept));
    EXPECT_FALSE(isWriteProtected(dir / "missing.fits"));
    EXPECT_FALSE(isWriteProtected(dir.path()));
}

TEST_F(WholeFileWindows, WhatIsNoFileIsRefusedWithTheReason)
{
    fs::create_directory(dir / "taken.fits");
    writeFile(dir / "plain", "");
    const std::pair<fs::path, std::string> cases[] = {
        {dir / "taken.fits", std::strerror(EISDIR)},
        {dir / "missing" / "out.fits", std::strerror(ENOENT)},
        {dir / "plain" / "out.fits", std::strerror(ENOTDIR)},
        {"NUL", "not a regular file"},
    };
    for (const auto& [destination, reason] : cases)
        EXPECT_EQ(failureOf(destination, "x"), "Cannot write " + destination.string() + ": " + reason);
    EXPECT_EQ(contents(), (std::vector<std::string>{"plain", "taken.fits"}));
    EXPECT_TRUE(fs::is_empty(dir / "taken.fits"));
}

/// The real calls, with a log of those made and one of them, counted from 1, made to
/// fail with the system's `error`.
class Watched {
public:
    explicit Watched(std::string failing = "", DWORD error = 0, int nth = 1)
        : failing_(std::move(failing)), error_(error), nth_(nth)
    {
        const FileSystemCalls real = realFileSystemCalls();
        calls.createFile = [this, real](const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
            return made("createFile") ? INVALID_HANDLE_VALUE : real.createFile(path, access, share, disposition, flags);
        };
        calls.writeFile = [this, real](HANDLE h, const void* data, DWORD size, DWORD* put) {
            return !made("writeFile") && real.writeFile(h, data, size, put);
        };
        calls.flushFileBuffers = [this, real](HANDLE h) { return !made("flushFileBuffers") && real.flushFileBuffers(h); };
        calls.setFileInformationByHandle = [this, real](HANDLE h, int infoClass, void* info, DWORD size) {
            return !made("setFileInformationByHandle") && real.setFileInformationByHandle(h, infoClass, info, size);
        };
        calls.lockFile = [this, real](HANDLE h) { return !made("lockFile") && real.lockFile(h); };
        calls.closeHandle = [this, real](HANDLE h) {
            // A failing close still closes, as the system's does.
            const bool closed = real.closeHandle(h);
            return !made("closeHandle") && closed;
        };
        calls.moveFileEx = [this, real](const wchar_t* from, const wchar_t* to, DWORD flags) {
            return !made("moveFileEx") && real.moveFileEx(from, to, flags);
        };
    }

    FileSystemCalls calls;
    std::vector<std::string> log;

    /// Where in the log the first call of `name` stands; -1 if none.
    int position(const std::string& name) const
    {
        const auto at = std::find(log.begin(), log.end(), name);
        return at == log.end() ? -1 : static_cast<int>(at - log.begin());
    }

private:
    bool made(const std::string& name)
    {
        log.push_back(name);
        if (name != failing_ || ++seen_ != nth_)
            return false;
        SetLastError(error_);
        return true;
    }

    std::string failing_;
    DWORD error_;
    int nth_;
    int seen_ = 0;
};

// The file is flushed before it takes the original's name, and every call that can
// fail fails the write with its reason and leaves the original byte for byte, with
// nothing beside it. (The first mark of the file, to be deleted, may fail: the file is
// deleted all the same.)
TEST_F(WholeFileWindows, AnyFailingCallLeavesTheOriginalWhole)
{
    const fs::path original = dir / "in.fits";
    writeFile(original, awkwardBytes);
    Watched watched;
    {
        ScopedFileSystemCalls scoped(watched.calls);
        writeWholeFile(original, "new");
    }
    EXPECT_EQ(readFile(original), "new");
    ASSERT_GE(watched.position("flushFileBuffers"), 0);
    EXPECT_LT(watched.position("flushFileBuffers"), watched.position("closeHandle"));
    EXPECT_LT(watched.position("closeHandle"), watched.position("moveFileEx"));

    struct Case {
        const char* call;
        DWORD error;
        int nth;
        const char* reason;
    };
    for (const Case& c : {Case{"createFile", ERROR_ACCESS_DENIED, 1, "Permission denied"},
                          Case{"writeFile", ERROR_DISK_FULL, 1, "No space left on device"},
                          Case{"flushFileBuffers", ERROR_HANDLE_DISK_FULL, 1, "No space left on device"},
                          Case{"setFileInformationByHandle", ERROR_ACCESS_DENIED, 2, "Permission denied"},
                          Case{"closeHandle", ERROR_DISK_FULL, 1, "No space left on device"},
                          Case{"moveFileEx", ERROR_ACCESS_DENIED, 1, "Permission denied"}}) {
        SCOPED_TRACE(c.call);
        writeFile(original, awkwardBytes);
        Watched failing(c.call, c.error, c.nth);
        {
            ScopedFileSystemCalls scoped(failing.calls);
            EXPECT_EQ(failureOf(original, std::string(100000, 'x')),
                      "Cannot write " + original.string() + ": " + c.reason);
        }
        EXPECT_EQ(readFile(original), awkwardBytes);
        EXPECT_EQ(contents(), std::vector<std::string>{"in.fits"});
    }
}

// The results file grows by whole exports: a failing call takes the export back, and a
// file the export created stays, without a line, for others may append to it. Flushed before it is closed, like every file of
// ours; a last line without its end is ended first.
TEST_F(WholeFileWindows, AppendsWholeOrTakesTheLinesBack)
{
    const std::string header = "H\r\n", before = "H\r\nold";
    for (const auto& [call, error] : std::vector<std::pair<std::string, DWORD>>{{"createFile", ERROR_ACCESS_DENIED},
                                                                                {"lockFile", ERROR_ACCESS_DENIED},
                                                                                {"writeFile", ERROR_DISK_FULL},
                                                                                {"flushFileBuffers", ERROR_DISK_FULL},
                                                                                {"closeHandle", ERROR_DISK_FULL}}) {
        SCOPED_TRACE(call);
        writeFile(dir / "r.csv", before);
        for (const fs::path& file : {dir / "r.csv", dir / "new.csv"}) {
            Watched watched(call, error);
            ScopedFileSystemCalls scoped(watched.calls);
            EXPECT_THROW(appendWhole(file, "line\r\n", header), Failure);
        }
        EXPECT_EQ(readFile(dir / "r.csv"), before);
        EXPECT_EQ(fs::exists(dir / "new.csv") ? readFile(dir / "new.csv") : "", "");
        fs::remove(dir / "new.csv");
    }

    Watched watched;
    {
        ScopedFileSystemCalls scoped(watched.calls);
        appendWhole(dir / "r.csv", "line\r\n", header);
        appendWhole(dir / "new.csv", "line\r\n", header);
    }
    EXPECT_EQ(readFile(dir / "r.csv"), "H\r\nold\r\nline\r\n");
    EXPECT_EQ(readFile(dir / "new.csv"), "H\r\nline\r\n");
    ASSERT_GE(watched.position("flushFileBuffers"), 0);
    EXPECT_LT(watched.position("flushFileBuffers"), watched.position("closeHandle"));

    setReadOnly(dir / "r.csv", true);
    try {
        appendWhole(dir / "r.csv", "more\r\n", header);
        ADD_FAILURE() << "no failure";
    } catch (const Failure& f) {
        EXPECT_EQ(f.message(), "Cannot write " + (dir / "r.csv").string() + ": the file is write-protected");
    }
    setReadOnly(dir / "r.csv", false);
    EXPECT_EQ(readFile(dir / "r.csv"), "H\r\nold\r\nline\r\n");
}

// Runs appending to one results file at once take turns: every line arrives whole, the
// header once.
TEST_F(WholeFileWindows, ConcurrentAppendsNeitherLoseNorInterleave)
{
    testing::expectWholeConcurrentAppends(dir / "r.csv");
}

// Windows replaces no file that a program holds open, not even one that lets others
// delete it (as kestrel-cli reads its inputs, which it closes before the rename): the
// write fails and the original stays as it was.
TEST_F(WholeFileWindows, AnOriginalHeldOpenIsLeftWhole)
{
    const fs::path original = dir / "in.fits";
    writeFile(original, awkwardBytes);
    for (const DWORD sharing : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        const HANDLE viewer =
            CreateFileW(original.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
        EXPECT_EQ(failureOf(original, "new"), "Cannot write " + original.string() + ": " + std::strerror(EACCES));
        CloseHandle(viewer);
        EXPECT_EQ(readFile(original), awkwardBytes);
        EXPECT_EQ(contents(), std::vector<std::string>{"in.fits"});
    }
}

TEST_F(WholeFileWindows, AReplacedFileKeepsItsMarks)
{
    const fs::path file = dir / "hidden.fits";
    writeFile(file, "old");
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_HIDDEN);
    writeWholeFile(file, "new");
    EXPECT_EQ(readFile(file), "new");
    EXPECT_TRUE(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    writeWholeFile(dir / "plain.fits", "new");
    EXPECT_FALSE(GetFileAttributesW((dir / "plain.fits").c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

/// Makes `link` a symbolic link to `target`, relative to the link's folder: by the
/// system where it makes links (developer mode or an administrator), else under Wine,
/// which follows the links of the machine beneath it but makes none, by that machine's
/// own ln. False where neither can.
bool makeLink(const fs::path& link, const std::string& target)
{
    fs::path windowsTarget = target;
    windowsTarget.make_preferred();
    if (CreateSymbolicLinkW(link.c_str(), windowsTarget.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version"))
        return false;
    std::wstring command = L"/bin/ln -s " + fs::path(target).wstring() + L" " + link.filename().wstring();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\ln", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        link.parent_path().c_str(), &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // Wine cannot wait for a program of the machine beneath it: the link is looked for
    // until it is there.
    for (int wait = 0; wait < 500; ++wait) {
        if (GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(10);
    }
    return false;
}

TEST_F(WholeFileWindows, ALinkIsWrittenThroughAndStays)
{
    const fs::path target = dir / "night.fits";
    writeFile(target, "original");
    fs::create_directory(dir / "links");
    const fs::path link = dir / "links" / "alias.fits";
    if (!makeLink(link, "../night.fits"))
        GTEST_SKIP() << "no symbolic links can be made here";
    EXPECT_EQ(linkTarget(link), target);
    writeWholeFile(link, "through");
    EXPECT_EQ(readFile(target), "through");
    EXPECT_EQ(linkTarget(link), target);
    EXPECT_EQ(contents(), (std::vector<std::string>{"links", "night.fits"}));

    // A write-protected file is refused through its link too.
    setReadOnly(target, true);
    EXPECT_EQ(failureOf(link, "again"), "Cannot write " + link.string() + ": the file is write-protected");
    EXPECT_EQ(readFile(target), "through");
    setReadOnly(target, false);
}

// A process killed while it writes (a closed console, the task manager) leaves no
// temporary file: the file is marked to be deleted until its rename.
TEST_F(WholeFileWindows, AKilledWriterLeavesNothing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child process runs this test again from the start, in a folder of its own: the
    // folder is named here, for both.
    const fs::path folder = fs::temp_directory_path() / "kestrel-killed-writer";
    fs::remove_all(folder);
    fs::create_directory(folder);
    writeFile(folder / "in.fits", "original");
    EXPECT_EXIT(
        {
            WholeFileWriter writer(folder / "in.fits");
            writer.write("partial", 7);
            TerminateProcess(GetCurrentProcess(), 3);
        },
        ::testing::ExitedWithCode(3), "");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"in.fits"});
    EXPECT_EQ(readFile(folder / "in.fits"), "original");
    fs::remove_all(folder);
}

} // namespace
} // namespace kestrel
