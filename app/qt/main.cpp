// Kestrel: the main window and its two dialogs.
#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"
#include "core/program_folder.h"

#include <QApplication>
#include <QScreen>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
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

    if (QScreen* screen = QApplication::primaryScreen())
        window.move(screen->availableGeometry().center() - window.rect().center());
    window.show();
    return QApplication::exec();
}
