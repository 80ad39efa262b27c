#include "fits/fits_file.h"

#include "core/failure.h"
#include "core/platform.h"
#include "core/whole_file.h"

namespace kestrel {

void FitsFile::openRead(const std::filesystem::path& path)
{
    close();
    fd_ = openForReading(path);
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
    return bytesAfterPosition(fd_);
}

void FitsFile::close() noexcept
{
    if (fd_ >= 0)
        closeFile(fd_);
    fd_ = -1;
}

} // namespace kestrel
