// Renders the main window as it opens, after a batch run, or with one of its notice
// panels or dialogs, to a PNG file for the README and the manual. Run it with the
// offscreen platform:
//   kestrel-screenshot [--results | --update-panel | --message-panel | --about | --disclaimers] OUTPUT.png
#include "app/form.h"
#include "core/standard_descriptors.h"
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

/// The window after a batch run over a night's frames, one of which held fewer samples
/// than its header promised: each row rendered from its outcome as a run renders it.
void showSampleRun(kestrel::TForm1& form)
{
    struct Frame {
        const char* name;
        double background;
        int exposure, temperature;
        double amplitude; // 0: not measured
    };
    const Frame frames[] = {
        {"M33_L_300s_001.fits", 812.47, 300, -20, 4.112}, {"M33_L_300s_002.fits", 815.02, 300, -20, 4.087},
        {"M33_L_300s_003.fits", 818.93, 300, -20, 4.164}, {"M33_L_300s_004.fits", 0, 300, -20, 0},
        {"M33_L_300s_005.fits", 823.60, 300, -20, 4.031}, {"M33_L_300s_006.fits", 826.15, 300, -19, 4.125},
        {"M33_L_300s_007.fits", 829.84, 300, -19, 4.078},
    };
    kestrel::WindowModel& m = form.window;
    m.edit1 = "8";
    m.edit2 = "4";
    m.grid.setRowCount(static_cast<int>(std::size(frames)) + 1);
    std::vector<double> amplitudes;
    int row = 0;
    for (const Frame& f : frames) {
        kestrel::ImageOutcome outcome;
        outcome.binning = "1x1";
        outcome.exposure = f.exposure;
        outcome.temperature = f.temperature;
        if (f.amplitude > 0) {
            outcome.result = kestrel::ImageOutcome::Result::corrected;
            outcome.background = f.background;
            outcome.amplitude = f.amplitude;
            outcome.measured = true;
        } else {
            outcome.result = kestrel::ImageOutcome::Result::notCorrected;
        }
        m.grid.setCell(0, ++row, f.name);
        kestrel::showInGridRow(outcome, m.grid, row);
        amplitudes.push_back(f.amplitude > 0 ? f.amplitude : kestrel::failedAmplitude);
    }
    form.showAmplitudeStatistics(amplitudes, 0, static_cast<int>(amplitudes.size()) - 1);
    m.button6.visible = true;
}

int usage()
{
    std::fprintf(stderr, "usage: kestrel-screenshot [--results | --update-panel | --message-panel | --about | "
                         "--disclaimers] OUTPUT.png\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    kestrel::ensureStandardDescriptors();
    if (argc < 2 || argc > 3)
        return usage();
    const char* what = argc == 3 ? argv[1] : "";
    const char* output = argv[argc - 1];
    const bool update = !std::strcmp(what, "--update-panel"), message = !std::strcmp(what, "--message-panel");
    const bool about = !std::strcmp(what, "--about"), disclaimers = !std::strcmp(what, "--disclaimers");
    const bool results = !std::strcmp(what, "--results");
    if (argc == 3 && !update && !message && !about && !disclaimers && !results)
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
    if (results)
        showSampleRun(window.form());
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
