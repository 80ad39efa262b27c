#include "cli/options.h"

#include "core/numbers.h"
#include "plot/plot.h"

namespace kestrel::cli {

std::string usageText()
{
    return "usage: kestrel-cli correct [--phase-1x1 N] [--phase-2x2 N] [--amplitude A] [--verify]\n"
           "                           [--overwrite | --output-dir DIR] [--csv FILE] [--jobs N] FILE...\n"
           "       kestrel-cli phase [--save] [--scores] [--plot FILE] FILE\n"
           "       kestrel-cli profile [--phase-1x1 N] [--phase-2x2 N] [--amplitude A] [--plot FILE] FILE...\n"
           "       kestrel-cli --help | --version\n";
}

std::string helpText()
{
    return usageText() +
           "\n"
           "correct   corrects each 32-bit float image into a new file and prints one line per\n"
           "          image; --verify adds the residual amplitude of the image as written (ADU).\n"
           "phase     finds the band phase of a 16-bit image; --scores prints each candidate\n"
           "          phase with its score, then the margin: (best - second best score) divided\n"
           "          by (highest - lowest score) / 16 (8 when 2x2-binned). A sharp band edge\n"
           "          gives 1, a tie 0; a low margin marks a doubtful phase.\n"
           "profile   measures what the correction would do, without writing any image: the\n"
           "          band profile before and after it (the mean level of each column position\n"
           "          of the band period, counted from the phase: the first half is the\n"
           "          reference band, the second the offset band), the amplitude applied and the\n"
           "          residual amplitude, measured on the corrected pixels with the same bounds.\n"
           "--plot    draws the scores or the profile as SVG, PNG or PDF (by the extension);\n"
           "          profile draws one image, so it takes one FILE with it.\n"
           "Exit status: 0 all done, 1 something skipped or failed, 2 usage.\n";
}

ParseResult parseArguments(const std::vector<std::string>& args)
{
    ParseResult r;
    Options& o = r.options;
    auto fail = [&](std::string message) {
        r.error = std::move(message);
        return r;
    };
    if (args.empty())
        return fail("no command given");

    using Command = Options::Command;
    const std::string& command = args[0];
    if (command == "--help" || command == "-h")
        o.command = Command::help;
    else if (command == "--version")
        o.command = Command::version;
    else if (command == "correct")
        o.command = Command::correct;
    else if (command == "phase")
        o.command = Command::phase;
    else if (command == "profile")
        o.command = Command::profile;
    else
        return fail("unknown command '" + command + "'");
    if (o.command == Command::help || o.command == Command::version) {
        if (args.size() > 1)
            return fail("'" + command + "' takes no arguments");
        return r;
    }

    // Which options each command takes.
    const Command c = o.command;
    auto flag = [&](const std::string& a) -> bool* {
        if (c == Command::correct && a == "--overwrite")
            return &o.overwrite;
        if (c == Command::correct && a == "--verify")
            return &o.verify;
        if (c == Command::phase && a == "--save")
            return &o.save;
        if (c == Command::phase && a == "--scores")
            return &o.scores;
        return nullptr;
    };
    auto takesValue = [&](const std::string& a) {
        if ((c == Command::correct || c == Command::profile) &&
            (a == "--phase-1x1" || a == "--phase-2x2" || a == "--amplitude"))
            return true;
        if (c == Command::correct && (a == "--output-dir" || a == "--csv" || a == "--jobs"))
            return true;
        return (c == Command::phase || c == Command::profile) && a == "--plot";
    };

    bool optionsEnded = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            o.files.emplace_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            o.command = Command::help;
            return r;
        }
        if (bool* set = flag(a)) {
            *set = true;
            continue;
        }
        if (!takesValue(a))
            return fail("unknown option '" + a + "' for '" + command + "'");
        if (i + 1 >= args.size())
            return fail("option '" + a + "' needs a value");
        const std::string& value = args[++i];
        if (a == "--phase-1x1") {
            o.phase1x1 = value;
        } else if (a == "--phase-2x2") {
            o.phase2x2 = value;
        } else if (a == "--amplitude") {
            const auto converted = parseReal(value);
            if (!converted.ok())
                return fail("--amplitude: '" + value + "' is not a number");
            if (!(converted.value > 0))
                return fail("Amphlitude must be greater than 0.0.");
            o.amplitude = converted.value;
        } else if (a == "--output-dir") {
            if (value.empty())
                return fail("--output-dir: no folder given");
            o.outputDir = value;
        } else if (a == "--csv") {
            if (value.empty())
                return fail("--csv: no file name given");
            o.csv = value;
        } else if (a == "--jobs") {
            const auto converted = parseInteger(value);
            if (!converted.ok() || converted.value < 1 || converted.value > 1024)
                return fail("--jobs: '" + value + "' is not a number of jobs from 1 to 1024");
            o.jobs = static_cast<unsigned>(converted.value);
        } else if (a == "--plot") {
            if (!plot::formatFor(value))
                return fail("--plot: '" + value + "' must end in .svg, .png or .pdf");
            o.plot = value;
        }
    }
    if (o.overwrite && o.outputDir)
        return fail("--overwrite and --output-dir exclude each other");
    if (o.files.empty())
        return fail("no FITS file given");
    if (o.command == Command::phase && o.files.size() != 1)
        return fail("'phase' takes exactly one FILE");
    if (o.command == Command::profile && o.plot && o.files.size() != 1)
        return fail("--plot draws the profile of one image: give one FILE with it");
    return r;
}

} // namespace kestrel::cli
