// Where a run's corrected files go, and which inputs may be written there at all: the
// rules every front end shares, so that no front end replaces an original or another
// night's file that another one would keep.
#pragma once

#include "core/whole_file.h"
#include "correction/correction.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {

/// What a probe file in the output folder told about it (see OutputPlan).
struct FolderProbe {
    /// The input folder that is the output folder itself, reached through another
    /// path (a second mount of the disk, a bind or FUSE mount); nothing when none is.
    std::optional<std::filesystem::path> inputFolder;
    /// Names that differ only in case name one file there (exFAT, vfat).
    bool foldsCase = false;
};

/// Probes `folder` once, with a uniquely named file made there and looked for in each
/// of `inputFolders` (or, where none can be made there, made in each input folder and
/// looked for in `folder`), and removed again. Nothing is learnt of a folder that does
/// not exist or where no probe can be made.
FolderProbe probeOutputFolder(const std::filesystem::path& folder,
                              const std::vector<std::filesystem::path>& inputFolders);

/// True when `existing` is an earlier correction of `input`: of the same size, and its
/// header (every record up to the one with END) byte for byte the input's. A
/// correction changes the samples only, so an earlier one may be replaced by a new one;
/// anything else of that name is somebody's file.
bool earlierCorrection(const std::filesystem::path& input, const std::filesystem::path& existing);

class OutputPlan {
public:
    /// With `overwrite`, every corrected file replaces its own input, whatever folder it
    /// is in; otherwise they all go into `folder` under their inputs' names. `inputs` are
    /// all the files of the run: without `overwrite` none of them is ever replaced.
    OutputPlan(bool overwrite, std::filesystem::path folder, const std::vector<std::filesystem::path>& inputs);

    /// Lets a corrected file replace any existing file of its name in the output folder
    /// (never an input of the run), not only an earlier correction of the same input.
    void replaceOutputs(bool replace) { replaceOutputs_ = replace; }

    /// The probe of the output folder, for a test that plays a storage it cannot mount;
    /// by default the folder is probed at the first claim.
    void assumeProbe(FolderProbe probe) { probe_ = std::move(probe); }

    std::filesystem::path outputFor(const std::filesystem::path& input) const;
    /// Whether each corrected file replaces its own input.
    bool overwrite() const { return overwrite_; }

    /// The output folder, opened at the first claim that finds it there (nothing with
    /// overwrite, or while it does not exist): the claims' checks and every file written
    /// there go through it, so that a folder renamed or swapped for a link meanwhile
    /// (`mv out out.old; ln -s night out`) takes no corrected file over an original.
    std::shared_ptr<const OpenFolder> outputFolder();

    /// Why an input may not go ahead.
    struct Refusal {
        enum class Kind {
            repeated,      // the same file as an earlier input, or the same output
            replacesInput, // without overwrite, its output would be an input of the run
            keepsExisting, // its output's name holds a file that is no earlier correction
            correctedBefore, // replaced by an interrupted run, unchanged since (OverwriteJournal)
        };
        Kind kind = Kind::repeated;
        std::string reason; // names the paths
    };

    /// Claims the output of `input` for this run. An input that is the same file as an
    /// earlier one (by device and inode), or whose output an earlier input already
    /// claimed (links followed; names that differ in case alone where the output folder
    /// folds case), is refused: correcting it would correct an image twice or replace an
    /// earlier correction. Without overwrite, an output that is any input of the run
    /// (another spelling of the input's folder, a link back to it, the same folder
    /// through another mount) is refused too: it would replace an original. So is an
    /// existing output that is no earlier correction of the input, unless replaceOutputs.
    /// Nothing when the input may go ahead.
    std::optional<Refusal> claim(const std::filesystem::path& input);

private:
    using FileId = std::pair<std::uint64_t, std::uint64_t>; // device and inode
    bool overwrite_;
    bool replaceOutputs_ = false;
    std::filesystem::path folder_;
    std::vector<std::filesystem::path> inputFolders_;
    std::optional<FolderProbe> probe_;
    std::shared_ptr<const OpenFolder> openFolder_;
    std::map<std::string, std::filesystem::path> outputs_; // output -> its input
    std::map<FileId, std::filesystem::path> inputs_;       // file -> its name, claimed so far
    std::map<FileId, std::filesystem::path> runInputs_;    // every input of the run
};

/// The outcome of an input that its run refuses (see OutputPlan::claim).
ImageOutcome refusedInput(const OutputPlan::Refusal& refusal);

} // namespace kestrel
