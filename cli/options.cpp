#include "cli/options.h"

#include "analysis/band_geometry.h"
#include "core/numbers.h"
#include "core/platform.h"
#include "engine/choices.h"
#include "plot/plot.h"

#include <limits>
#include <optional>
#include <set>

namespace kestrel::cli {

namespace {

// The Windows build draws no plots and has no man pages; its help names what it has.
#if defined(_WIN32)
constexpr const char* plotUsage = "";
constexpr bool drawsPlots = false;
#else
constexpr const char* plotUsage = " [--plot FILE]";
constexpr bool drawsPlots = true;
#endif

} // namespace

std::string usageText()
{
    return std::string("usage: kestrel-cli correct [--phase-1x1 N] [--phase-2x2 N] [--amplitude A]\n"
                       "                           [--estimator standard|balanced]\n"
                       "                           [--overwrite [--force] | --output-dir DIR]\n"
                       "                           [--replace-outputs]\n"
                       "                           [--csv FILE] [--jobs N] [--verify] [--no-phase-check]\n"
                       "                           FILE...\n"
                       "       kestrel-cli watch [--phase-1x1 N] [--phase-2x2 N] [--amplitude A]\n"
                       "                         [--estimator standard|balanced] [--output-dir DIR]\n"
                       "                         [--csv FILE] [--jobs N] [--settle SECONDS]\n"
                       "                         [--existing skip|correct] [--poll SECONDS]\n"
                       "                         [--no-phase-check] FOLDER...\n"
                       "       kestrel-cli phase [--save [--force]] [--scores]") +
           plotUsage +
           " FILE...\n"
           "       kestrel-cli profile [--phase-1x1 N] [--phase-2x2 N] [--amplitude A]\n"
           "                           [--estimator standard|balanced]" +
           plotUsage +
           " FILE...\n"
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
           "  --phase-1x1 N     band phase of unbinned images (4008 or 4032 columns),\n"
           "                    0 to 32; 0 means 32; auto: each frame's own, where its\n"
           "                    band stands out (significance 5 or more), else the frame\n"
           "                    is skipped; default: 1x1phase in kestx.ini\n"
           "  --phase-2x2 N     band phase of 2x2-binned images (2004 or 2016 columns),\n"
           "                    0 to 16; 0 means 16; auto as for 1x1; default: 2x2phase\n"
           "                    in kestx.ini\n"
           "  --amplitude A     add A ADU (above 0) to the darker half of every image\n"
           "                    instead of measuring it; default: measure each image\n"
           "  --estimator E     how to measure it: standard, as the window does (each\n"
           "                    reference band against the offset band before it), or\n"
           "                    balanced (each offset band against the reference bands on\n"
           "                    both sides, so that a sky gradient cancels);\n"
           "                    default: standard\n"
           "  --overwrite       replace each FILE by its corrected image; default: write\n"
           "                    into the folder kestrel inside the first FILE's folder;\n"
           "                    without it no FILE is ever replaced\n"
           "  --force           with --overwrite: correct again the FILEs that an\n"
           "                    interrupted run replaced already and that are unchanged\n"
           "                    since; default: skip them\n"
           "  --output-dir DIR  write the corrected images into DIR (made if missing)\n"
           "  --replace-outputs replace any file of an output's name in the output\n"
           "                    folder; default: only an earlier correction of the same\n"
           "                    FILE (same header and size), any other is kept and its\n"
           "                    FILE skipped\n"
           "  --csv FILE        append the measured results to FILE as Save Results does;\n"
           "                    default: none\n"
           "  --jobs N          treat N files at once, 1 to 1024; default: one per core\n"
           "  --verify          add the residual to each line: the largest balanced\n"
           "                    amplitude left at any phase in the written image, and\n"
           "                    the phase corrected at beside the frame's own strongest\n"
           "                    phase and its significance; default: off\n"
           "  --no-phase-check  correct at the given phase even where the frame's own\n"
           "                    banding stands out at another; default: such a frame is\n"
           "                    skipped, naming both phases\n"
           "watch     watches each FOLDER and corrects every frame (.fit, .fits or .fts)\n"
           "          that lands in it, as correct would, once it is whole and has not\n"
           "          been written for a while; a frame written again is corrected again;\n"
           "          one result line per frame as it is done; runs until stopped\n"
           "  --phase-1x1 N, --phase-2x2 N, --amplitude A, --estimator E, --csv FILE,\n"
           "  --jobs N, --no-phase-check\n"
           "                    as for correct; --csv appends each frame's results\n"
           "  --output-dir DIR  write the corrected frames into DIR; default: the folder\n"
           "                    kestrel inside each FOLDER\n"
           "  --settle SECONDS  take a frame once no write has touched it for SECONDS;\n"
           "                    default: 2\n"
           "  --existing E      correct: also the frames already in FOLDER without a\n"
           "                    correction in the output folder; skip: only new ones;\n"
           "                    default: correct\n"
           "  --poll SECONDS    look at each FOLDER every SECONDS instead of waiting for\n"
           "                    the system's news of it (network shares); default: off\n"
           "phase     finds the band phase of FILE and prints it with its significance:\n"
           "          the band contrast at that phase over its standard error; below 5\n"
           "          the phase does not stand out from the noise, and a warning says so.\n"
           "          One 16-bit frame is searched as the window searches it; 32-bit float\n"
           "          frames, and several frames, by the band contrast of the samples\n"
           "          the amplitude counts, the frames of one binning together: one line\n"
           "          per binning, with the number of frames\n"
           "  --save            store the phase in kestx.ini if its significance is 5 or\n"
           "                    more; default: only print it\n"
           "  --force           with --save: store it whatever its significance\n"
           "  --scores          print each candidate phase with its score, its band\n"
           "                    contrast (ADU) and significance; default: off\n" +
           (drawsPlots ? "  --plot FILE       draw the contrast of each candidate into FILE (.svg, .png\n"
                         "                    or .pdf); default: none\n"
                       : "") +
           "profile   prints the band profile of each FILE before and after correction\n"
           "          (the mean level of each column position of the period, counted from\n"
           "          the phase), the amplitude applied and its estimator, and the\n"
           "          residual with its phase and noise level; writes no image\n"
           "  --phase-1x1 N, --phase-2x2 N, --amplitude A, --estimator E   as for correct;\n"
           "                    the first line names the frame's own strongest phase\n" +
           (drawsPlots ? "  --plot FILE       draw the profile into FILE (.svg, .png or .pdf); with\n"
                         "                    --plot, profile takes one FILE; default: none\n"
                       : "") +
           "\n"
           "Result line of correct, fields separated by tabs: file name, binning (1x1 or\n"
           "2x2), background (ADU), exposure (s), CCD temperature (C, or Failed),\n"
           "amplitude (ADU), outcome (corrected, skipped: REASON or failed: REASON) and,\n"
           "with --verify, the residual (ADU), the phase corrected at, the frame's own\n"
           "phase and its significance. phase prints the file name, the binning, the\n"
           "phase and its significance (for float or several frames: the name, or\n"
           "combined, and the number of frames after them), or two empty fields and the\n"
           "outcome. A tab, line end or backslash in a name is written \\t, \\n, \\r or\n"
           "\\\\. The window's messages go to standard error.\n"
           "\n"
           "A value may also follow its option after an equals sign (--jobs=2); -h is\n"
           "--help; -- ends the options, so that a FILE may begin with -.\n"
           "\n"
           "Exit status: 0 every file corrected (phase: found, and stored with --save;\n"
           "profile: every file profiled and its plot drawn); 1 a file skipped or\n"
           "failed, a settings file not read, a results file, plot or standard output\n"
           "not written, a phase not stored (also one that does not stand out), a\n"
           "residual not measured or (watch) no folder left to watch; 2 usage error,\n"
           "also a results file or plot that names an input or is no file of its kind;\n"
           "128+N stopped by signal N (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP, 141 output\n"
           "closed): once stopped, no further file is replaced; a watch ends so.\n"
           "\n"
#if defined(_WIN32)
           "Files: kestx.ini (the phases) lives beside kestrel-cli.exe when its folder\n"
           "may be written (a portable copy, such as the folder the ZIP was unpacked\n"
           "into), otherwise in %APPDATA%\\Kestrel. See the manual Kestrel.pdf and\n"
           "README-Windows.txt beside the program.\n";
#else
           "Files: kestx.ini (the phases) lives beside the program, or, installed, in\n"
           "~/.config/kestrel/. See kestrel-cli(1) and the manual Kestrel.pdf.\n";
#endif
}

std::string versionText(const std::string& version)
{
    return "kestrel-cli " + version +
           "\n"
           "Copyright (c) 2026 The Kestrel developers\n"
           "MIT License: free software, without warranty; see the LICENSE file.\n";
}

bool dropUnmatchedPatterns(std::vector<std::string>& args, std::string& messages)
{
    // The options whose value is the next argument: a value is never a FILE.
    static const std::set<std::string> takesValue{"--phase-1x1", "--phase-2x2", "--amplitude", "--estimator",
                                                  "--output-dir", "--csv",      "--jobs",      "--plot"};
    std::vector<std::string> kept;
    bool onlyFiles = false;
    bool dropped = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool option = !onlyFiles && a.starts_with("-");
        if (option && a == "--")
            onlyFiles = true;
        if (option && takesValue.contains(a) && i + 1 < args.size()) {
            kept.push_back(a);
            kept.push_back(args[++i]);
        } else if (!option && i > 0 && a.find_first_of("*?") != std::string::npos) {
            messages += "kestrel-cli: no file matches " + a + "\n";
            dropped = true;
        } else {
            kept.push_back(a);
        }
    }
    args = std::move(kept);
    return dropped;
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
    else if (command == "watch")
        o.command = Command::watch;
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
        if (c == Command::correct && a == "--replace-outputs")
            return &o.replaceOutputs;
        if (c == Command::correct && a == "--verify")
            return &o.verify;
        if ((c == Command::correct || c == Command::watch) && a == "--no-phase-check")
            return &o.noPhaseCheck;
        if (c == Command::phase && a == "--save")
            return &o.save;
        if (c == Command::phase && a == "--scores")
            return &o.scores;
        if ((c == Command::phase || c == Command::correct) && a == "--force")
            return &o.force;
        return nullptr;
    };
    auto takesValue = [&](const std::string& a) {
        if (c == Command::watch)
            return a == "--phase-1x1" || a == "--phase-2x2" || a == "--amplitude" || a == "--estimator" ||
                   a == "--output-dir" || a == "--csv" || a == "--jobs" || a == "--settle" ||
                   a == "--existing" || a == "--poll";
        if ((c == Command::correct || c == Command::profile) &&
            (a == "--phase-1x1" || a == "--phase-2x2" || a == "--amplitude" || a == "--estimator"))
            return true;
        if (c == Command::correct && (a == "--output-dir" || a == "--csv" || a == "--jobs"))
            return true;
        return (c == Command::phase || c == Command::profile) && a == "--plot";
    };

    bool optionsEnded = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (arg.empty())
                return fail("an empty FILE name was given");
            o.files.push_back(pathFromUtf8(arg));
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // --option=value is --option value.
        std::string a = arg;
        std::optional<std::string> attached;
        if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            a = arg.substr(0, eq);
            attached = arg.substr(eq + 1);
        }
        if (a == "--help" || a == "-h") {
            o.command = Command::help;
            return r;
        }
        if (bool* set = flag(a)) {
            if (attached)
                return fail("option '" + a + "' takes no value");
            *set = true;
            continue;
        }
        // An acquisition program may still hold the file it wrote.
        if (c == Command::watch && a == "--overwrite")
            return fail("--overwrite is refused by 'watch': an acquisition program may still hold its frame");
        if (!takesValue(a))
            return fail("unknown option '" + a + "' for '" + command + "'");
        if (!attached && i + 1 >= args.size())
            return fail("option '" + a + "' needs a value");
        const std::string& value = attached ? *attached : args[++i];
        if (a == "--phase-1x1" || a == "--phase-2x2") {
            // The window's phase fields take any whole number; on the command line a
            // phase outside the period is a slip that would correct with the wrong sign.
            const bool unbinned = a == "--phase-1x1";
            const int period = bandGeometry(unbinned ? Binning::unbinned : Binning::binned2x2).period;
            const auto converted = parseInteger(value);
            if (value != "auto" && (!converted.ok() || converted.value < 0 || converted.value > period))
                return fail(a + ": '" + value + "' is not a phase from 0 to " + std::to_string(period) + " or auto");
            (unbinned ? o.phase1x1 : o.phase2x2) = value;
        } else if (a == "--amplitude") {
            // A text that is no number reads as NaN: the rule of every front end says why.
            const auto converted = parseReal(value);
            const double typed = converted.ok() ? converted.value : std::numeric_limits<double>::quiet_NaN();
            if (const AmplitudeFault fault = amplitudeFault(typed); fault != AmplitudeFault::none)
                return fail("--amplitude: '" + value + "' " + amplitudeFaultText(fault));
            o.amplitude = typed;
        } else if (a == "--estimator") {
            if (value != "standard" && value != "balanced")
                return fail("--estimator: '" + value + "' is neither standard nor balanced");
            o.balancedEstimator = value == "balanced";
        } else if (a == "--output-dir") {
            if (value.empty())
                return fail("--output-dir: no folder given");
            o.outputDir = pathFromUtf8(value);
        } else if (a == "--csv") {
            if (value.empty())
                return fail("--csv: no file name given");
            o.csv = pathFromUtf8(value);
        } else if (a == "--jobs") {
            const auto converted = parseInteger(value);
            if (!converted.ok() || converted.value < 1 || converted.value > 1024)
                return fail("--jobs: '" + value + "' is not a number of jobs from 1 to 1024");
            o.jobs = static_cast<unsigned>(converted.value);
        } else if (a == "--settle" || a == "--poll") {
            const auto converted = parseReal(value);
            const bool settle = a == "--settle";
            if (!converted.ok() || !(settle ? converted.value >= 0 : converted.value > 0) ||
                !(converted.value <= 3600))
                return fail(a + ": '" + value + "' is not a number of seconds from " + (settle ? "0" : "above 0") +
                            " to 3600");
            (settle ? o.settle : o.poll.emplace()) = converted.value;
        } else if (a == "--existing") {
            if (value != "skip" && value != "correct")
                return fail("--existing: '" + value + "' is neither skip nor correct");
            o.existingSkip = value == "skip";
        } else if (a == "--plot") {
            if (value.empty())
                return fail("--plot: no file name given");
            if (const auto why = plot::plotsUnavailable())
                return fail("--plot: " + *why);
            if (!plot::formatFor(value))
                return fail("--plot: '" + value + "' must end in .svg, .png or .pdf");
            o.plot = pathFromUtf8(value);
        }
    }
    if (o.overwrite && o.outputDir)
        return fail("--overwrite and --output-dir exclude each other");
    if (o.force && c == Command::phase && !o.save)
        return fail("--force goes with --save");
    if (o.force && c == Command::correct && !o.overwrite)
        return fail("--force goes with --overwrite");
    if (o.files.empty())
        return fail(o.command == Command::watch ? "no FOLDER given" : "no FITS file given");
    if (o.command == Command::profile && o.plot && o.files.size() != 1)
        return fail("--plot draws the profile of one image: give one FILE with it");
    return r;
}

} // namespace kestrel::cli
