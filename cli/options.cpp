#include "cli/options.h"

#include "core/numbers.h"

namespace kestrel::cli {

std::string usageText()
{
    return "usage: kestrel-cli correct [--phase-1x1 N] [--phase-2x2 N] [--amplitude A]\n"
           "                           [--overwrite | --output-dir DIR] [--csv FILE] [--jobs N] FILE...\n"
           "       kestrel-cli phase [--save] FILE\n"
           "       kestrel-cli --help | --version\n";
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

    const std::string& command = args[0];
    if (command == "--help" || command == "-h")
        o.command = Options::Command::help;
    else if (command == "--version")
        o.command = Options::Command::version;
    else if (command == "correct")
        o.command = Options::Command::correct;
    else if (command == "phase")
        o.command = Options::Command::phase;
    else
        return fail("unknown command '" + command + "'");
    if (o.command == Options::Command::help || o.command == Options::Command::version) {
        if (args.size() > 1)
            return fail("'" + command + "' takes no arguments");
        return r;
    }

    const bool correcting = o.command == Options::Command::correct;
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
            o.command = Options::Command::help;
            return r;
        }
        if (!correcting) {
            if (a == "--save") {
                o.save = true;
                continue;
            }
            return fail("unknown option '" + a + "' for 'phase'");
        }
        if (a == "--overwrite") {
            o.overwrite = true;
            continue;
        }
        const bool takesValue = a == "--phase-1x1" || a == "--phase-2x2" || a == "--amplitude" ||
                                a == "--output-dir" || a == "--csv" || a == "--jobs";
        if (!takesValue)
            return fail("unknown option '" + a + "' for 'correct'");
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
        }
    }
    if (o.overwrite && o.outputDir)
        return fail("--overwrite and --output-dir exclude each other");
    if (o.files.empty())
        return fail("no FITS file given");
    if (o.command == Options::Command::phase && o.files.size() != 1)
        return fail("'phase' takes exactly one FILE");
    return r;
}

} // namespace kestrel::cli
