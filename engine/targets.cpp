#include "engine/targets.h"

#include "core/platform.h"
#include "core/whole_file.h"

#include <fstream>

namespace kestrel {
namespace {

constexpr std::size_t recordBytes = 2880;

std::string quotedName(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

/// The first bytes of an existing regular file, as far as they can be read: a file that
/// cannot be read is judged by nothing.
std::string firstBytes(const std::filesystem::path& file)
{
    std::string bytes(recordBytes, '\0');
    std::ifstream in(file, std::ios::binary);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

bool isFitsImage(const std::string& bytes) { return bytes.rfind("SIMPLE  =", 0) == 0; }

/// How a file of ours is written: appended to where it stands (the results file), or
/// made anew beside it and renamed into place (a plot), which needs its folder writable.
enum class Writing { inPlace, whole };

/// What the file and the folder it lands in must be, for any file of ours; `kind`
/// checks the contents of an existing file.
template <class Kind>
std::optional<TargetProblem> targetProblem(TargetNames names, const std::filesystem::path& file,
                                           const std::vector<std::filesystem::path>& inputs,
                                           const std::vector<std::filesystem::path>& outputs, Writing writing,
                                           Kind kind)
{
    bool appendable = false;
    const std::filesystem::path target = linkTarget(file);
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(target, ec);
    if (std::filesystem::exists(st)) {
        const auto id = fileIdentity(target);
        for (const auto& input : inputs)
            if (id && fileIdentity(input) == id)
                return TargetProblem{true, names.option + quotedName(file) + " is " + names.image + " " +
                                               input.string() + "; nothing is ever written over an image"};
        if (std::filesystem::is_directory(st))
            return TargetProblem{false, cannotWrite(file, "it is a folder")};
        if (!std::filesystem::is_regular_file(st))
            return TargetProblem{false, cannotWrite(file, "not a regular file")};
        if (const auto wrongKind = kind(firstBytes(target)))
            return TargetProblem{true, names.option + quotedName(file) + " " + *wrongKind +
                                           "; nothing is ever written over it"};
        if (isWriteProtected(target))
            return TargetProblem{false, cannotWrite(file, "the file is write-protected")};
        // An existing file appended to needs no more than to be writable itself: a
        // results file in a folder the user may not change is still theirs to add to.
        if (writing == Writing::inPlace) {
            std::ofstream probe(target, std::ios::binary | std::ios::app);
            if (!probe)
                return TargetProblem{false, cannotWrite(file, "it cannot be opened for writing")};
            appendable = true;
        }
    }
    const std::string where = pathKey(resolvedPath(target));
    for (const auto& output : outputs)
        if (pathKey(resolvedPath(output)) == where)
            return TargetProblem{true, names.option + quotedName(file) + " is where a corrected image is written"};
    if (appendable)
        return std::nullopt;
    const std::filesystem::path folder = std::filesystem::absolute(target).parent_path();
    if (!std::filesystem::is_directory(folder, ec))
        return TargetProblem{false, cannotWrite(file, std::filesystem::exists(folder, ec)
                                                          ? folder.string() + " is no folder"
                                                          : "the folder " + folder.string() + " does not exist")};
    if (const auto why = folderWriteProblem(folder))
        return TargetProblem{false, cannotWrite(file, "the folder " + folder.string() + " cannot be written: " + *why)};
    return std::nullopt;
}

} // namespace

std::filesystem::path resolvedPath(const std::filesystem::path& p)
{
    std::error_code ec;
    std::filesystem::path r = std::filesystem::weakly_canonical(std::filesystem::absolute(linkTarget(p)), ec);
    return ec ? std::filesystem::absolute(p).lexically_normal() : r;
}

std::optional<TargetProblem> resultsFileProblem(const std::filesystem::path& csv,
                                                const std::vector<std::filesystem::path>& inputs,
                                                const std::vector<std::filesystem::path>& outputs,
                                                TargetNames names)
{
    return targetProblem(names, csv, inputs, outputs, Writing::inPlace, [](const std::string& bytes) -> std::optional<std::string> {
        if (isFitsImage(bytes))
            return "is a FITS image, not a results file";
        if (bytes.find('\0') != std::string::npos)
            return "is no results file (it holds binary data)";
        return std::nullopt;
    });
}

std::optional<TargetProblem> plotFileProblem(const std::filesystem::path& plot,
                                             const std::vector<std::filesystem::path>& inputs, TargetNames names)
{
    return targetProblem(names, plot, inputs, {}, Writing::whole, [](const std::string& bytes) -> std::optional<std::string> {
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

} // namespace kestrel
