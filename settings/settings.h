// Settings and results: the INI profile rules and the settings file, the results grid
// sort, and the CSV export of the results.
#pragma once

#include "core/host.h"
#include "settings/results_grid.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {

inline constexpr const char* settingsFileName = "kestx.ini";
inline constexpr const char* settingsSection = "kestx";
inline constexpr const char* resultsFileName = "kestrel.csv";

/// The keys of the settings file's two phases, unbinned and 2x2-binned.
inline constexpr const char* phase1x1Key = "1x1phase";
inline constexpr const char* phase2x2Key = "2x2phase";
inline const char* phaseKey(bool binned) { return binned ? phase2x2Key : phase1x1Key; }

/// The phase the settings file keeps for one binning, as its text; nothing when the file
/// or the key is missing. "ERROR", the window's read default, reads as missing too, as
/// the window reads it. Throws a Failure when the file cannot be read.
std::optional<std::string> storedPhase(const std::filesystem::path& settingsFile, bool binned);

/// One results entry per selected file of a batch run: what the results file records.
struct tImageData {
    std::string image;    // file name without folder
    std::string binning;  // "1x1" or "2x2"
    std::int32_t ccdTemp = 0;
    std::int32_t exposure = 0;
    float amplitude = 0;
    bool measured = false; // the correction measured `amplitude` (it goes into the CSV)
};

/// One value of an INI file: section and key matched without regard to case, blanks
/// and one pair of enclosing quotes removed, at most 2047 characters; `fallback` when
/// the file, section or key is missing. A file that exists but cannot be read (or is
/// far too large to be a settings file) throws a Failure naming it.
std::string readProfileString(const std::filesystem::path& file, const std::string& section,
                              const std::string& key, const std::string& fallback);

/// Sets one value: replaced where it stands, else added at the end of its section,
/// creating the section and the file as needed; all other lines stay. The file is read
/// and replaced whole under its lock (changeWholeFile), so that values other programs
/// set at the same time stay. Throws a Failure when it cannot be written.
void writeProfileString(const std::filesystem::path& file, const std::string& section,
                        const std::string& key, const std::string& value);
/// Sets several values of one section as writeProfileString does, in one change.
void writeProfileStrings(const std::filesystem::path& file, const std::string& section,
                         const std::vector<std::pair<std::string, std::string>>& values);

/// Reads 1x1phase and 2x2phase of `settingsFile` into the two phase field texts (a
/// missing key leaves its field as it is) and lastFolder into the working folder (the
/// program folder when that folder is gone); failures are reported "... in function
/// readIniFile.".
void readIniFile(Host& host, const std::filesystem::path& settingsFile, const std::filesystem::path& programFolder,
                 std::string& phase1x1, std::string& phase2x2);
/// Writes the two phase field texts (trimmed) and the working folder; failures are
/// reported "... in function updateIniFile.".
void updateIniFile(Host& host, const std::filesystem::path& settingsFile, const std::string& phase1x1,
                   const std::string& phase2x2);

/// Sorts grid rows 1..last by the text of `column`, case-insensitively in the user's
/// locale; failures are reported in a plain box "... in function SortStringGrid.".
void SortStringGrid(Host& host, ResultsGrid& grid, int column);

/// The results-file line of one entry, without line end ("" quoting as needed).
std::string resultsCsvLine(const tImageData& entry);

/// Appends the measured entries to the results file `file` (header line first when the
/// file is new), all in one write; a file whose last line lacks its line end gets one
/// first, so no record is glued to it. On failure the file is cut back to its old size
/// and a Failure is thrown; what is not a regular file is refused without waiting.
void appendResultsCsv(const std::filesystem::path& file, const std::vector<tImageData>& entries);

} // namespace kestrel
