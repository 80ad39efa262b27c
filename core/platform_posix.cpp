#include "core/platform.h"

#include "core/failure.h"
#include "core/whole_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {
namespace {

/// The open descriptor when it is a regular file; otherwise it is closed and the reason
/// thrown with `message`'s text.
int regularOnly(int fd, const std::filesystem::path& file, std::string (*message)(const std::filesystem::path&, const std::string&))
{
    struct stat st {};
    const int error = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (error != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Failure(message(file, error ? std::strerror(error) : "not a regular file"), error);
    }
    // Blocking again: the descriptor was opened without waiting only so that a pipe
    // without a writer is refused instead of waited on.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

} // namespace

int openForReading(const std::filesystem::path& file, IfMissing missing)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (missing == IfMissing::giveNothing && (errno == ENOENT || errno == ENOTDIR))
            return -1;
        const int error = errno;
        throw Failure(cannotRead(file, std::strerror(error)), error);
    }
    return regularOnly(fd, file, cannotRead);
}

std::uint64_t bytesAfterPosition(int fd)
{
    struct stat st {};
    const off_t pos = ::lseek(fd, 0, SEEK_CUR);
    if (::fstat(fd, &st) != 0 || pos < 0 || st.st_size < pos)
        return 0;
    return static_cast<std::uint64_t>(st.st_size - pos);
}

std::ptrdiff_t readSome(int fd, void* buffer, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

int closeFile(int fd) noexcept { return ::close(fd) == 0 ? 0 : errno; }

std::optional<std::string> folderWriteProblem(const std::filesystem::path& folder)
{
    if (::access(folder.c_str(), W_OK) == 0)
        return std::nullopt;
    return std::strerror(errno);
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> fileIdentity(const std::filesystem::path& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return std::pair{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::string pathKey(const std::filesystem::path& path) { return path.string(); }

} // namespace kestrel
