// The window's command line: kestrel [OPTION...] [FILE...]. Help and the version are
// answered before any display is opened, so they work on a console or over ssh; FILEs
// are corrected at once, as files dropped onto the window are.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kestrel {

/// The same line heads the LICENSE file; the Disclaimers dialog and --version show it.
inline constexpr const char* copyrightLine = "Copyright (c) 2026 The Kestrel developers";

struct WindowArguments {
    enum class Action { window, help, version, usageError };
    Action action = Action::window;
    /// Absolute paths, in the order given: the batch run's files.
    std::vector<std::filesystem::path> files;
    std::string error; // for a usage error
};

/// Help or the version when `args` (without the program's name, Qt's options still
/// among them) ask for either, else the window: help and the version need no window
/// and no display. Arguments after "--" are files.
WindowArguments::Action helpOrVersion(const std::vector<std::string>& args);

/// Reads the arguments that Qt has left (its own options, such as -platform, are taken
/// out first). Relative FILEs are taken from the current folder.
WindowArguments parseWindowArguments(const std::vector<std::string>& args);

std::string windowUsageText();
std::string windowHelpText();
std::string windowVersionText();

} // namespace kestrel
