#include "fits/workspace.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestrel {
namespace {

constexpr std::size_t samplesPerRecord = 720;
constexpr std::size_t recordsPerChunk = 256; // about 720 KB per write

[[noreturn]] void failWrite(const std::filesystem::path& path, const char* what, int error)
{
    throw Failure(std::string(what) + " \"" + path.string() + "\". " + std::strerror(error));
}

// A temporary file beside the destination that is removed unless it was committed.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::filesystem::path& destination) : destination_(destination)
    {
        std::string pattern = destination.string() + ".kestrel-XXXXXX";
        fd_ = ::mkstemp(pattern.data());
        if (fd_ < 0)
            failWrite(destination, "Cannot create file", errno);
        path_ = pattern;
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (!committed_)
            ::unlink(path_.c_str());
    }

    void write(const void* data, std::size_t size)
    {
        const auto* p = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = ::write(fd_, p, size);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                failWrite(destination_, "Cannot write file", errno);
            }
            p += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    // Gives the file the destination's permissions (or the usual ones for a new
    // file), flushes it to disk and renames it over the destination.
    void commit()
    {
        struct stat st {};
        mode_t mode;
        if (::stat(destination_.c_str(), &st) == 0) {
            mode = st.st_mode & 07777;
        } else {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            mode = 0666 & ~mask;
        }
        if (::fchmod(fd_, mode) != 0)
            failWrite(destination_, "Cannot write file", errno);
        if (::fsync(fd_) != 0)
            failWrite(destination_, "Cannot write file", errno);
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0)
            failWrite(destination_, "Cannot write file", errno);
        if (::rename(path_.c_str(), destination_.c_str()) != 0)
            failWrite(destination_, "Cannot replace file", errno);
        committed_ = true;
    }

private:
    std::filesystem::path destination_;
    std::filesystem::path path_;
    int fd_ = -1;
    bool committed_ = false;
};

void putBigEndian(unsigned char* out, float value)
{
    const auto u = std::bit_cast<std::uint32_t>(value);
    out[0] = static_cast<unsigned char>(u >> 24);
    out[1] = static_cast<unsigned char>(u >> 16);
    out[2] = static_cast<unsigned char>(u >> 8);
    out[3] = static_cast<unsigned char>(u);
}

// PixInsight images go back to their 0..1 range; others have negative samples (and
// NaN) clamped to 0. The quotient of a float by 65535 rounds to the same single in
// double as in extended precision, so double arithmetic is exact here.
void scaleForWriting(std::vector<float>& pixels, bool pixInsight)
{
    if (pixInsight) {
        for (float& x : pixels)
            x = static_cast<float>(static_cast<double>(x) / 65535.0);
        return;
    }
    for (float& x : pixels)
        x = x >= 0.0f ? x : 0.0f;
}

} // namespace

void saveFloat32Fits(Workspace& ws, const std::filesystem::path& fileName)
{
    const std::size_t count = ws.floatPixels.size();
    if (count == 0 || count % samplesPerRecord != 0)
        throw Failure(fileName.filename().string() + ": the image data hold " + std::to_string(count) +
                      " samples, not a whole number of 2880-byte records; nothing was written");

    TemporaryFile out(fileName);
    for (const Card& card : ws.rawHeader)
        out.write(card.data(), card.size());

    scaleForWriting(ws.floatPixels, ws.pixInsightImage);

    std::vector<unsigned char> chunk(recordsPerChunk * samplesPerRecord * 4);
    for (std::size_t start = 0; start < count;) {
        const std::size_t n = std::min(count - start, chunk.size() / 4);
        for (std::size_t i = 0; i < n; ++i)
            putBigEndian(chunk.data() + 4 * i, ws.floatPixels[start + i]);
        out.write(chunk.data(), n * 4);
        start += n;
    }
    out.commit();
    ws.host.pumpMessages();
}

} // namespace kestrel
