// kestrel-cli: the window's batch correction and phase finding for scripts and
// headless machines, file for file and bit for bit what the window writes.
#include "cli/correct_run.h"
#include "cli/options.h"
#include "cli/profile.h"
#include "cli/run.h"

#include "core/program_folder.h"
#include "online/online.h"
#include "settings/settings.h"

#include <iostream>

namespace kestrel::cli {
namespace {

int runPhase(const Options& o, const kestrel::FileLocations& where)
{
    const PhaseResult out = findPhaseOf(o.files.front());
    for (const auto& m : out.messages)
        std::cerr << o.files.front().filename().string() << ": " << m << "\n";
    std::cout << out.line << "\n" << std::flush;
    if (out.status != FileResult::Status::corrected)
        return 1;
    const int shown = showPhaseScores(o, out);
    if (o.save) {
        // A phase that was not stored must not let a script go on to correct a night
        // with the old one.
        try {
            storePhase(where.settingsFile, out.outcome->bands, out.outcome->search.phase);
        } catch (const std::exception& e) {
            std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
            return 1;
        }
    }
    return shown;
}

} // namespace
} // namespace kestrel::cli

int main(int argc, char** argv)
{
    using namespace kestrel::cli;
    const ParseResult parsed = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::cerr << "kestrel-cli: " << parsed.error << "\n" << usageText();
        return 2;
    }
    const Options& o = parsed.options;
    const auto where = kestrel::FileLocations::forProgram(kestrel::executableFolder());
    switch (o.command) {
    case Options::Command::help:
        std::cout << helpText();
        return 0;
    case Options::Command::version:
        std::cout << "kestrel-cli " << kestrel::programVersion << "\n";
        return 0;
    case Options::Command::correct:
        return runCorrect(o, where);
    case Options::Command::phase:
        return runPhase(o, where);
    case Options::Command::profile:
        return runProfile(o, where.settingsFile);
    case Options::Command::none:
        break;
    }
    std::cerr << usageText();
    return 2;
}
