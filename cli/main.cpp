// kestrel-cli: the window's batch correction and phase finding for scripts and
// headless machines, file for file and bit for bit what the window writes.
#include "cli/correct_run.h"
#include "cli/entry.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/phase_run.h"
#include "cli/profile_run.h"
#include "cli/watch_run.h"
#include "engine/targets.h"

#include "core/failure.h"
#include "core/program_folder.h"
#include "core/standard_descriptors.h"
#include "core/version.h"

#include <iostream>

namespace kestrel::cli {
namespace {

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
