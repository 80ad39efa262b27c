// Files written whole or not at all on Linux: an unnamed temporary file, flushed, named
// and renamed over the target, with the target's owner and mode.
#include "core/whole_file.h"

#include "core/failure.h"
#include "core/whole_file_common.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace kestrel {
namespace {

// Read once, while the program starts and has a single thread: asking for the umask
// means setting it, which other threads must never see half done.
const mode_t processUmask = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}();

std::string ownedByOther(uid_t owner)
{
    return "it belongs to another user (uid " + std::to_string(owner) + "), whose file it would no longer be";
}

bool procfsAvailable()
{
    static const bool available = ::access("/proc/self/fd", X_OK) == 0;
    return available;
}

/// Writes all `size` bytes through the table; an interrupted write is taken up again,
/// any other failure goes to `fail` with its errno (a write of nothing counts as EIO).
template <class Fail> void writeAll(int fd, const void* data, std::size_t size, Fail fail)
{
    const auto* p = static_cast<const char*>(data);
    std::size_t left = size;
    while (left > 0) {
        const ssize_t n = fileSystemCalls().write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(n < 0 ? errno : EIO);
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

} // namespace

std::filesystem::path linkTarget(const std::filesystem::path& path)
{
    std::filesystem::path p = path;
    // The kernel's own limit on links followed in one lookup.
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(p, ec)))
            return p;
        const std::filesystem::path next = std::filesystem::read_symlink(p, ec);
        if (ec)
            return p;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return p;
}

WholeFileWriter::WholeFileWriter(const std::filesystem::path& destination)
    : destination_(destination), target_(linkTarget(destination))
{
    struct stat st {};
    if (::stat(target_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            fail(EISDIR);
        if (!S_ISREG(st.st_mode))
            throw Failure(cannotWrite(destination_, "not a regular file"));
        if (isWriteProtected(target_))
            throw OriginalKept(cannotWrite(destination_, "the file is write-protected"));
        // The replacement keeps the original's owner; only root may give a file away.
        if (st.st_uid != ::geteuid() && ::geteuid() != 0)
            throw OriginalKept(cannotWrite(destination_, ownedByOther(st.st_uid)));
    }
    const FileSystemCalls& calls = fileSystemCalls();
    const std::filesystem::path folder = target_.has_parent_path() ? target_.parent_path() : ".";
    if (procfsAvailable()) {
        fd_ = calls.open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd_ >= 0)
            return;
        // Filesystems without unnamed files say so in one of these ways; any other
        // answer (a folder we may not write) is the answer for a named file too.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            fail(errno);
    }
    for (int attempt = 0; fd_ < 0; ++attempt) {
        const std::filesystem::path name = detail::temporaryNameIn(folder);
        fd_ = calls.open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            temporaryName_ = name;
            detail::rememberTemporary(temporaryName_);
        } else if (errno != EEXIST || attempt > 100) {
            fail(errno);
        }
    }
}

WholeFileWriter::~WholeFileWriter()
{
    if (!committed_)
        discard();
}

void WholeFileWriter::fail(int error) const { throw Failure(cannotWrite(destination_, std::strerror(error))); }

void WholeFileWriter::discard() noexcept
{
    if (fd_ >= 0)
        fileSystemCalls().close(fd_);
    fd_ = -1;
    if (!temporaryName_.empty()) {
        ::unlink(temporaryName_.c_str());
        detail::forgetTemporary(temporaryName_);
        temporaryName_.clear();
    }
}

void WholeFileWriter::write(const void* data, std::size_t size)
{
    if (fd_ < 0)
        fail(EBADF);
    writeAll(fd_, data, size, [this](int error) { fail(error); });
    const std::size_t start = written_;
    written_ += size;
#if defined(SYNC_FILE_RANGE_WRITE)
    // Start putting this part on the disk now, while the rest is prepared, so that the
    // flush in commit() has little left to wait for. Only a hint: the flush is what
    // guarantees the file.
    ::sync_file_range(fd_, static_cast<off_t>(start), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
#else
    (void)start;
#endif
}

void WholeFileWriter::commit()
{
    if (fd_ < 0 || committed_)
        fail(EBADF);
    const FileSystemCalls& calls = fileSystemCalls();
    // A replaced file keeps its owner, group and mode, so that its owner can still read
    // it when root corrected it; the owner is set first, since a change of owner clears
    // the set-user-ID bits the mode may hold.
    struct stat st {};
    const bool replacing = ::stat(target_.c_str(), &st) == 0;
    const mode_t mode = replacing ? (st.st_mode & 07777) : (0666 & ~processUmask);
    if (replacing && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
        if (calls.fchown(fd_, st.st_uid, st.st_gid) != 0) {
            if (errno != EPERM)
                fail(errno);
            throw OriginalKept(cannotWrite(destination_, st.st_uid != ::geteuid()
                                                             ? ownedByOther(st.st_uid)
                                                             : "its group " + std::to_string(st.st_gid) +
                                                                   " cannot be kept; it is not replaced"));
        }
    }
    if (calls.fchmod(fd_, mode) != 0)
        fail(errno);
    // On the disk before it has a name: a crash never leaves a half-written file in
    // place of the original.
    if (calls.fsync(fd_) != 0)
        fail(errno);
    const std::filesystem::path folder = target_.has_parent_path() ? target_.parent_path() : ".";
    if (temporaryName_.empty()) {
        // The unnamed file gets a name only now that it is complete, and only for the
        // moment until the rename.
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        for (int attempt = 0; temporaryName_.empty(); ++attempt) {
            const std::filesystem::path name = detail::temporaryNameIn(folder);
            if (calls.link(self.c_str(), name.c_str()) == 0) {
                temporaryName_ = name;
                detail::rememberTemporary(temporaryName_);
            } else if (errno != EEXIST || attempt > 100) {
                fail(errno);
            }
        }
    }
    // A failed close can mean a lost write (on network filesystems the data may only
    // leave now): the file is not put in place.
    const int fd = std::exchange(fd_, -1);
    if (calls.close(fd) != 0)
        fail(errno);
    if (calls.rename(temporaryName_.c_str(), target_.c_str()) != 0)
        fail(errno);
    detail::forgetTemporary(temporaryName_);
    temporaryName_.clear();
    committed_ = true;
    // The rename itself reaches the disk with the folder; where folders cannot be
    // flushed, the file is whole all the same.
    const int dir = calls.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir >= 0) {
        calls.fsync(dir);
        calls.close(dir);
    }
}

