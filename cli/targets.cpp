#include "cli/targets.h"

#include "core/whole_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel::cli {
namespace {

constexpr std::size_t recordBytes = 2880;

std::string quotedName(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

/// The first bytes of an existing file, as far as they can be read.
std::string firstBytes(const std::filesystem::path& file)
{
    std::string bytes(recordBytes, '\0');
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    // As far as it can be read: a file that cannot be read is judged by nothing.
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(got);
    return bytes;
}

bool isFitsImage(const std::string& bytes) { return bytes.rfind("SIMPLE  =", 0) == 0; }

std::filesystem::path resolved(const std::filesystem::path& p)
{
    std::error_code ec;
    std::filesystem::path r = std::filesystem::weakly_canonical(std::filesystem::absolute(linkTarget(p)), ec);
    return ec ? std::filesystem::absolute(p).lexically_normal() : r;
}

/// What the file and the folder it lands in must be, for any file of ours. `option` is
/// "--csv" or "--plot"; `kind` checks the contents of an existing file.
template <class Kind>
std::optional<TargetProblem> targetProblem(const char* option, const std::filesystem::path& file,
                                           const std::vector<std::filesystem::path>& inputs,
                                           const std::vector<std::filesystem::path>& outputs, Kind kind)
{
    const std::filesystem::path target = linkTarget(file);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        for (const auto& input : inputs) {
            struct stat in {};
            if (::stat(input.c_str(), &in) == 0 && sameFile(st, in))
                return TargetProblem{true, std::string(option) + ": " + quotedName(file) + " is the input " +
                                               input.string() + "; nothing is ever written over an image"};
        }
        if (S_ISDIR(st.st_mode))
            return TargetProblem{false, cannotWrite(file, "it is a folder")};
        if (!S_ISREG(st.st_mode))
            return TargetProblem{false, cannotWrite(file, "not a regular file")};
        if (const auto wrongKind = kind(firstBytes(target)))
            return TargetProblem{true, std::string(option) + ": " + quotedName(file) + " " + *wrongKind +
                                           "; nothing is ever written over it"};
        if (isWriteProtected(target))
            return TargetProblem{false, cannotWrite(file, "the file is write-protected")};
    }
    const std::filesystem::path where = resolved(target);
    for (const auto& output : outputs)
        if (resolved(output) == where)
            return TargetProblem{true, std::string(option) + ": " + quotedName(file) +
                                           " is where a corrected image is written"};
    const std::filesystem::path folder = std::filesystem::absolute(target).parent_path();
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec))
        return TargetProblem{false, cannotWrite(file, std::filesystem::exists(folder, ec)
                                                          ? folder.string() + " is no folder"
                                                          : "the folder " + folder.string() + " does not exist")};
    if (::access(folder.c_str(), W_OK) != 0)
        return TargetProblem{false, cannotWrite(file, "the folder " + folder.string() + " cannot be written: " +
                                                          std::strerror(errno))};
    return std::nullopt;
}

} // namespace

std::optional<TargetProblem> resultsFileProblem(const std::filesystem::path& csv,
                                                const std::vector<std::filesystem::path>& inputs,
                                                const std::vector<std::filesystem::path>& outputs)
{
    return targetProblem("--csv", csv, inputs, outputs, [](const std::string& bytes) -> std::optional<std::string> {
        if (isFitsImage(bytes))
            return "is a FITS image, not a results file";
        if (bytes.find('\0') != std::string::npos)
            return "is no results file (it holds binary data)";
        return std::nullopt;
    });
}

std::optional<TargetProblem> plotFileProblem(const std::filesystem::path& plot,
                                             const std::vector<std::filesystem::path>& inputs)
{
    return targetProblem("--plot", plot, inputs, {}, [](const std::string& bytes) -> std::optional<std::string> {
        // A drawing of ours may be replaced: PNG and PDF by their signatures, SVG as text.
        if (bytes.rfind("\x89PNG\r\n\x1a\n", 0) == 0 || bytes.rfind("%PDF-", 0) == 0)
            return std::nullopt;
        if (isFitsImage(bytes))
            return "is a FITS image, not a plot";
        if (bytes.find('\0') != std::string::npos)
            return "is no plot (it holds binary data)";
        return std::nullopt;
    });
}

} // namespace kestrel::cli
