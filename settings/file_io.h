// File access shared by the settings routines: whole-file reads and replacing a file
// in one step, so a crash or a full disk never leaves it half written.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kestrel::detail {

/// The file's bytes; nothing when it does not exist. Throws a Failure naming the file
/// when it exists but cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& file);

/// Writes `contents` to a temporary file in the same folder, flushes it to the disk and
/// renames it over `file`. On failure the old file is untouched, the temporary file is
/// removed and a Failure naming the file and the reason is thrown.
void replaceFile(const std::filesystem::path& file, const std::string& contents);

/// "Cannot write FILE: REASON", the text of every failed write of these routines.
std::string cannotWrite(const std::filesystem::path& file, const std::string& reason);

} // namespace kestrel::detail
