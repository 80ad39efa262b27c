// Command-line options of kestrel-cli, parsed without touching the disk.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::cli {

struct Options {
    enum class Command { none, correct, phase, profile, watch, help, version } command = Command::none;

    // correct and profile
    std::optional<std::string> phase1x1;   // text as given, converted like the phase field
    std::optional<std::string> phase2x2;
    double amplitude = 0;                  // 0: measure each image
    bool balancedEstimator = false;        // --estimator balanced: gradient-robust amplitude

    // correct
    bool overwrite = false;
    bool replaceOutputs = false;           // replace any file of an output's name
    std::optional<std::filesystem::path> outputDir;
    std::optional<std::filesystem::path> csv;
    unsigned jobs = 0;                     // 0: one per core
    bool verify = false;                   // add each written image's residual amplitude
    bool noPhaseCheck = false;             // correct (and watch) at a phase the frame contradicts

    // watch; the folders are in `files`
    double settle = 2;                     // seconds without a write before a frame is taken
    bool existingSkip = false;             // --existing skip: only frames that land later
    std::optional<double> poll;            // look at the folders every so many seconds

    // phase
    bool save = false;
    bool scores = false;                   // print every candidate's score and contrast
    bool force = false;                    // --save also a phase that does not stand out;
                                           // correct --overwrite also files corrected before

    // phase and profile: the plot file (.svg, .png or .pdf); profile takes one FILE then
    std::optional<std::filesystem::path> plot;

    std::vector<std::filesystem::path> files;
};

struct ParseResult {
    Options options;
    std::string error; // empty when the arguments were understood
};

ParseResult parseArguments(const std::vector<std::string>& args);

/// Where the system expands wildcards for the program (Windows), a FILE that still
/// holds * or ? matched no file: it is taken out of `args`, and `messages` gets
/// "kestrel-cli: no file matches PATTERN" for it. True when one was taken out.
bool dropUnmatchedPatterns(std::vector<std::string>& args, std::string& messages);

/// The synopsis, printed with every usage error.
std::string usageText();
/// The synopsis and every option with its default, the result line and the exit
/// status: what --help prints.
std::string helpText();
/// What --version prints: the version and the licence.
std::string versionText(const std::string& version);

} // namespace kestrel::cli
