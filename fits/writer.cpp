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

// PixInsight images go back to their 0..1 range. The quotient of a float by 65535
// rounds to the same single in double as in extended precision, so double arithmetic
// is exact here.
void packPixInsight(float* samples, std::size_t n, unsigned char* out)
{
    for (std::size_t i = 0; i < n; ++i) {
        samples[i] = static_cast<float>(static_cast<double>(samples[i]) / 65535.0);
        const std::uint32_t u = __builtin_bswap32(std::bit_cast<std::uint32_t>(samples[i]));
        std::memcpy(out + 4 * i, &u, 4);
    }
}

// Other images keep every sample that is >= 0 (negative zero and +infinity included)
// and write 0 for negative samples and NaN. Decided on the bit pattern, so no NaN
// ever meets a floating-point comparison and the loop vectorises.
void packClamped(float* samples, std::size_t n, unsigned char* out)
{
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t u = std::bit_cast<std::uint32_t>(samples[i]);
        const std::uint32_t magnitude = u & 0x7FFFFFFFu;
        const bool keep = magnitude <= 0x7F800000u && ((u >> 31) == 0 || magnitude == 0);
        u = keep ? u : 0u;
        samples[i] = std::bit_cast<float>(u);
        const std::uint32_t big = __builtin_bswap32(u);
        std::memcpy(out + 4 * i, &big, 4);
    }
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

    // Scaling and packing in one pass over the samples; the buffer keeps the scaled
    // values, as the correction expects.
    std::vector<unsigned char> chunk(recordsPerChunk * samplesPerRecord * 4);
    for (std::size_t start = 0; start < count;) {
        const std::size_t n = std::min(count - start, chunk.size() / 4);
        float* samples = ws.floatPixels.data() + start;
        if (ws.pixInsightImage)
            packPixInsight(samples, n, chunk.data());
        else
            packClamped(samples, n, chunk.data());
        out.write(chunk.data(), n * 4);
        start += n;
    }
    out.commit();
    ws.host.pumpMessages();
}

} // namespace kestrel
