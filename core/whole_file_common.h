// What the two writers of whole files (whole_file.cpp on Linux, whole_file_windows.cpp)
// share besides the public interface of core/whole_file.h, which whole_file_common.cpp
// implements where it does not depend on the system. Nothing else includes this header.
#pragma once

#include <filesystem>

namespace kestrel::detail {

/// A short hidden name in `folder` that does not depend on the destination's name, so
/// that a destination name near the filesystem's limit can still be written.
std::filesystem::path temporaryNameIn(const std::filesystem::path& folder);

/// The hidden lock file beside `file` that every change of it takes (changeWholeFile).
std::filesystem::path lockFileFor(const std::filesystem::path& file);

/// Notes a named temporary file in use, for removeTemporaryFiles; forgets it again once
/// it is renamed or removed.
void rememberTemporary(const std::filesystem::path& file);
void forgetTemporary(const std::filesystem::path& file);

} // namespace kestrel::detail
