// What the two writers of whole files (whole_file.cpp on Linux, whole_file_windows.cpp)
// share besides the public interface of core/whole_file.h, which whole_file_common.cpp
// implements where it does not depend on the system. Nothing else includes this header.
#pragma once

#include <filesystem>
#include <string>

namespace kestrel::detail {

/// A short hidden name in `folder` that does not depend on the destination's name, so
/// that a destination name near the filesystem's limit can still be written: the
/// prefix of this process (temporaryPrefix) and eight random letters.
std::filesystem::path temporaryNameIn(const std::filesystem::path& folder);

/// How the named temporary files of this process begin: ".kestrel-", and on Linux the
/// machine's name and the process's id ("-HOST-PID-"), so that a later run can tell
/// those of a process that is gone (whole_file.cpp and whole_file_windows.cpp).
std::string temporaryPrefix();

/// The hidden lock file beside `file` that every change of it takes (changeWholeFile).
std::filesystem::path lockFileFor(const std::filesystem::path& file);

/// Notes a named temporary file in use, for removeTemporaryFiles; forgets it again once
/// it is renamed or removed.
void rememberTemporary(const std::filesystem::path& file);
void forgetTemporary(const std::filesystem::path& file);

} // namespace kestrel::detail
