// What a run that replaces originals has replaced so far, kept in each folder it changes,
// so that a run interrupted on the way (a signal, a power cut) and started again does
// not correct a file twice: a second correction would add the bands' amplitude again.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrel {

class OverwriteJournal {
public:
    /// The journal's name in each folder: a small hidden file.
    static constexpr const char* fileName = ".kestrel-journal";

    /// Reads the journals that interrupted runs left in the folders of `inputs`. One that
    /// cannot be read counts as none: its files are corrected as any others.
    explicit OverwriteJournal(const std::vector<std::filesystem::path>& inputs);

    /// True when an interrupted run replaced `input` and it is unchanged since (the same
    /// size and time of change as the file that run put there).
    bool correctedBefore(const std::filesystem::path& input) const;

    /// Notes in its folder's journal that `input` has just been replaced by its corrected
    /// file. Nothing when it is noted; otherwise why it could not be.
    std::optional<std::string> noteReplaced(const std::filesystem::path& input);

    /// The run has treated every file: the lines of its inputs leave their folders'
    /// journals, and a journal left empty is removed (lines of files this run did not
    /// treat stay, for the run that will).
    void finish();

private:
    struct Stamp {
        std::uintmax_t size = 0;
        std::int64_t changed = 0; // the file system's time of the last change, in its units
        bool operator==(const Stamp&) const = default;
    };
    static std::optional<Stamp> stampOf(const std::filesystem::path& file);

    std::map<std::filesystem::path, std::map<std::string, Stamp>> found_; // folder -> name -> stamp
    std::map<std::filesystem::path, std::set<std::string>> inputs_;      // folder -> the run's names there
};

} // namespace kestrel
