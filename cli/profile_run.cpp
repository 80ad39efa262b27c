#include "cli/profile_run.h"

#include "charts/band_charts.h"
#include "cli/output.h"
#include "cli/run.h"

#include <iostream>
#include <string>

namespace kestrel::cli {
namespace {

void printProfile(const std::string& name, const ImageOutcome& outcome, const BandProfile& p, bool balanced)
{
    std::cout << fieldText(name) << "\t" << outcome.binning << "\tphase " << p.phase << "\tcolumns "
              << p.columns.first << " to " << p.columns.last;
    // Where the frame's own banding is strongest, beside the phase it is profiled at.
    if (outcome.ownPhase)
        std::cout << "\town phase " << outcome.ownPhase->phase << "\tsignificance "
                  << significanceText(outcome.ownPhase->significance);
    std::cout << "\n"
              << "position\tbefore\tafter\n";
    for (std::size_t q = 0; q < p.before.size(); ++q)
        std::cout << q << "\t" << threeDecimals(p.before[q]) << "\t" << threeDecimals(p.after[q]) << "\n";
    std::cout << "amplitude\t" << threeDecimals(outcome.amplitude.value_or(0)) << "\testimator\t"
              << estimatorName(outcome, balanced) << "\n"
              << "residual\t" << threeDecimals(p.residual.amplitude) << "\tphase\t" << p.residual.phase << "\tnoise\t"
              << threeDecimals(p.residual.noise) << "\n";
}

} // namespace

int runProfile(const Options& o, const std::filesystem::path& settingsFile)
{
    const std::optional<PhaseFields> phases = phaseFieldsFor(o, settingsFile);
    if (!phases)
        return 1;
    int status = 0;
    for (std::size_t i = 0; i < o.files.size(); ++i) {
        ImageResult file;
        file.input = o.files[i];
        const ProfileOutcome out = profileFile(o.files[i], *phases, {o.amplitude, o.balancedEstimator});
        file.outcome = out.image;
        reportBoxes(file.input, file.outcome, settingsFile);
        if (i > 0)
            std::cout << "\n";
        if (file.outcome.result != ImageOutcome::Result::corrected) {
            // The correction's own line says why: skipped or failed, and the values read.
            std::cout << resultLine(file, false) << "\n" << std::flush;
            status = 1;
            continue;
        }
        const std::string name = file.input.filename().string();
        printProfile(name, file.outcome, out.profile, o.balancedEstimator);
        std::cout << std::flush;
        if (o.plot && !drawn(profileChart(name, file.outcome, out.profile, o.balancedEstimator), *o.plot))
            status = 1;
    }
    return status;
}

} // namespace kestrel::cli
