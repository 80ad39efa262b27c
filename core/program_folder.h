// Where Kestrel's own files live. A portable copy (the build folder, a folder the user
// copied) keeps its settings, its results and the downloaded notices beside the
// executable, as Kestrel always has; an installed Kestrel, whose folder belongs to the
// system, keeps them in the user's own folders.
#pragma once

#include <filesystem>
#include <functional>

namespace kestrel {

/// The folder that holds the running executable (with no trailing separator); the
/// working folder when the executable's path cannot be read.
std::filesystem::path executableFolder();

/// The files the window and kestrel-cli read and write besides the images.
struct FileLocations {
    std::filesystem::path programFolder; // stands in for a lost last folder
    std::filesystem::path settingsFile;  // kestx.ini
    std::filesystem::path resultsFile;   // kestrel.csv
    std::filesystem::path noticeFolder;  // update.txt and kestrelMsg.txt
    std::filesystem::path manualFile;    // Kestrel.pdf
    std::filesystem::path webPage;       // kestrel.htm, the program's page as shipped with it

    /// Everything beside the program, as a portable copy keeps it.
    static FileLocations besideProgram(const std::filesystem::path& programFolder);

    /// The files of a program whose executable lies in `programFolder`. Beside it when
    /// that folder is a portable copy: one the user may write that is not an
    /// installation. An installed program (in the folder it was installed to, in a
    /// folder with the installed manual beside it, or in a folder the user may not
    /// write) uses the user's folders: kestx.ini in $XDG_CONFIG_HOME/kestrel (default
    /// ~/.config/kestrel), kestrel.csv in $XDG_DATA_HOME/kestrel (~/.local/share/kestrel),
    /// the notices in $XDG_CACHE_HOME/kestrel (~/.cache/kestrel). The manual and the web
    /// page are beside the program when they are there, else in the installed
    /// documentation folder. On Windows: beside the program when its folder may be
    /// written, else all three in %APPDATA%\Kestrel; the manual and the web page beside
    /// the program.
    /// `environment` answers for getenv (tests give their own).
    static FileLocations forProgram(const std::filesystem::path& programFolder,
                                    const std::function<const char*(const char*)>& environment = nullptr);

    /// True when the files are not beside the program.
    bool inUserFolders() const { return settingsFile.parent_path() != programFolder; }
};

/// Creates the folder that `file` goes into, and any missing folder above it, just
/// before the file is first written: a user who never saves results gets no empty
/// folder for them. New folders are the user's alone, as the XDG rules ask. A folder
/// that cannot be made is quietly left missing: the write that needs it says why.
void createFolderOf(const std::filesystem::path& file);

} // namespace kestrel
