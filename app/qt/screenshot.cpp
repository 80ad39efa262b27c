// Renders the main window, as it opens, to a PNG file for the README. Run it with the
// offscreen platform: kestrel-screenshot window.png
#include "app/qt/main_window.h"

#include <QApplication>
#include <QPixmap>

#include <cstdio>
#include <filesystem>

namespace {

/// No network for a picture: every download fails quietly.
class NoDownloads : public kestrel::Downloader {
public:
    bool download(const std::string&, const std::filesystem::path&) override { return false; }
};

/// Start-up reports the failed downloads in boxes; a picture needs none of them.
class QuietHost : public kestrel::QtHost {
public:
    void errorBox(const std::string&) override {}
    void plainBox(const std::string&) override {}
    void generalErrorBox(const std::string&) override {}
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrel-screenshot OUTPUT.png\n");
        return 2;
    }
    QApplication app(argc, argv);
    kestrel::nameApplication();
    QuietHost host;
    NoDownloads downloader;
    const auto folder = std::filesystem::temp_directory_path() / "kestrel-screenshot";
    std::filesystem::create_directories(folder);
    kestrel::MainWindow window(host, downloader, folder);
    window.create();
    window.form().window.updatePanel.visible = false;
    window.form().window.messagePanel.visible = false;
    window.sync();
    window.show();
    QApplication::processEvents();
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
