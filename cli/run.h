// One file through the correction or the phase search, as the window's runs treat it,
// each in a workspace of its own so that files can run in parallel.
#pragma once

#include "cli/options.h"

#include <filesystem>
#include <functional>
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
    /// The written file's flush and rename, still to run when set (see correctOne).
    std::function<void()> commit;
    /// The correction routine whose name the window's message of a failed write ends in.
    std::string routine;

    /// Runs the pending flush and rename; a failure turns the result into the window's
    /// report of it.
    void finishWriting()
    {
        if (!commit)
            return;
        try {
            commit();
        } catch (const std::exception& e) {
            const std::string message = failureMessage(e) + inFunction(routine.c_str());
            status = Status::failed;
            messages.push_back(message);
            line.erase(line.rfind('\t') + 1);
            line += "failed: " + message;
        }
        commit = nullptr;
    }
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

/// Corrects one file into outputFolder. The corrected file is left under its temporary
/// name: the caller runs the result's finishWriting, on any thread, for it to appear.
FileResult correctOne(const std::filesystem::path& input, const std::filesystem::path& outputFolder,
                      const PhaseTexts& phases, double amplitudeSetting,
                      const std::filesystem::path& programFolder, WorkerMemory& memory);

FileResult findPhaseOf(const std::filesystem::path& input, bool save, const std::filesystem::path& programFolder);

} // namespace kestrel::cli
