// Kestrel: the main window and its two dialogs.
#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"
#include "app/window_arguments.h"
#include "core/program_folder.h"
#include "core/standard_descriptors.h"

#include <QApplication>

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

/// Prints what the command line asked for instead of a window; false when it asked
/// for the window.
bool answered(kestrel::WindowArguments::Action action)
{
    using Action = kestrel::WindowArguments::Action;
    if (action == Action::help)
        std::cout << kestrel::windowHelpText();
    else if (action == Action::version)
        std::cout << kestrel::windowVersionText();
    return action == Action::help || action == Action::version;
}

/// False when the window has no screen to open on. Qt would otherwise end the program
/// with an abort and advice to reinstall it. A platform chosen by the user (the
/// environment or -platform, e.g. offscreen) is left to Qt.
bool displayAvailable([[maybe_unused]] int argc, [[maybe_unused]] char** argv)
{
#if defined(_WIN32)
    return true;
#else
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    return false;
#endif
}

} // namespace

int main(int argc, char** argv)
{
    // Before any file is opened: a closed output must not become a file's descriptor.
    kestrel::ensureStandardDescriptors();
    // Answered before Qt looks for a display, so that they work on any console.
    if (answered(kestrel::helpOrVersion({argv + 1, argv + argc})))
        return 0;

    if (!displayAvailable(argc, argv)) {
        std::cerr << "kestrel: the window needs a display, and none is set (DISPLAY is empty); "
                     "kestrel-cli corrects files without one\n";
        return 1;
    }
    QApplication app(argc, argv); // takes out Qt's own options
    const kestrel::WindowArguments given = kestrel::parseWindowArguments({argv + 1, argv + argc});
    if (given.action == kestrel::WindowArguments::Action::usageError) {
        std::cerr << "kestrel: " << given.error << "\n" << kestrel::windowUsageText();
        return 2;
    }
    if (answered(given.action))
        return 0;
    kestrel::nameApplication();

    kestrel::QtHost host;
    kestrel::CurlDownloader downloader;
    kestrel::MainWindow window(host, downloader, kestrel::FileLocations::forProgram(kestrel::executableFolder()),
                               kestrel::builtInAddresses());
    window.create();
    // Children of the window, declared after it so that they go first.
    kestrel::TForm2 about(&window, host, window.form().homePage());
    kestrel::TForm3 disclaimers(&window);
    window.setDialogs(&about, &disclaimers);

    // Files given, as the desktop gives those the user opened with Kestrel, are
    // corrected once the window is on the screen, as dropped files are.
    window.correctOnceShown(given.files);
    window.showCentred();
    return QApplication::exec();
}
