// Renders the main window as it opens, or one of its notice panels or dialogs, to a PNG
// file for the README. Run it with the offscreen platform:
//   kestrel-screenshot [--update-panel | --message-panel | --about | --disclaimers] OUTPUT.png
#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"

#include <QApplication>
#include <QPixmap>

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

/// No network for a picture: the window is made without a server, so nothing is
/// fetched.
class NoDownloads : public kestrel::Downloader {
public:
    bool download(const std::string&, const std::filesystem::path&, Clock::time_point) override { return false; }
};

/// A picture needs no box.
class QuietHost : public kestrel::QtHost {
public:
    void errorBox(const std::string&) override {}
    void plainBox(const std::string&) override {}
    void generalErrorBox(const std::string&) override {}
};

/// A notice and a message such as the maker's server might send.
void showSampleNotices(kestrel::WindowModel& m, bool update, bool message)
{
    m.updatePanel.visible = update;
    m.label9 = "The latest version is 1.36";
    m.updatePanel.memoLines = {"Kestrel 1.36", "", "- Faster correction of 2x2-binned images.",
                               "- Clearer messages for damaged files."};
    m.messagePanel.visible = message;
    m.messagePanel.memoLines = {"Clear skies!", "", "Thank you for using Kestrel.",
                                "Suggestions are welcome: see the Help menu."};
}

int usage()
{
    std::fprintf(stderr, "usage: kestrel-screenshot [--update-panel | --message-panel | --about | --disclaimers] "
                         "OUTPUT.png\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3)
        return usage();
    const char* what = argc == 3 ? argv[1] : "";
    const char* output = argv[argc - 1];
    const bool update = !std::strcmp(what, "--update-panel"), message = !std::strcmp(what, "--message-panel");
    const bool about = !std::strcmp(what, "--about"), disclaimers = !std::strcmp(what, "--disclaimers");
    if (argc == 3 && !update && !message && !about && !disclaimers)
        return usage();

    QApplication app(argc, argv);
    kestrel::nameApplication();
    QuietHost host;
    NoDownloads downloader;
    const auto folder = std::filesystem::temp_directory_path() / "kestrel-screenshot";
    std::filesystem::create_directories(folder);
    kestrel::MainWindow window(host, downloader, folder);
    window.create();
    kestrel::TForm2 aboutDialog(&window, host, window.form().homePage());
    kestrel::TForm3 disclaimersDialog(&window);
    showSampleNotices(window.form().window, update, message);
    window.sync();
    window.show();
    QWidget* shown = &window;
    if (about || disclaimers) {
        shown = about ? static_cast<QWidget*>(&aboutDialog) : &disclaimersDialog;
        shown->show();
    }
    QApplication::processEvents();
    if (!shown->grab().save(QString::fromLocal8Bit(output))) {
        std::fprintf(stderr, "cannot write %s\n", output);
        return 1;
    }
    return 0;
}
