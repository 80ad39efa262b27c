// The results file "kestrel.csv": one header line when it is created, then one line per
// measured image of each export, appended.
#include "settings/settings.h"

#include "core/failure.h"
#include "core/numbers.h"
#include "core/whole_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {

constexpr const char* header = "Image,Binning,CCDtemp,Exposure,Amplitude";
constexpr const char* lineEnd = "\r\n";

/// A field as it goes into the line: quoted, with its quotes doubled, only when it holds
/// a comma, a double quote or a line break, which would otherwise change the fields.
std::string csvField(std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(text);
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

} // namespace

std::string resultsCsvLine(const tImageData& entry)
{
    return csvField(trimBlanks(entry.image)) + "," + csvField(entry.binning) + "," + std::to_string(entry.ccdTemp) +
           "," + std::to_string(entry.exposure) + "," + formatFixedTrimmed(entry.amplitude, 2, 10);
}

void appendResultsCsv(const std::filesystem::path& file, const std::vector<tImageData>& entries)
{
    // Not blocking, so that a named pipe without a reader is refused, not waited for.
    bool created = true;
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = ::open(file.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK);
    }
    if (fd < 0)
        throw Failure(cannotWrite(file, std::strerror(errno == ENXIO ? EINVAL : errno)));

    struct stat before {};
    const int statError = ::fstat(fd, &before) == 0 ? 0 : errno;
    if (statError != 0 || !S_ISREG(before.st_mode)) {
        ::close(fd);
        throw Failure(cannotWrite(file, statError ? std::strerror(statError) : "not a regular file"));
    }
    // The permission bits decide, as for every file Kestrel changes: root may write any
    // file, but a results file its owner protected is not to be changed.
    if ((before.st_mode & 0222) == 0) {
        ::close(fd);
        throw Failure(cannotWrite(file, "the file is write-protected"));
    }

    // An empty file is a new one: it gets the header line first.
    std::string text;
    if (created || before.st_size == 0)
        text += std::string(header) + lineEnd;
    char last = '\n';
    if (before.st_size > 0 && ::pread(fd, &last, 1, before.st_size - 1) == 1 && last != '\n')
        text += lineEnd;
    for (const tImageData& entry : entries)
        if (entry.measured)
            text += resultsCsvLine(entry) + lineEnd;

    int error = 0;
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0 && error == 0) {
        const ssize_t put = ::write(fd, data, left);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            error = put < 0 ? errno : EIO;
            break;
        }
        data += put;
        left -= static_cast<std::size_t>(put);
    }
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0)
        return;

    // The whole export is one append; a failure part-way takes it back, so the file is
    // either as it was or holds every line.
    if (created)
        ::unlink(file.c_str());
    else if (::truncate(file.c_str(), before.st_size) != 0)
        throw Failure(cannotWrite(file, std::string(std::strerror(error)) +
                                                    "; the lines written could not be taken back"));
    throw Failure(cannotWrite(file, std::strerror(error)));
}

} // namespace kestrel
