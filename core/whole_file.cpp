// Files written whole or not at all on Linux: an unnamed temporary file, flushed, named
// and renamed over the target, with the target's owner and mode.
#include "core/whole_file.h"

#include "core/failure.h"
#include "core/whole_file_common.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

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

/// A call made again for as long as a signal interrupts it.
template <class Call> auto retried(Call call)
{
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR)
            return result;
    }
}

/// Closes `fd`; an interrupted close counts as done, since on Linux the descriptor is
/// closed all the same and closing it again could close another thread's file.
int closeFd(int fd)
{
    if (fileSystemCalls().close(fd) == 0 || errno == EINTR)
        return 0;
    return -1;
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

/// The file a path names with its links followed, the owner of each link on the way,
/// and the errno of a step that could not be taken (0 when none).
struct Followed {
    std::filesystem::path target;
    std::vector<unsigned> linkOwners;
    int error = 0;
};

Followed follow(const std::filesystem::path& path)
{
    const FileSystemCalls& calls = fileSystemCalls();
    Followed f{path, {}, 0};
    // The kernel's own limit on links followed in one lookup.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (retried([&] { return calls.lstat(f.target.c_str(), &st); }) != 0) {
            // Nothing there yet (or no folder): the file is new, and its creation says more.
            if (errno != ENOENT && errno != ENOTDIR)
                f.error = errno;
            return f;
        }
        if (!S_ISLNK(st.st_mode))
            return f;
        f.linkOwners.push_back(st.st_uid);
        char buffer[PATH_MAX];
        const ssize_t n = retried([&] { return calls.readlink(f.target.c_str(), buffer, sizeof buffer); });
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer) {
            f.error = n < 0 ? errno : ENAMETOOLONG;
            return f;
        }
        const std::filesystem::path next(std::string(buffer, static_cast<std::size_t>(n)));
        f.target = next.is_absolute() ? next : f.target.parent_path() / next;
    }
    f.error = ELOOP;
    return f;
}

/// The status of the file about to be replaced, or nothing when there is none. Throws
/// when the file may not be replaced, and when its status cannot be learnt: nothing is
/// decided on missing information, so an unreadable mode never lets a protected
/// original be replaced or another user's file change hands.
std::optional<struct stat> examineOriginal(const std::filesystem::path& destination, const std::filesystem::path& target,
                                           const std::vector<unsigned>& linkOwners)
{
    struct stat st {};
    if (retried([&] { return fileSystemCalls().stat(target.c_str(), &st); }) != 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw Failure(cannotWrite(destination, std::strerror(errno)));
    }
    if (S_ISDIR(st.st_mode))
        throw Failure(cannotWrite(destination, std::strerror(EISDIR)));
    if (!S_ISREG(st.st_mode))
        throw Failure(cannotWrite(destination, "not a regular file"));
    if ((st.st_mode & 0222) == 0)
        throw OriginalKept(cannotWrite(destination, "the file is write-protected"));
    // The replacement keeps the original's owner; only root may give a file away.
    if (st.st_uid != ::geteuid() && ::geteuid() != 0)
        throw OriginalKept(cannotWrite(destination, ownedByOther(st.st_uid)));
    // The kernel's rule for links in shared folders, for every folder: a link planted by
    // one user never leads root to write another user's file.
    for (const unsigned owner : linkOwners)
        if (owner != st.st_uid && st.st_uid != ::geteuid())
            throw OriginalKept(cannotWrite(destination, "it is a link to a file of another user (uid " +
                                                            std::to_string(st.st_uid) + "); not followed"));
    return st;
}

