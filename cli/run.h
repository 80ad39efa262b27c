// One file through the correction or the phase search, as the window's runs treat it,
// each in a workspace of its own so that files can run in parallel.
#pragma once

#include "cli/options.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fits/workspace.h"

namespace kestrel::cli {

struct FileResult {
    enum class Status { corrected, skipped, failed } status = Status::skipped;
    std::string line;                  // the tab-separated result line, without newline
    std::vector<std::string> messages; // what the window would have shown in boxes
    std::optional<tImageData> entry;   // results entry for the CSV export
};

struct PhaseTexts {
    std::optional<std::string> phase1x1; // the text of a phase field, as the window holds it
    std::optional<std::string> phase2x2;
};

/// Memory that one worker keeps from file to file. A frame's pixels take tens of
/// megabytes, and fresh pages for every frame cost about as much as reading it.
struct WorkerMemory {
    std::vector<float> floatPixels;
};

FileResult correctOne(const std::filesystem::path& input, const std::filesystem::path& outputFolder,
                      const PhaseTexts& phases, double amplitudeSetting,
                      const std::filesystem::path& programFolder, WorkerMemory& memory);

FileResult findPhaseOf(const std::filesystem::path& input, bool save, const std::filesystem::path& programFolder);

} // namespace kestrel::cli
