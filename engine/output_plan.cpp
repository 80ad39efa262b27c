#include "engine/output_plan.h"

#include "core/platform.h"
#include "engine/targets.h"
#include "fits/cards.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kestrel {
namespace {

namespace fs = std::filesystem;

bool isSymlink(const fs::path& path)
{
    std::error_code ec;
    return fs::is_symlink(fs::symlink_status(path, ec));
}

bool namesFile(const fs::path& path)
{
    // Only a file's contents can be another night's image; a folder or device in the way
    // is left to the writer, which refuses it with its own reason.
    std::error_code ec;
    return fs::is_regular_file(fs::status(path, ec));
}

/// A name no other run picks: this process's id and 64 random bits, in small letters,
/// so that its capitals tell whether the folder folds case.
std::string probeName()
{
    std::random_device random;
    const std::uint64_t bits = (std::uint64_t{random()} << 32) ^ random();
    std::ostringstream name;
#if !defined(_WIN32)
    name << ".kestrel-probe-" << ::getpid() << "-" << std::hex << bits;
#else
    name << ".kestrel-probe-" << std::hex << bits;
#endif
    return name.str();
}

/// Makes `path`, which must not exist yet; false when it cannot be made.
bool makeProbe(const fs::path& path)
{
#if !defined(_WIN32)
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
#else
    if (namesFile(path))
        return false;
    std::ofstream file(path, std::ios::binary);
    return static_cast<bool>(file);
#endif
}

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

/// The header of a FITS file: its records up to and with the one that holds END.
std::optional<std::string> headerBytes(std::ifstream& file)
{
    constexpr std::size_t record = 2880, card = 80, mostRecords = 10000;
    std::string header;
    std::array<char, record> block{};
    for (std::size_t n = 0; n < mostRecords; ++n) {
        if (!file.read(block.data(), block.size()))
            return std::nullopt;
        header.append(block.data(), block.size());
        for (std::size_t at = 0; at < record; at += card)
            if (cards::isEndCard(std::string_view(block.data() + at, card)))
                return header;
    }
    return std::nullopt;
}

} // namespace

FolderProbe probeOutputFolder(const fs::path& folder, const std::vector<fs::path>& inputFolders)
{
    FolderProbe found;
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        return found;
    const std::string name = probeName();
    if (makeProbe(folder / name)) {
        found.foldsCase = namesFile(folder / upper(name));
        for (const fs::path& input : inputFolders)
            if (namesFile(input / name)) {
                found.inputFolder = input;
                break;
            }
        fs::remove(folder / name, ec);
        return found;
    }
    // The output folder takes no probe (it is read-only, say): one made in each input
    // folder in turn may still show up there.
    for (const fs::path& input : inputFolders) {
        if (!makeProbe(input / name))
            continue;
        const bool same = namesFile(folder / name);
        fs::remove(input / name, ec);
        if (same) {
            found.inputFolder = input;
            break;
        }
    }
    return found;
}

bool earlierCorrection(const fs::path& input, const fs::path& existing)
{
    std::error_code ec;
    const auto inputSize = fs::file_size(input, ec);
    if (ec)
        return false;
    const auto existingSize = fs::file_size(existing, ec);
    if (ec || existingSize != inputSize)
        return false;
    std::ifstream a(input, std::ios::binary), b(existing, std::ios::binary);
    if (!a || !b)
        return false;
    const auto header = headerBytes(a);
    if (!header)
        return false;
    std::string theirs(header->size(), '\0');
    return b.read(theirs.data(), static_cast<std::streamsize>(theirs.size())) && theirs == *header;
}

OutputPlan::OutputPlan(bool overwrite, fs::path folder, const std::vector<fs::path>& inputs)
    : overwrite_(overwrite), folder_(std::move(folder))
{
    for (const auto& input : inputs) {
        if (const auto id = fileIdentity(input))
            runInputs_.emplace(*id, input);
        std::error_code ec;
        fs::path inputFolder = fs::absolute(input, ec).parent_path();
        if (std::find(inputFolders_.begin(), inputFolders_.end(), inputFolder) == inputFolders_.end())
            inputFolders_.push_back(std::move(inputFolder));
    }
}

