// Helpers of the Windows files (platform_windows.cpp, whole_file_windows.cpp,
// program_folder_windows.cpp, cli/output_windows.cpp); nothing else includes this header.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrel::windows {

/// The reason a system call failed, for "Cannot write FILE: REASON" and its kin. The
/// errors that have a C library twin read as that twin reads on every system ("No such
/// file or directory", "Permission denied", "No space left on device"); the others in
/// the system's own words (a file another program holds open), without the final
/// full stop, as the messages go on after them.
std::string reasonFor(unsigned long error);

/// The same for a call on `path`: a path that runs through a file where a folder should
/// be reads "Not a directory", as on Linux, where Windows says only that it is not found.
std::string reasonFor(unsigned long error, const std::filesystem::path& path);

/// What one look at an existing file shows: the file its path finally names (links,
/// junctions and, under Wine, Unix links followed) and what it is.
struct FileFacts {
    std::filesystem::path finalPath;
    bool folder = false;
    bool regular = false; // a file on a disk: no device, pipe or console
    bool readOnly = false;
    unsigned long attributes = 0;
};

/// The facts of the file `path` names; nothing when it names none that can be opened.
/// `error` gets the system's error then (a missing file, a file no one may see).
std::optional<FileFacts> factsOf(const std::filesystem::path& path, unsigned long& error);

} // namespace kestrel::windows