/// Gives the file open as `fd` every extended attribute of `original` (POSIX ACLs among
/// them), so that whoever could read the original can read its replacement. An
/// attribute that cannot be kept fails the write.
void copyAttributes(const std::filesystem::path& original, int fd, const std::filesystem::path& destination)
{
    const FileSystemCalls& calls = fileSystemCalls();
    const auto fail = [&](const std::string& what, int error) {
        throw Failure(cannotWrite(destination, what + std::strerror(error)));
    };
    std::vector<char> names;
    for (;;) {
        const ssize_t size = retried([&] { return calls.listxattr(original.c_str(), nullptr, 0); });
        if (size < 0 && (errno == ENOTSUP || errno == ENOSYS))
            return; // a filesystem without attributes: there are none to keep
        if (size < 0)
            fail("its extended attributes cannot be read: ", errno);
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = retried([&] { return calls.listxattr(original.c_str(), names.data(), names.size()); });
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE) // ERANGE: the list grew meanwhile
            fail("its extended attributes cannot be read: ", errno);
    }
    for (std::size_t at = 0; at < names.size();) {
        const std::string name(names.data() + at);
        at += name.size() + 1;
        std::vector<char> value;
        ssize_t got;
        do {
            const ssize_t size = retried([&] { return calls.getxattr(original.c_str(), name.c_str(), nullptr, 0); });
            if (size < 0)
                fail("its extended attribute " + name + " cannot be read: ", errno);
            value.resize(static_cast<std::size_t>(size));
            got = retried([&] { return calls.getxattr(original.c_str(), name.c_str(), value.data(), value.size()); });
            if (got < 0 && errno != ERANGE)
                fail("its extended attribute " + name + " cannot be read: ", errno);
        } while (got < 0);
        if (retried([&] { return calls.fsetxattr(fd, name.c_str(), value.data(), static_cast<std::size_t>(got)); }) != 0)
            fail("its extended attribute " + name + " cannot be kept: ", errno);
    }
}

/// This machine's name, as the system gives it; "host" where it gives none.
std::string machineName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "host";
    return name;
}

/// Removes, once per folder and process, the named temporary files that runs killed on
/// the way left in `folder` (on a filesystem without unnamed files nothing else ever
/// would): those made on this machine by a process that is no longer there. Those of
/// another machine (a shared folder) and of a process that runs stay.
void removeStaleTemporaries(const std::filesystem::path& folder)
{
    // Known by name and identity: a name can come to mean another folder (a descriptor
    // of /proc/self/fd), a removed folder's identity another one's. Only a look, made
    // past the table: a write never fails for want of this tidying.
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return;
    static std::mutex mutex;
    static std::set<std::tuple<std::string, dev_t, ino_t>> seen;
    {
        std::lock_guard lock(mutex);
        if (!seen.emplace(folder.string(), st.st_dev, st.st_ino).second)
            return;
    }
    const FileSystemCalls& calls = fileSystemCalls();
    const std::string machine = ".kestrel-" + machineName() + "-";
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // .kestrel-HOST-PID-xxxxxxxx
        if (name.size() < machine.size() + 10 || name.rfind(machine, 0) != 0 || name[name.size() - 9] != '-')
            continue;
        const std::string digits = name.substr(machine.size(), name.size() - 9 - machine.size());
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(digits));
        // Only a process that is not there: one we may not signal (EPERM) is there.
        if (pid <= 0 || ::kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        retried([&] { return calls.unlink(it->path().c_str()); });
    }
}

} // namespace

namespace detail {

std::string temporaryPrefix() { return ".kestrel-" + machineName() + "-" + std::to_string(::getpid()) + "-"; }

} // namespace detail

std::filesystem::path linkTarget(const std::filesystem::path& path) { return follow(path).target; }

