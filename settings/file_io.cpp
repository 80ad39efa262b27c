#include "settings/file_io.h"

#include "core/failure.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel::detail {

namespace {

std::string systemReason(int error) { return std::strerror(error); }

/// Closes a descriptor and removes a temporary file unless released.
class TemporaryFile {
public:
    TemporaryFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    /// Closes the descriptor; false (errno set) when the close reports an error.
    bool close()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    void keep() { path_.clear(); }

private:
    int fd_;
    std::string path_;
};

} // namespace

std::string cannotWrite(const std::filesystem::path& file, const std::string& reason)
{
    return "Cannot write " + file.string() + ": " + reason;
}

std::optional<std::string> readWholeFile(const std::filesystem::path& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        throw Failure("Cannot read " + file.string() + ": " + systemReason(errno));
    }
    std::string contents;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(fd);
            throw Failure("Cannot read " + file.string() + ": " + systemReason(error));
        }
        if (got == 0)
            break;
        contents.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return contents;
}

void replaceFile(const std::filesystem::path& file, const std::string& contents)
{
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
    std::string name = ".";
    name += file.filename().string();
    name += ".XXXXXX";
    std::string pattern = (folder / name).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        throw Failure(cannotWrite(file, systemReason(errno)));
    TemporaryFile temp(fd, pattern);

    // Keep the permissions of the file being replaced; a new file gets the usual ones.
    struct stat old {};
    const mode_t mode = ::stat(file.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    ::fchmod(temp.fd(), mode);

    const char* data = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        const ssize_t put = ::write(temp.fd(), data, left);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            throw Failure(cannotWrite(file, systemReason(errno)));
        }
        data += put;
        left -= static_cast<std::size_t>(put);
    }
    if (::fsync(temp.fd()) != 0)
        throw Failure(cannotWrite(file, systemReason(errno)));
    if (!temp.close())
        throw Failure(cannotWrite(file, systemReason(errno)));
    if (::rename(temp.path().c_str(), file.c_str()) != 0)
        throw Failure(cannotWrite(file, systemReason(errno)));
    temp.keep();
}

} // namespace kestrel::detail
