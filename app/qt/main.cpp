// Kestrel: the main window and its two dialogs.
#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"
#include "core/program_folder.h"

#include <QApplication>
#include <QScreen>

#include <memory>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kestrel");
    QApplication::setApplicationDisplayName("Kestrel");

    kestrel::QtHost host;
    kestrel::CurlDownloader downloader;
    kestrel::MainWindow window(host, downloader, kestrel::executableFolder());
    window.create();
    std::unique_ptr<QDialog> about(kestrel::makeAboutDialog());
    std::unique_ptr<QDialog> disclaimers(kestrel::makeDisclaimersDialog());
    window.setDialogs(about.get(), disclaimers.get());

    if (QScreen* screen = QApplication::primaryScreen())
        window.move(screen->availableGeometry().center() - window.rect().center());
    window.show();
    return QApplication::exec();
}