OpenFolder::OpenFolder(const std::filesystem::path& folder) : folder_(folder), reached_(folder)
{
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(folder, ec);
    if (ec)
        throw Failure(cannotWrite(folder, ec.message()));
    // The path resolved a moment ago: a last step that has become a link since is
    // refused rather than followed. Only a place to find files by (O_PATH), so that a
    // folder we may write but not list is opened too.
    fd_ = retried([&] {
        return fileSystemCalls().open(resolved.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    });
    if (fd_ < 0)
        throw Failure(cannotWrite(folder, std::strerror(errno == ELOOP ? ENOTDIR : errno)));
    if (procfsAvailable())
        reached_ = "/proc/self/fd/" + std::to_string(fd_);
}

OpenFolder::~OpenFolder()
{
    if (fd_ >= 0)
        closeFd(fd_);
}

WholeFileWriter::WholeFileWriter(const std::filesystem::path& destination) : destination_(destination)
{
    open(destination);
}

WholeFileWriter::WholeFileWriter(const std::filesystem::path& destination, const OpenFolder& folder)
    : destination_(destination)
{
    open(folder.reached() / destination.filename());
}

void WholeFileWriter::open(const std::filesystem::path& path)
{
    const Followed followed = follow(path);
    if (followed.error != 0)
        fail(followed.error);
    target_ = followed.target;
    linkOwners_ = followed.linkOwners;
    examineOriginal(destination_, target_, linkOwners_);
    const FileSystemCalls& calls = fileSystemCalls();
    const std::filesystem::path folder = target_.has_parent_path() ? target_.parent_path() : ".";
    if (procfsAvailable()) {
        fd_ = retried([&] { return calls.open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666); });
        if (fd_ >= 0)
            return;
        // Filesystems without unnamed files say so in one of these ways; any other
        // answer (a folder we may not write) is the answer for a named file too.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            fail(errno);
    }
    removeStaleTemporaries(folder);
    for (int attempt = 0; fd_ < 0; ++attempt) {
        const std::filesystem::path name = detail::temporaryNameIn(folder);
        fd_ = retried([&] { return calls.open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
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
        closeFd(fd_);
    fd_ = -1;
    if (!temporaryName_.empty()) {
        retried([&] { return fileSystemCalls().unlink(temporaryName_.c_str()); });
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
    // Start putting this part on the disk now, while the rest is prepared, so that the
    // flush in commit() has little left to wait for. Only a hint: the flush is what
    // guarantees the file.
    fileSystemCalls().syncRange(fd_, static_cast<off_t>(start), static_cast<off_t>(size));
}

void WholeFileWriter::commit()
{
    if (fd_ < 0 || committed_)
        fail(EBADF);
    const FileSystemCalls& calls = fileSystemCalls();
    // Examined again: the original may have changed since the writer was opened.
    const std::optional<struct stat> original = examineOriginal(destination_, target_, linkOwners_);
    // A replaced file keeps its owner, group and mode, so that its owner can still read
    // it when root corrected it; the owner is set first, since a change of owner clears
    // the set-user-ID bits the mode may hold.
    const mode_t mode = original ? (original->st_mode & 07777) : (0666 & ~processUmask);
    if (original && (original->st_uid != ::geteuid() || original->st_gid != ::getegid())) {
        if (retried([&] { return calls.fchown(fd_, original->st_uid, original->st_gid); }) != 0) {
            if (errno != EPERM)
                fail(errno);
            throw OriginalKept(cannotWrite(destination_, original->st_uid != ::geteuid()
                                                             ? ownedByOther(original->st_uid)
                                                             : "its group " + std::to_string(original->st_gid) +
                                                                   " cannot be kept; it is not replaced"));
        }
    }
    if (retried([&] { return calls.fchmod(fd_, mode); }) != 0)
        fail(errno);
    if (original)
        copyAttributes(target_, fd_, destination_);
    // On the disk before it has a name: a crash never leaves a half-written file in
    // place of the original.
    if (retried([&] { return calls.fsync(fd_); }) != 0)
        fail(errno);
    const std::filesystem::path folder = target_.has_parent_path() ? target_.parent_path() : ".";
    if (temporaryName_.empty()) {
        // The unnamed file gets a name only now that it is complete, and only for the
        // moment until the rename.
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        for (int attempt = 0; temporaryName_.empty(); ++attempt) {
            const std::filesystem::path name = detail::temporaryNameIn(folder);
            if (retried([&] { return calls.link(self.c_str(), name.c_str()); }) == 0) {
                temporaryName_ = name;
                detail::rememberTemporary(temporaryName_);
            } else if (errno != EEXIST || attempt > 100) {
                fail(errno);
            }
        }
    }
    // A failed close can mean a lost write (on network filesystems the data may only
    // leave now): the file is not put in place.
    if (closeFd(std::exchange(fd_, -1)) != 0)
        fail(errno);
    if (retried([&] { return calls.rename(temporaryName_.c_str(), target_.c_str()); }) != 0)
        fail(errno);
    detail::forgetTemporary(temporaryName_);
    temporaryName_.clear();
    committed_ = true;
    // The rename itself reaches the disk with the folder; where folders cannot be
    // flushed, the file is whole all the same.
    const int dir = retried([&] { return calls.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0); });
    if (dir >= 0) {
        retried([&] { return calls.fsync(dir); });
        closeFd(dir);
    }
}

bool isWriteProtected(const std::filesystem::path& path)
{
    struct stat st {};
    return retried([&] { return fileSystemCalls().stat(path.c_str(), &st); }) == 0 && S_ISREG(st.st_mode) &&
           (st.st_mode & 0222) == 0;
}

void appendWhole(const std::filesystem::path& file, std::string_view text, std::string_view header)
{
    const FileSystemCalls& calls = fileSystemCalls();
    const Followed followed = follow(file);
    if (followed.error != 0)
        throw Failure(cannotWrite(file, std::strerror(followed.error)));
    // Not blocking, so that a named pipe without a reader is refused, not waited for; open
    // for reading too, since the last byte of lines appended meanwhile is looked at.
    int fd = retried([&] {
        return calls.open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0666);
    });
    if (fd < 0 && errno == EEXIST)
        fd = retried([&] { return calls.open(file.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0); });
    if (fd < 0)
        throw Failure(cannotWrite(file, std::strerror(errno == ENXIO ? EINVAL : errno)));
    // A second descriptor of the same open file holds the lock after the first is
    // closed, so that lines a failed close lost can still be taken back in turn.
    const int keep = retried([&] { return calls.dup(fd); });
    if (keep < 0) {
        const int error = errno;
        closeFd(fd);
        throw Failure(cannotWrite(file, std::strerror(error)));
    }
    const auto closeBoth = [&] {
        closeFd(fd);
        closeFd(keep);
    };
    // Another run appending to the same file waits here until this one is done, so that
    // the test for an empty file and the lines after it are one step.
    if (retried([&] { return calls.flock(fd, LOCK_EX); }) != 0) {
        // A filesystem without locks: the lines are appended all the same, as one write,
        // and the user learns that concurrent runs could mix them.
        static std::once_flag said;
        const std::string why = std::strerror(errno);
        std::call_once(said, [&] { std::cerr << "kestrel: " << file.string() << " appended without a lock: " << why << "\n"; });
    }
    int error = 0;
    std::string reason;
    struct stat before {};
    if (retried([&] { return calls.fstat(fd, &before); }) != 0)
        error = errno;
    else if (!S_ISREG(before.st_mode))
        reason = "not a regular file";
    else if ((before.st_mode & 0222) == 0)
        // The permission bits decide, as for every file Kestrel changes: root may write
        // any file, but one its owner protected is not to be changed.
        reason = "the file is write-protected";
    else
        for (const unsigned owner : followed.linkOwners)
            if (owner != before.st_uid && before.st_uid != ::geteuid())
                reason = "it is a link to a file of another user (uid " + std::to_string(before.st_uid) + "); not followed";
    std::string whole;
    if (error == 0 && reason.empty() && before.st_size > 0) {
        // A last line without its line end (a file edited by hand) is ended first.
        char last = '\n';
        const ssize_t got = retried([&] { return calls.pread(fd, &last, 1, before.st_size - 1); });
        if (got != 1)
            error = got < 0 ? errno : EIO;
        else if (last != '\n')
            whole += "\r\n";
    }
    if (error != 0 || !reason.empty()) {
        closeBoth();
        throw Failure(cannotWrite(file, reason.empty() ? std::strerror(error) : reason));
    }

    if (before.st_size == 0)
        whole = std::string(header) + whole;
    whole += text;
    writeAll(fd, whole.data(), whole.size(), [&](int e) { error = e; });
    if (error == 0 && retried([&] { return calls.fsync(fd); }) != 0)
        error = errno;
    bool closed = false;
    if (error == 0) {
        closed = true;
        if (closeFd(fd) != 0)
            error = errno;
    }
    if (error == 0) {
        // The lines are on the disk and the file closed: releasing the lock cannot lose them.
        closeFd(keep);
        return;
    }
    // Taken back to the length before our lines while the lock is held: nobody has
    // appended after them, and lines of others before them stay. A file this call created
    // stays too (empty), since another run may already have been told it appends there.
    const bool takenBack = retried([&] { return calls.ftruncate(keep, before.st_size); }) == 0;
    if (!closed)
        closeFd(fd);
    closeFd(keep);
    throw Failure(cannotWrite(file, std::string(std::strerror(error)) +
                                        (takenBack ? "" : "; the lines written could not be taken back")));
}

void changeWholeFile(const std::filesystem::path& file,
                     const std::function<std::string(const std::optional<std::string>& contents)>& change)
{
    const FileSystemCalls& calls = fileSystemCalls();
    const std::filesystem::path lockFile = detail::lockFileFor(file);
    // Never through a link: a lock file planted as a link to another file would have us
    // create or open that file.
    const int fd = retried(
        [&] { return calls.open(lockFile.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666); });
    if (fd < 0 && errno == ELOOP)
        throw Failure(cannotWrite(file, "its lock file " + lockFile.string() + " is a symbolic link; not followed"));
    if (fd < 0)
        throw Failure(cannotWrite(file, std::strerror(errno == ENXIO ? EINVAL : errno)));
    struct Closer {
        int fd;
        ~Closer() { closeFd(fd); }
    } closer{fd};
    // Another program changing the file waits here until this one has replaced it, and
    // then reads the file as this one left it.
    if (retried([&] { return calls.flock(fd, LOCK_EX); }) != 0) {
        static std::once_flag said;
        const std::string why = std::strerror(errno);
        std::call_once(said, [&] { std::cerr << "kestrel: " << file.string() << " changed without a lock: " << why << "\n"; });
    }
    writeWholeFile(file, change(readSmallFile(file)));
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
    calls.dup = [](int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); };
    calls.stat = [](const char* path, struct stat* status) { return ::stat(path, status); };
    calls.lstat = [](const char* path, struct stat* status) { return ::lstat(path, status); };
    calls.fstat = [](int fd, struct stat* status) { return ::fstat(fd, status); };
    calls.readlink = [](const char* path, char* buffer, std::size_t size) { return ::readlink(path, buffer, size); };
    calls.pread = [](int fd, void* buffer, std::size_t size, off_t offset) { return ::pread(fd, buffer, size, offset); };
    calls.unlink = [](const char* path) { return ::unlink(path); };
    calls.syncRange = [](int fd, off_t offset, off_t size) {
#if defined(SYNC_FILE_RANGE_WRITE)
        return ::sync_file_range(fd, offset, size, SYNC_FILE_RANGE_WRITE);
#else
        (void)fd, (void)offset, (void)size;
        return 0;
#endif
    };
    calls.listxattr = [](const char* path, char* names, std::size_t size) { return ::listxattr(path, names, size); };
    calls.getxattr = [](const char* path, const char* name, void* value, std::size_t size) {
        return ::getxattr(path, name, value, size);
    };
    calls.fsetxattr = [](int fd, const char* name, const void* value, std::size_t size) {
        return ::fsetxattr(fd, name, value, size, 0);
    };
    return calls;
}

} // namespace kestrel
