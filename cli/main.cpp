// kestrel-cli: the window's batch correction and phase finding for scripts and
// headless machines, file for file and bit for bit what the window writes.
#include "cli/correct_run.h"
#include "cli/entry.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/profile.h"
#include "cli/run.h"
#include "cli/watch_run.h"
#include "engine/targets.h"

#include "core/failure.h"
#include "core/program_folder.h"
#include "core/standard_descriptors.h"
#include "core/version.h"
#include "settings/settings.h"

#include <algorithm>
#include <iostream>

namespace kestrel::cli {
namespace {

/// Prints the found phase's line, its warning, scores and plot, and stores it with
/// --save: the status of that much.
int finishPhase(const Options& o, const kestrel::FileLocations& where, const std::string& name,
                const PhaseOutcome& out, const std::string& line)
{
    std::cout << line << "\n" << std::flush;
    // A phase that nobody could read is not stored either.
    if (outputError())
        return 1;
    const int shown = showPhaseScores(o, name, out);
    if (o.save) {
        // A phase that was not stored must not let a script go on to correct a night
        // with the old one.
        if (!phaseMayBeStored(o, out))
            return 1;
        try {
            storePhase(where.settingsFile, out.bands, out.search.phase);
        } catch (const std::exception& e) {
            std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
            return 1;
        }
    }
    return shown;
}

/// One file searched, its reports on standard error: the outcome.
PhaseOutcome searchedFile(const std::filesystem::path& input)
{
    PhaseOutcome out = searchFilePhase(input, true);
    if (out.result == PhaseOutcome::Result::unreadable)
        std::cerr << input.filename().string() << ": " << out.message << "\n";
    reportBoxes(input, out.reports,
                out.contrastFailure.empty()
                    ? std::string()
                    : "the significance of the phase could not be measured: " + out.contrastFailure);
    return out;
}

int runPhase(const Options& o, const kestrel::FileLocations& where)
{
    // One 16-bit frame: the finder's phase, as the window finds it.
    std::vector<PhaseOutcome> found;
    std::vector<std::string> names;
    int status = 0;
    for (const std::filesystem::path& input : o.files) {
        PhaseOutcome out = searchedFile(input);
        if (o.files.size() == 1 && !out.fromFloat) {
            if (out.result != PhaseOutcome::Result::found) {
                std::cout << phaseLine(input, out) << "\n" << std::flush;
                return 1;
            }
            return finishPhase(o, where, input.filename().string(), out, phaseLine(input, out));
        }
        if (out.result != PhaseOutcome::Result::found || out.contrasts.empty()) {
            std::cout << phaseLine(input, out) << "\n" << std::flush;
            status = 1;
            continue;
        }
        found.push_back(std::move(out));
        names.push_back(input.filename().string());
    }
    // Frames of one binning together: their contrasts combined, one line for each binning.
    std::vector<PhaseOutcome> groups;
    if (const auto failure = caughtFailure([&] { groups = combinedPhases(found); })) {
        std::cerr << "kestrel-cli: the frames' contrasts could not be combined: " << *failure << "\n";
        return 1;
    }
    if (o.plot && groups.size() > 1) {
        std::cerr << "kestrel-cli: --plot draws the contrasts of one binning; the frames are of both: give those "
                     "of one\n";
        return 1;
    }
    for (const PhaseOutcome& group : groups) {
        std::string name = "combined";
        for (std::size_t i = 0; group.frames == 1 && i < found.size(); ++i)
            if (found[i].bands == group.bands)
                name = names[i];
        status = std::max(status, finishPhase(o, where, name, group, combinedPhaseLine(name, group)));
    }
    return status;
}

int run(const Options& o)
{
    using Command = Options::Command;
    switch (o.command) {
    case Command::help:
        std::cout << helpText();
        return 0;
    case Command::version:
        std::cout << versionText(kestrel::programVersion);
        return 0;
    case Command::none:
        break;
    default:
        // Results and plots never go over an input or another kind of file: checked
        // before any image is touched.
        if (o.plot)
            if (const auto problem = plotFileProblem(*o.plot, o.files)) {
                std::cerr << "kestrel-cli: " << problem->message << "\n";
                return problem->usage ? 2 : 1;
            }
        break;
    }
    const auto where = kestrel::FileLocations::forProgram(kestrel::executableFolder());
    switch (o.command) {
    case Command::correct:
        return runCorrect(o, where);
    case Command::phase:
        return runPhase(o, where);
    case Command::profile:
        return runProfile(o, where.settingsFile);
    case Command::watch:
        return runWatch(o, where);
    default:
        break;
    }
    std::cerr << usageText();
    return 2;
}

} // namespace
} // namespace kestrel::cli

int kestrel::cli::runCommandLine(const std::vector<std::string>& arguments)
{
    // Before any file is opened: a closed output must not become an image's descriptor.
    kestrel::ensureStandardDescriptors();
    installOutput();
    try {
        const ParseResult parsed = parseArguments(arguments);
        if (!parsed.error.empty()) {
            std::cerr << "kestrel-cli: " << parsed.error << "\n" << usageText();
            return finishOutput(2);
        }
        const int status = run(parsed.options);
        // correct has reported a failed output itself, and stopped for it.
        return finishOutput(status, parsed.options.command == Options::Command::correct ||
                                           parsed.options.command == Options::Command::watch);
    } catch (const std::exception& e) {
        std::cerr << "kestrel-cli: " << kestrel::failureMessage(e) << "\n";
    } catch (...) {
        std::cerr << "kestrel-cli: an unexpected failure ended the run\n";
    }
    return finishOutput(1);
}
