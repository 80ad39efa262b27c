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
        throw Failure(message(file, error ? std::strerror(error) : "not a regular file"));
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
        throw Failure(cannotRead(file, std::strerror(errno)));
    }
    return regularOnly(fd, file, cannotRead);
}

AppendingFile openForAppending(const std::filesystem::path& file)
{
    AppendingFile out;
    out.created = true;
    out.fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0666);
    if (out.fd < 0 && errno == EEXIST) {
        out.created = false;
        out.fd = ::open(file.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK);
    }
    // A pipe without a reader answers ENXIO, which says nothing to the user.
    if (out.fd < 0)
        throw Failure(cannotWrite(file, std::strerror(errno == ENXIO ? EINVAL : errno)));
    regularOnly(out.fd, file, cannotWrite);
    struct stat st {};
    out.size = ::fstat(out.fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    return out;
}

std::uint64_t bytesAfterPosition(int fd)
{
    struct stat st {};
    const off_t pos = ::lseek(fd, 0, SEEK_CUR);
    if (::fstat(fd, &st) != 0 || pos < 0 || st.st_size < pos)
        return 0;
    return static_cast<std::uint64_t>(st.st_size - pos);
}

std::optional<char> byteAt(int fd, std::uint64_t offset)
{
    char byte = 0;
    if (::pread(fd, &byte, 1, static_cast<off_t>(offset)) != 1)
        return std::nullopt;
    return byte;
}

int writeAll(int fd, const void* data, std::size_t size)
{
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = ::write(fd, p, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : EIO;
        p += put;
        size -= static_cast<std::size_t>(put);
    }
    return 0;
}

int closeFile(int fd) noexcept { return ::close(fd) == 0 ? 0 : errno; }

std::optional<std::pair<std::uint64_t, std::uint64_t>> fileIdentity(const std::filesystem::path& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return std::pair{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

} // namespace kestrel
