#include "cli/options.h"

#include "core/numbers.h"
#include "plot/plot.h"

namespace kestrel::cli {

std::string usageText()
{
    return "usage: kestrel-cli correct [--phase-1x1 N] [--phase-2x2 N] [--amplitude A]\n"
           "                           [--overwrite | --output-dir DIR] [--csv FILE]\n"
           "                           [--jobs N] [--verify] FILE...\n"
           "       kestrel-cli phase [--save] [--scores] [--plot FILE] FILE\n"
           "       kestrel-cli profile [--phase-1x1 N] [--phase-2x2 N] [--amplitude A]\n"
           "                           [--plot FILE] FILE...\n"
           "       kestrel-cli --help | --version\n";
}

// The man page kestrel-cli(1) says the same at more length; a test holds the option
// names of both together, and another keeps every line within 80 columns.
std::string helpText()
{
    return usageText() +
           "\n"
           "Removes the faint vertical banding of KAI-11000M frames from 32-bit float\n"
           "FITS images, file for file and bit for bit as the Kestrel window does, and\n"
           "finds the band phase from a raw 16-bit unsigned frame.\n"
           "\n"
           "correct   corrects each FILE and prints one result line per file\n"
           "  --phase-1x1 N     band phase of unbinned images (4008 or 4032 columns);\n"
           "                    0 means 32; default: 1x1phase in kestx.ini\n"
           "  --phase-2x2 N     band phase of 2x2-binned images (2004 or 2016 columns);\n"
           "                    0 means 16; default: 2x2phase in kestx.ini\n"
           "  --amplitude A     add A ADU (above 0) to the darker half of every image\n"
           "                    instead of measuring it; default: measure each image\n"
           "  --overwrite       replace each FILE by its corrected image; default: write\n"
           "                    into the folder kestrel inside the first FILE's folder\n"
           "  --output-dir DIR  write the corrected images into DIR (made if missing)\n"
           "  --csv FILE        append the measured results to FILE as Save Results does;\n"
           "                    default: none\n"
           "  --jobs N          treat N files at once, 1 to 1024; default: one per core\n"
           "  --verify          add the residual amplitude after correction to each\n"
           "                    line; default: off\n"
           "phase     finds the band phase of FILE and prints it\n"
           "  --save            store the phase in kestx.ini; default: only print it\n"
           "  --scores          print the score of every candidate phase, then the margin:\n"
           "                    (best - second best) / ((highest - lowest) / 16), 8 when\n"
           "                    2x2-binned: 1 for a sharp band edge, 0 for a tie;\n"
           "                    default: off\n"
           "  --plot FILE       draw the scores into FILE (.svg, .png or .pdf);\n"
           "                    default: none\n"
           "profile   prints the band profile of each FILE before and after correction\n"
           "          (the mean level of each column position of the period, counted from\n"
           "          the phase), the amplitude applied and the residual; writes no image\n"
           "  --phase-1x1 N, --phase-2x2 N, --amplitude A   as for correct\n"
           "  --plot FILE       draw the profile into FILE (.svg, .png or .pdf); with\n"
           "                    --plot, profile takes one FILE; default: none\n"
           "\n"
           "Result line of correct, fields separated by tabs: file name, binning (1x1 or\n"
           "2x2), background (ADU), exposure (s), CCD temperature (C, or Failed),\n"
           "amplitude (ADU), outcome (corrected, skipped: REASON or failed: REASON) and,\n"
           "with --verify, the residual amplitude (ADU). phase prints the file name, the\n"
           "binning and the phase. A tab, line end or backslash in a name is written \\t,\n"
           "\\n, \\r or \\\\. The window's messages go to standard error.\n"
           "\n"
           "Exit status: 0 every file corrected (phase: found, and stored with --save);\n"
           "1 a file skipped or failed, a settings file not read, a results file not\n"
           "written or a phase not stored; 2 usage error; 128+N stopped by signal N\n"
           "(130 Ctrl-C, 143 SIGTERM, 129 SIGHUP, 141 output closed): once stopped, no\n"
           "further file is replaced.\n"
           "\n"
           "Files: kestx.ini (the phases) and kestrel.csv (Save Results) live beside the\n"
           "program, or, installed, in ~/.config/kestrel/ and ~/.local/share/kestrel/.\n"
           "See kestrel-cli(1) and the manual Kestrel.pdf.\n";
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
            if (const auto why = plot::plotsUnavailable())
                return fail("--plot: " + *why);
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