fs::path OutputPlan::outputFor(const fs::path& input) const
{
    return overwrite_ ? input : folder_ / input.filename();
}

std::shared_ptr<const OpenFolder> OutputPlan::outputFolder()
{
    std::error_code ec;
    if (!overwrite_ && !openFolder_ && fs::is_directory(folder_, ec)) {
        // A folder that cannot be opened is written by its path, as it is named.
        try {
            openFolder_ = std::make_shared<const OpenFolder>(folder_);
        } catch (const Failure&) {
        }
    }
    return openFolder_;
}

std::optional<OutputPlan::Refusal> OutputPlan::claim(const fs::path& input)
{
    using Kind = Refusal::Kind;
    const auto id = fileIdentity(input);
    if (id) {
        const auto [at, fresh] = inputs_.emplace(*id, input);
        if (!fresh) {
            std::string reason = "it is the same file as " + at->second.string() + ", which this run treats already";
            // Two names of one file that are no symbolic links are hard links: the
            // corrected file that replaces one is a new file, the other keeps the original.
            if (overwrite_ && !isSymlink(input) && !isSymlink(at->second))
                reason += " (a hard link: once " + at->second.string() + " is replaced, " + input.string() +
                          " still holds the original)";
            return Refusal{Kind::repeated, reason};
        }
    }
    const fs::path output = outputFor(input);
    // What is looked at in the output folder is looked at in the folder opened.
    const auto folder = outputFolder();
    const fs::path there = folder ? folder->reached() / output.filename() : output;
    // Without overwrite no input of the run is ever replaced, however the output folder
    // is spelt, whatever links it holds, or through whichever mount it is reached: an
    // existing output is compared by device and inode with every input, its own
    // included, and so is the file of its name in the input folder that the output
    // folder proves to be. Device numbers differ between two mounts of one folder, so
    // that is proved with a file made there, before anything is written.
    if (!overwrite_) {
        if (!probe_)
            probe_ = probeOutputFolder(folder ? folder->reached() : folder_, inputFolders_);
        std::vector<fs::path> names{there};
        if (probe_->inputFolder)
            names.push_back(*probe_->inputFolder / output.filename());
        for (const fs::path& name : names)
            if (const auto outputId = fileIdentity(name))
                if (const auto hit = runInputs_.find(*outputId); hit != runInputs_.end())
                    return Refusal{Kind::replacesInput, "its corrected file " + output.string() +
                                                            " would replace the original " + hit->second.string()};
    }
    std::string key = pathKey(resolvedPath(output));
    if (probe_ && probe_->foldsCase)
        key = upper(std::move(key));
    const auto [at, fresh] = outputs_.emplace(std::move(key), input);
    if (!fresh)
        return Refusal{Kind::repeated, "its corrected file " + output.string() + " is the one written from " +
                                           at->second.string() + " in this run"};
    // Another night's original, or any file not made from this input, is kept.
    if (!overwrite_ && !replaceOutputs_ && namesFile(there) && !earlierCorrection(input, there))
        return Refusal{Kind::keepsExisting,
                       output.string() + " already exists and is not an earlier correction of this image"};
    return std::nullopt;
}

ImageOutcome refusedInput(const OutputPlan::Refusal& refusal)
{
    ImageOutcome out;
    using Kind = OutputPlan::Refusal::Kind;
    out.skip = refusal.kind == Kind::replacesInput   ? ImageOutcome::Skip::replacesInput
               : refusal.kind == Kind::keepsExisting ? ImageOutcome::Skip::keepsExisting
               : refusal.kind == Kind::correctedBefore ? ImageOutcome::Skip::correctedBefore
                                                     : ImageOutcome::Skip::repeated;
    out.message = refusal.reason;
    return out;
}

} // namespace kestrel
