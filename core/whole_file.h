// Files written whole or not at all, and our own small files read with a bound. Every
// file Kestrel writes goes through here: corrected images, the settings file, the
// results file and the downloaded notices.
//
// A file is written into an unnamed temporary file in the destination's folder (a
// short hidden name where the filesystem has no unnamed files), flushed to the disk
// and only then put in place with one rename. Until then the destination is untouched;
// a process that dies on the way leaves no unnamed file behind. On Windows
// (whole_file_windows.cpp) the temporary file is named and marked to be deleted when it
// is closed, until the rename.
#pragma once

#include "core/failure.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif
#if defined(_WIN32)
#include "core/whole_file_windows.h"
#endif

namespace kestrel {

/// "Cannot write FILE: REASON", the text of every failed write.
std::string cannotWrite(const std::filesystem::path& file, const std::string& reason);
/// "Cannot read FILE: REASON".
std::string cannotRead(const std::filesystem::path& file, const std::string& reason);

/// A file that is not replaced because its owner protected it (no write permission for
/// anybody) or because it belongs to another user: an original kept on purpose, not a
/// failure of the disk.
class OriginalKept : public Failure {
public:
    using Failure::Failure;
};

/// The file a path finally names: symbolic links followed (a dangling link names the
/// file it would point to); the path itself when it is no link.
std::filesystem::path linkTarget(const std::filesystem::path& path);

/// A folder opened once, by its path as it is now (links resolved, none followed after),
/// so that what a run checked there and what it writes there later are in the same
/// folder, even when the path is meanwhile renamed or turned into a link elsewhere
/// (an input's folder). On Windows the folder is held open so that it cannot be renamed.
class OpenFolder {
public:
    /// Throws a Failure naming `folder` when it cannot be opened as a folder.
    explicit OpenFolder(const std::filesystem::path& folder);
    ~OpenFolder();
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;

    /// The folder as named at opening (for messages).
    const std::filesystem::path& path() const { return folder_; }
    /// A path to the folder opened that the system takes through the open folder itself
    /// (on Linux its descriptor's entry in /proc, where /proc is there; else the folder's
    /// path). `reached() / name` is a file in it.
    const std::filesystem::path& reached() const { return reached_; }

private:
    std::filesystem::path folder_;
    std::filesystem::path reached_;
    int fd_ = -1;
#if defined(_WIN32)
    void* handle_ = nullptr;
#endif
};

/// One file being written. Nothing is visible at the destination before commit(); a
/// writer destroyed without a successful commit leaves the destination as it was and
/// no temporary file behind. Every failure throws a Failure with cannotWrite's text.
class WholeFileWriter {
public:
    /// Prepares to replace (or create) `destination`. A destination that is a symbolic
    /// link is written through: the file it points to is replaced and the link stays.
    /// An existing file whose permission bits give nobody write access is refused as
    /// write-protected, even to root: such an original is never replaced.
    explicit WholeFileWriter(const std::filesystem::path& destination);
    /// The same for the file of `destination`'s name in `folder`, reached through the
    /// folder as it was opened; `destination` names it in messages.
    WholeFileWriter(const std::filesystem::path& destination, const OpenFolder& folder);
    ~WholeFileWriter();
    WholeFileWriter(const WholeFileWriter&) = delete;
    WholeFileWriter& operator=(const WholeFileWriter&) = delete;

    void write(const void* data, std::size_t size);
    /// Bytes written so far.
    std::size_t size() const { return written_; }
    /// Flushes the file to the disk and puts it in place with the permissions of the
    /// file it replaces (a new file gets the usual 0666 less the umask).
    void commit();

    /// The path named at construction (for messages).
    const std::filesystem::path& destination() const { return destination_; }

private:
    void open(const std::filesystem::path& path);
    [[noreturn]] void fail(int error) const;
    void discard() noexcept;

