// The program folder: the folder of the running executable, where a portable Kestrel
// keeps its settings file, its results file and its manual.
#pragma once

#include <filesystem>

namespace kestrel {

/// The folder that holds the running executable (with no trailing separator); the
/// working folder when the executable's path cannot be read.
std::filesystem::path executableFolder();

} // namespace kestrel
