// Settings and results: the INI profile rules and the settings file, the results grid
// sort, and the CSV export of the results.
#pragma once

#include "fits/workspace.h"

#include <filesystem>
#include <string>
#include <vector>

namespace kestrel {

inline constexpr const char* settingsFileName = "kestx.ini";
inline constexpr const char* settingsSection = "kestx";
inline constexpr const char* resultsFileName = "kestrel.csv";

/// One value of an INI file: section and key matched without regard to case, blanks
/// and one pair of enclosing quotes removed, at most 2047 characters; `fallback` when
/// the file, section or key is missing.
std::string readProfileString(const std::filesystem::path& file, const std::string& section,
                              const std::string& key, const std::string& fallback);

/// Sets one value: replaced where it stands, else added at the end of its section,
/// creating the section and the file as needed; all other lines stay. The file is
/// replaced whole (temporary file and rename). Throws a Failure when it cannot be written.
void writeProfileString(const std::filesystem::path& file, const std::string& section,
                        const std::string& key, const std::string& value);

/// Reads 1x1phase and 2x2phase into Edit1 and Edit2 and lastFolder into the working
/// folder; failures are reported "... in function readIniFile.".
void readIniFile(Workspace& ws);
/// Writes the two phase fields (trimmed) and the working folder; failures are reported
/// "... in function updateIniFile.".
void updateIniFile(Workspace& ws);

/// Sorts grid rows 1..last by the text of `column`, case-insensitively in the user's
/// locale; failures are reported in a plain box "... in function SortStringGrid.".
void SortStringGrid(Workspace& ws, ResultsGrid& grid, int column);

/// The results-file line of one entry, without line end ("" quoting as needed).
std::string resultsCsvLine(const tImageData& entry);

/// Appends the measured entries to the results file `file` (header line first when the
/// file is new), all in one write; on failure the file is cut back to its old size and
/// a Failure is thrown.
void appendResultsCsv(const std::filesystem::path& file, const std::vector<tImageData>& entries);

} // namespace kestrel