    std::filesystem::path destination_;   // as the caller named it
    std::filesystem::path target_;        // the file finally written (links followed)
    std::filesystem::path temporaryName_; // empty while the file has no name
    std::vector<unsigned> linkOwners_;    // the owners of the links followed to target_
    int fd_ = -1;
#if defined(_WIN32)
    void* handle_ = nullptr; // the temporary file's handle (whole_file_windows.cpp)
#endif
    std::size_t written_ = 0;
    bool committed_ = false;
};

/// True when `path` (links followed) is an existing file whose permission bits give
/// nobody write access (on Windows: that has the read-only attribute): an original the
/// user protected, never to be replaced.
bool isWriteProtected(const std::filesystem::path& path);

/// Writes `contents` as the whole of `destination` (see WholeFileWriter).
void writeWholeFile(const std::filesystem::path& destination, std::string_view contents);

/// Replaces `file` with what `change` makes of its present bytes (nothing when it does
/// not exist yet), as writeWholeFile does. The file is read and replaced under a lock on
/// a hidden lock file beside it, which every such change takes, so that of two programs
/// changing it at once the second reads what the first wrote and both changes stay. A
/// lock file that is not ours to open (a link, a folder) fails the change; where the
/// filesystem has no locks the change goes on without one and says so on standard
/// error, once per process. Failures throw a Failure with cannotWrite's text.
void changeWholeFile(const std::filesystem::path& file,
                     const std::function<std::string(const std::optional<std::string>& contents)>& change);

/// The bytes of one of our own small files (settings, results, notices); nothing when it
/// does not exist. A file larger than `limit` bytes (no real one comes near), one that
/// is not a regular file, or one that cannot be read throws a Failure with cannotRead's
/// text, so a link to an endless device never exhausts memory or hangs.
std::optional<std::string> readSmallFile(const std::filesystem::path& file, std::size_t limit = 16u << 20);

/// Reads up to `size` bytes from a descriptor, fewer only at the end of the file; an
/// interrupted read is taken up again. A read error throws a Failure with cannotRead's
/// text naming `file`.
std::size_t readUpTo(int fd, void* buffer, std::size_t size, const std::filesystem::path& file);

/// Removes the named temporary files of writers still in progress. For a process that
/// is being stopped by a signal: unnamed temporary files vanish with the process, named
/// ones would stay.
void removeTemporaryFiles() noexcept;

/// Appends `text` to `file` as one whole: afterwards the file holds all of it or, after
/// a failure, is cut back to its length before this append, while the lock is still
/// held (a results file is never removed: another run may have appended to it since it
/// was created). A file that does not exist yet, or is empty, gets `header` first.
/// Concurrent appends to the same file take turns, so that their lines never
/// interleave; where the filesystem has no locks, the append goes on without one and
/// says so on standard error, once per process. A file whose permission bits give
/// nobody write access is refused as write-protected, even to root; so are a folder and
/// anything that is not a regular file. Failures throw a Failure with cannotWrite's text.
void appendWhole(const std::filesystem::path& file, std::string_view text, std::string_view header);

// ---- The system calls of every write -------------------------------------------------

#if !defined(_WIN32) // Windows has its own table of its own calls (core/whole_file_windows.h).
/// Every call through which a file of ours is written, and every call the writer makes
/// to learn about the file it replaces. Tests swap the table to make a call fail, or to
/// watch that a call is made and its result heeded.
struct FileSystemCalls {
    std::function<int(const char* path, int flags, mode_t mode)> open;
    std::function<ssize_t(int fd, const void* data, std::size_t size)> write;
    std::function<int(int fd)> fsync;
    std::function<int(int fd)> close;
    std::function<int(const char* from, const char* to)> link; // the unnamed file's name
    std::function<int(const char* from, const char* to)> rename;
    std::function<int(int fd, uid_t owner, gid_t group)> fchown;
    std::function<int(int fd, mode_t mode)> fchmod;
    std::function<int(int fd, off_t length)> ftruncate;
    std::function<int(int fd, int operation)> flock;
    std::function<int(int fd)> dup; // a second descriptor that holds the same lock
    std::function<int(const char* path, struct stat* status)> stat;
    std::function<int(const char* path, struct stat* status)> lstat;
    std::function<int(int fd, struct stat* status)> fstat;
    std::function<ssize_t(const char* path, char* buffer, std::size_t size)> readlink;
    std::function<ssize_t(int fd, void* buffer, std::size_t size, off_t offset)> pread;
    std::function<int(const char* path)> unlink;
    std::function<int(int fd, off_t offset, off_t size)> syncRange; // only a hint
    std::function<ssize_t(const char* path, char* names, std::size_t size)> listxattr;
    std::function<ssize_t(const char* path, const char* name, void* value, std::size_t size)> getxattr;
    std::function<int(int fd, const char* name, const void* value, std::size_t size)> fsetxattr;
};
#endif

/// The calls of the operating system.
FileSystemCalls realFileSystemCalls();

/// The table in use: the real calls, unless a test has swapped it.
const FileSystemCalls& fileSystemCalls();

/// Puts `calls` in place for its lifetime. Not for concurrent use: tests swap the table
/// while no write is in progress.
class ScopedFileSystemCalls {
public:
    explicit ScopedFileSystemCalls(FileSystemCalls calls);
    ~ScopedFileSystemCalls();
    ScopedFileSystemCalls(const ScopedFileSystemCalls&) = delete;
    ScopedFileSystemCalls& operator=(const ScopedFileSystemCalls&) = delete;

private:
    FileSystemCalls previous_;
};

} // namespace kestrel
