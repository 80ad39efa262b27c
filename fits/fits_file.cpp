#include "fits/fits_file.h"

#include "core/failure.h"
#include "core/whole_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

void FitsFile::openRead(const std::filesystem::path& path)
{
    close();
    // Not blocking while it opens, so that a named pipe is refused instead of waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw Failure(cannotRead(path, std::strerror(errno)));
    struct stat st {};
    const int error = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (error != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Failure(cannotRead(path, error ? std::strerror(error) : "not a regular file"));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    fd_ = fd;
    path_ = path;
}

std::size_t FitsFile::read(void* buffer, std::size_t size)
{
    if (fd_ < 0)
        throw Failure("File not open");
    return readUpTo(fd_, buffer, size, path_);
}

std::uint64_t FitsFile::remaining() const
{
    if (fd_ < 0)
        return 0;
    struct stat st {};
    const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    if (::fstat(fd_, &st) != 0 || pos < 0 || st.st_size < pos)
        return 0;
    return static_cast<std::uint64_t>(st.st_size - pos);
}

void FitsFile::close() noexcept
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

} // namespace kestrel