bool isWriteProtected(const std::filesystem::path& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
}

void appendWhole(const std::filesystem::path& file, std::string_view text, std::string_view header)
{
    const FileSystemCalls& calls = fileSystemCalls();
    // Not blocking, so that a named pipe without a reader is refused, not waited for.
    bool created = true;
    int fd = calls.open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = calls.open(file.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0);
    }
    if (fd < 0)
        throw Failure(cannotWrite(file, std::strerror(errno == ENXIO ? EINVAL : errno)));
    int error = 0;
    std::string reason;
    // Another run appending to the same file waits here until this one is done, so that
    // the test for an empty file and the lines after it are one step.
    int locked;
    do
        locked = calls.flock(fd, LOCK_EX);
    while (locked != 0 && errno == EINTR);
    struct stat before {};
    if (::fstat(fd, &before) != 0)
        error = errno;
    else if (!S_ISREG(before.st_mode))
        reason = "not a regular file";
    else if ((before.st_mode & 0222) == 0)
        // The permission bits decide, as for every file Kestrel changes: root may write
        // any file, but one its owner protected is not to be changed.
        reason = "the file is write-protected";
    if (error != 0 || !reason.empty()) {
        calls.close(fd);
        throw Failure(cannotWrite(file, reason.empty() ? std::strerror(error) : reason));
    }

    std::string whole;
    if (before.st_size == 0)
        whole += header;
    char last = '\n';
    // A last line without its line end (a file edited by hand) is ended first.
    if (before.st_size > 0 && ::pread(fd, &last, 1, before.st_size - 1) == 1 && last != '\n')
        whole += "\r\n";
    whole += text;
    writeAll(fd, whole.data(), whole.size(), [&](int e) { error = e; });
    if (error == 0 && calls.fsync(fd) != 0)
        error = errno;
    // Taken back while the lock is held: nobody appends after the lines being removed.
    if (error != 0 && !created && calls.ftruncate(fd, before.st_size) != 0) {
        calls.close(fd);
        throw Failure(cannotWrite(file, std::string(std::strerror(error)) +
                                            "; the lines written could not be taken back"));
    }
    if (calls.close(fd) != 0 && error == 0) {
        error = errno;
        if (!created && ::truncate(file.c_str(), before.st_size) != 0)
            throw Failure(cannotWrite(file, std::string(std::strerror(error)) +
                                                "; the lines written could not be taken back"));
    }
    if (error == 0)
        return;
    if (created)
        ::unlink(file.c_str());
    throw Failure(cannotWrite(file, std::strerror(error)));
}

FileSystemCalls realFileSystemCalls()
{
    FileSystemCalls calls;
    calls.open = [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); };
    calls.write = [](int fd, const void* data, std::size_t size) { return ::write(fd, data, size); };
    calls.fsync = [](int fd) { return ::fsync(fd); };
    calls.close = [](int fd) { return ::close(fd); };
    calls.link = [](const char* from, const char* to) {
        return ::linkat(AT_FDCWD, from, AT_FDCWD, to, AT_SYMLINK_FOLLOW);
    };
    calls.rename = [](const char* from, const char* to) { return ::rename(from, to); };
    calls.fchown = [](int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); };
    calls.fchmod = [](int fd, mode_t mode) { return ::fchmod(fd, mode); };
    calls.ftruncate = [](int fd, off_t length) { return ::ftruncate(fd, length); };
    calls.flock = [](int fd, int operation) { return ::flock(fd, operation); };
    return calls;
}

} // namespace kestrel
