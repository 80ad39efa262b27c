#include "app/window_arguments.h"

#include "online/online.h"

namespace kestrel {

WindowArguments::Action helpOrVersion(const std::vector<std::string>& args)
{
    for (const std::string& a : args) {
        if (a == "--")
            break;
        if (a == "--help" || a == "-h")
            return WindowArguments::Action::help;
        if (a == "--version")
            return WindowArguments::Action::version;
    }
    return WindowArguments::Action::window;
}

WindowArguments parseWindowArguments(const std::vector<std::string>& args)
{
    WindowArguments r;
    bool optionsEnded = false;
    for (const std::string& a : args) {
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && (a == "--help" || a == "-h")) {
            r.action = WindowArguments::Action::help;
            return r;
        }
        if (!optionsEnded && a == "--version") {
            r.action = WindowArguments::Action::version;
            return r;
        }
        if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            r.action = WindowArguments::Action::usageError;
            r.error = "unknown option '" + a + "'";
            return r;
        }
        if (a.empty()) {
            r.action = WindowArguments::Action::usageError;
            r.error = "an empty file name was given";
            return r;
        }
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(a, ec);
        r.files.push_back(ec ? std::filesystem::path(a) : absolute.lexically_normal());
    }
    return r;
}

std::string windowUsageText() { return "usage: kestrel [--help | --version] [--] [FILE...]\n"; }

// The man page kestrel(1) says the same at more length.
std::string windowHelpText()
{
    return windowUsageText() +
           "\n"
           "Opens the Kestrel window, which removes the faint vertical banding of\n"
           "KAI-11000M frames from 32-bit float FITS images and finds the band phase\n"
           "from a raw 16-bit unsigned frame.\n"
           "\n"
           "  FILE...        correct these images at once, as if chosen with Select Files\n"
           "                 or dropped onto the window (the desktop opens FITS files so)\n"
           "  -h, --help     print this help and exit\n"
           "  --version      print the version and the licence and exit\n"
           "  --             end the options: every later argument is a FILE\n"
           "Qt's own options, such as -platform NAME or -display DISPLAY, are taken too.\n"
           "\n"
           "Exit status: 0 once the window is closed; 2 for a usage error.\n"
           "\n"
           "Files: kestx.ini (the phases) and kestrel.csv (Save Results) live beside the\n"
           "program, or, installed, in ~/.config/kestrel/ and ~/.local/share/kestrel/.\n"
           "kestrel-cli does the same work without a window.\n"
           "See kestrel(1), kestrel-cli(1) and the manual Kestrel.pdf.\n";
}

std::string windowVersionText()
{
    return std::string("kestrel ") + programVersion + "\n" + copyrightLine +
           "\n"
           "Kestrel is free software under the MIT License; it comes without warranty of\n"
           "any kind.\n";
}

} // namespace kestrel
