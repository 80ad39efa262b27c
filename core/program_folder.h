// Where Kestrel's own files live: the program folder, the folder of the running
// executable, where a portable Kestrel keeps its settings, its results and its manual.
#pragma once

#include <filesystem>

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

    /// Everything beside the program, as a portable copy keeps it.
    static FileLocations besideProgram(const std::filesystem::path& programFolder);
};

} // namespace kestrel
