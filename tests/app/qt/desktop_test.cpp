// The window on a real X server with a window manager (see on_private_display.sh):
// captions as the window manager reads them, the dialogs' title bars and placement,
// closing a dialog with Alt+F4, handing documents to the desktop, and where a box of
// the start lands.
#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"

#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <cstring>
#include <filesystem>
#include <functional>

namespace kestrel {
namespace {

QString output(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(5000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

/// True once the window manager has made the widget's window the active one: Qt may
/// call a window active before the window manager has given it the keyboard, and a key
/// sent then goes to the window before.
bool activeOnTheDesktop(const QWidget* w)
{
    return output("xdotool", {"getactivewindow"}).toULongLong() == static_cast<qulonglong>(w->window()->winId());
}

/// A property of the widget's X window as xprop prints it after " = ", such as
/// "\"About Kestrel\"".
std::string property(const QWidget* w, const char* name)
{
    const QString line = output("xprop", {"-id", QString::number(w->winId()), name});
    const qsizetype eq = line.indexOf(" = ");
    return eq < 0 ? line.toStdString() : line.mid(eq + 3).toStdString();
}

/// Handles events until `done` holds; false after fifteen seconds (a loaded machine may
/// keep the window manager waiting).
bool waitFor(const std::function<bool()>& done, qint64 milliseconds = 15000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > milliseconds)
            return false;
        QTest::qWait(10);
    }
    return true;
}

/// The widget's window on the screen, frame included, as the X server and the window
/// manager have it; empty while it is not shown framed. Qt's own idea can lag: it
/// takes a move for done before the window manager has made it, and may ask for the
/// frame before the window manager has told it.
QRect frameOnScreen(const QWidget* w)
{
    const QString info = output("xwininfo", {"-id", QString::number(w->winId())});
    const auto field = [&info](const char* label) {
        const qsizetype at = info.indexOf(label);
        return at < 0 ? QString() : info.mid(at + qsizetype(std::strlen(label))).section('\n', 0, 0).trimmed();
    };
    unsigned left = 0, right = 0, top = 0, bottom = 0;
    if (field("Map State:") != "IsViewable" ||
        std::sscanf(property(w, "_NET_FRAME_EXTENTS").c_str(), "%u, %u, %u, %u", &left, &right, &top, &bottom) != 4)
        return {};
    return QRect(field("Absolute upper-left X:").toInt(), field("Absolute upper-left Y:").toInt(),
                 field("Width:").toInt(), field("Height:").toInt())
        .adjusted(-int(left), -int(top), int(right), int(bottom));
}

class NoDownloads : public Downloader {
public:
    bool download(const std::string&, const std::filesystem::path&, Clock::time_point) override { return false; }
};

class Desktop : public ::testing::Test {
protected:
    Desktop()
    {
        window.create();
        window.setDialogs(&about, &disclaimers);
        // Placed before it is shown, as the program places it in the middle of the screen.
        window.move(301, 117);
        window.show();
        // Until Qt has heard where the window manager put the window, a dialog would be
        // centred over an old place.
        EXPECT_TRUE(waitFor([this] { return window.frameGeometry() == frameOnScreen(&window); }))
            << "Qt has the main window at " << window.frameGeometry().x() << "," << window.frameGeometry().y();
        EXPECT_TRUE(waitFor([this] { return !host.holdsBoxes(); })) << "boxes still wait for the window";
    }
    void open(QDialog* d)
    {
        window.menuBar()->findChild<QAction*>(d == &about ? "Aboit1" : "DisclaimersandCopyright1")->trigger();
        EXPECT_TRUE(waitFor([d] { return !frameOnScreen(d).isEmpty(); }));
    }
    /// Opens a box or dialog with `show`, reads both of its X captions and closes it.
    std::string captionsOf(const std::function<void()>& show)
    {
        std::string seen;
        QTimer::singleShot(0, [&seen] {
            QWidget* box = nullptr;
            EXPECT_TRUE(waitFor([&box] { return (box = QApplication::activeModalWidget()) && box->isVisible(); }));
            if (!box)
                return;
            seen = property(box, "_NET_WM_NAME") + " " + property(box, "WM_NAME");
            box->close();
        });
        show();
        return seen;
    }

    testing::TempDir folder;
    QtHost host;
    NoDownloads downloads;
    MainWindow window{host, downloads, folder.path()};
    TForm2 about{&window, host, "http://kestrel.example.org/"};
    TForm3 disclaimers{&window};
    QDialog* const both[2] = {&about, &disclaimers};
};

TEST_F(Desktop, EveryCaptionReadsExactlyAsWritten)
{
    EXPECT_EQ(property(&window, "_NET_WM_NAME"), "\"Kestrel Version 1.35.\"");
    EXPECT_EQ(property(&window, "WM_NAME"), "\"Kestrel Version 1.35.\"");
    // The task bar groups the windows under the application's name.
    EXPECT_NE(property(&window, "WM_CLASS").find(", \"Kestrel\""), std::string::npos) << property(&window, "WM_CLASS");
    for (QDialog* d : both) {
        open(d);
        const std::string caption = "\"" + d->windowTitle().toStdString() + "\"";
        EXPECT_EQ(property(d, "_NET_WM_NAME"), caption);
        EXPECT_EQ(property(d, "WM_NAME"), caption);
        d->hide();
    }
    EXPECT_EQ(captionsOf([this] { host.errorBox("e"); }), "\"Error\" \"Error\"");
    EXPECT_EQ(captionsOf([this] { host.confirm("c", false); }), "\"Confirm\" \"Confirm\"");
    EXPECT_EQ(captionsOf([this] { host.plainBox("p"); }), "\"Kestrel\" \"Kestrel\"");
    EXPECT_EQ(captionsOf([this] { host.generalErrorBox("g"); }), "\"Kestrel\" \"Kestrel\"");
    EXPECT_EQ(captionsOf([this] { host.openFiles(selectTitle, fitsFilter, true); }),
              "\"Select FITS Image(s)\" \"Select FITS Image(s)\"");
}

TEST_F(Desktop, DialogsAskForATitleBarWithoutButtons)
{
    for (QDialog* d : both) {
        open(d);
        // Motif hints: flags, functions, decorations, ... The functions are given, and
        // they are moving (and resizing, which the fixed size rules out) only: no
        // close, minimise or maximise.
        unsigned flags = 0, functions = 0;
        ASSERT_EQ(std::sscanf(property(d, "_MOTIF_WM_HINTS").c_str(), "%x, %x", &flags, &functions), 2);
        EXPECT_TRUE(flags & 0x1) << d->objectName().toStdString();
        EXPECT_EQ(functions & (0x01 | 0x08 | 0x10 | 0x20), 0u) << d->objectName().toStdString();
        EXPECT_TRUE(functions & 0x04) << d->objectName().toStdString();
        d->hide();
    }
}

TEST_F(Desktop, DialogsLandCentredByTheirFramesFromTheFirstShowOn)
{
    for (QDialog* d : both)
        for (const char* show : {"first", "second"}) {
            open(d);
            QRect main, frame;
            QPoint expected;
            const bool centred = waitFor([&] {
                main = frameOnScreen(&window);
                frame = frameOnScreen(d);
                expected = {main.left() + (main.width() - frame.width()) / 2,
                            main.top() + (main.height() - frame.height()) / 2};
                return frame.topLeft() == expected;
            });
            EXPECT_TRUE(centred) << d->objectName().toStdString() << ", " << show << " show: at " << frame.x() << ","
                                 << frame.y() << " instead of " << expected.x() << "," << expected.y();
            d->hide();
            EXPECT_TRUE(waitFor([d] { return frameOnScreen(d).isEmpty(); }));
        }
}

TEST_F(Desktop, TheKeyboardsCloseCommandGivesTheMainWindowBack)
{
    for (QDialog* d : both) {
        open(d);
        ASSERT_TRUE(waitFor([d] { return QApplication::activeWindow() == d && activeOnTheDesktop(d); }))
            << d->objectName().toStdString();
        EXPECT_FALSE(window.centralWidget()->isEnabled());
        // Openbox closes the active window on Alt+F4, as most window managers do. A
        // window manager kept busy by other programs on the machine now and then lets a
        // key go by; the user then presses again, and so does the test, once.
        QProcess::execute("xdotool", {"key", "alt+F4"});
        if (!waitFor([d] { return !d->isVisible(); }, 5000))
            QProcess::execute("xdotool", {"key", "alt+F4"});
        EXPECT_TRUE(waitFor([d] { return !d->isVisible(); })) << d->objectName().toStdString();
        EXPECT_TRUE(window.form().window.enabled);
        EXPECT_TRUE(window.centralWidget()->isEnabled());
        EXPECT_TRUE(window.menuBar()->isEnabled());
    }
}

TEST_F(Desktop, DocumentsGoToTheDesktopsOpenerWhenThereIsOne)
{
    const QByteArray path = qgetenv("PATH");
    // No opener at all: nothing could take the manual.
    qputenv("PATH", "/nonexistent");
    EXPECT_FALSE(host.openDocument((folder / "Kestrel.pdf").string()));
    EXPECT_FALSE(host.openDocument("mailto:kestrel@example.org?subject=Kestrel..."));

    // An opener that notes what it was given; a missing manual is its business.
    const std::filesystem::path bin = folder / "bin", log = folder / "opened.txt";
    std::filesystem::create_directory(bin);
    testing::writeFile(bin / "xdg-open", "#!/bin/sh\necho \"$1\" >> '" + log.string() + "'\n");
    std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    qputenv("PATH", QByteArray::fromStdString(bin.string()) + ":" + path);
    EXPECT_TRUE(host.openDocument((folder / "Kestrel.pdf").string()));
    EXPECT_TRUE(host.openDocument("mailto:kestrel@example.org?subject=Kestrel..."));
    qputenv("PATH", path);
    // The two openers run side by side and may note their targets in either order.
    const std::string pdf = "file://" + (folder / "Kestrel.pdf").string() + "\n";
    const std::string mail = "mailto:kestrel@example.org?subject=Kestrel...\n";
    EXPECT_TRUE(waitFor([&] {
        if (!std::filesystem::exists(log))
            return false;
        const std::string noted = testing::readFile(log);
        return noted == pdf + mail || noted == mail + pdf;
    })) << (std::filesystem::exists(log) ? testing::readFile(log) : "nothing opened");
}

TEST_F(Desktop, AnOpenerThatFindsNoProgramGetsABoxNamingTheFile)
{
    // xdg-open as it answers without a program for PDF files: exit status 3.
    const std::filesystem::path bin = folder / "bin";
    std::filesystem::create_directory(bin);
    testing::writeFile(bin / "xdg-open", "#!/bin/sh\necho 'xdg-open: no method available for opening' >&2\nexit 3\n");
    std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(bin.string()) + ":" + path);
    std::string said;
    QTimer look;
    look.setInterval(50);
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            said = box->text().toStdString();
            look.stop();
            box->close();
        }
    });
    look.start();
    window.menuBar()->findChild<QAction*>("Help2")->trigger();
    EXPECT_TRUE(waitFor([&] { return !look.isActive(); })) << "no box came";
    qputenv("PATH", path);
    EXPECT_EQ(said, noPdfReaderText(folder / "Kestrel.pdf"));
}

/// Centred by frames, give or take the pixel that halving an odd difference loses.
bool centred(const QRect& inner, const QRect& outer)
{
    const QPoint off = (inner.topLeft() - outer.topLeft()) * 2 - QPoint(outer.width() - inner.width(), outer.height() - inner.height());
    return std::abs(off.x()) <= 1 && std::abs(off.y()) <= 1;
}

TEST(DesktopStart, TheBoxOfAFailedUpdateCheckLandsOverTheShownMainWindow)
{
    testing::TempDir folder;
    QtHost host;
    NoDownloads downloads; // every download fails at once
    MainWindow window(host, downloads, folder.path(), {"http://127.0.0.1:9", ""});
    window.create();
    // Where the program puts it: in the middle of the screen.
    window.move(QApplication::primaryScreen()->availableGeometry().center() - window.rect().center());

    // The box waits for its OK in a loop of its own; a timer looks at it from there.
    QRect main, box;
    QString text;
    QElapsedTimer clock;
    clock.start();
    QTimer look;
    look.setInterval(50);
    QObject::connect(&look, &QTimer::timeout, [&] {
        QWidget* shown = QApplication::activeModalWidget();
        if (!shown || clock.elapsed() > 20000)
            return;
        main = frameOnScreen(&window);
        box = frameOnScreen(shown);
        // The window manager may take a moment to put it where it was asked to go.
        if (box.isEmpty() || main.isEmpty() || (!centred(box, main) && clock.elapsed() < 5000))
            return;
        text = qobject_cast<QMessageBox*>(shown)->text();
        look.stop();
        shown->close();
    });
    look.start();
    window.show();
    ASSERT_TRUE(waitFor([&] { return !look.isActive(); })) << "no box came";
    EXPECT_EQ(text.toStdString(), "Error downloading http://127.0.0.1:9/kestrel/update.txt");
    EXPECT_FALSE(main.isEmpty()) << "the main window was not on the screen beneath the box";
    EXPECT_TRUE(main.contains(box)) << "box at " << box.x() << "," << box.y() << " over the window at " << main.x()
                                    << "," << main.y();
    EXPECT_TRUE(centred(box, main)) << "box centred at " << box.center().x() << "," << box.center().y()
                                    << ", the window at " << main.center().x() << "," << main.center().y();
}

/// Clicks the close button at the right end of the window's title bar, as a user
/// would, once a box over the window waits for its answer, and notes what it said.
class CloseOverTheBox {
public:
    explicit CloseOverTheBox(MainWindow& window)
    {
        look_.setInterval(50);
        QObject::connect(&look_, &QTimer::timeout, [this, &window] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            const QRect frame = frameOnScreen(&window);
            if (!box || frameOnScreen(box).isEmpty() || frame.isEmpty())
                return;
            look_.stop();
            said = box->text().toStdString();
            QProcess::execute("xdotool", {"mousemove", QString::number(frame.right() - 8),
                                          QString::number(frame.top() + 10), "click", "1"});
            // A close that was lost must fail the test, not leave it waiting on the box.
            QTimer::singleShot(5000, box, [box] { box->close(); });
        });
        look_.start();
    }
    bool clicked() const { return !look_.isActive(); }
    std::string said;

private:
    QTimer look_;
};

TEST(DesktopClose, AClosePressedWhileABoxIsOpenIsNeverLost)
{
    // A notice's box: the update check fails as the window comes up. The box goes, and
    // the window closes and keeps its settings.
    {
        testing::TempDir folder;
        std::filesystem::current_path(folder.path()); // stored as the last folder on closing
        QtHost host;
        NoDownloads downloads;
        MainWindow window(host, downloads, folder.path(), {"http://127.0.0.1:9", ""});
        window.create();
        window.move(301, 117);
        CloseOverTheBox user(window);
        window.show();
        EXPECT_TRUE(waitFor([&] { return user.clicked(); })) << "no box came";
        EXPECT_EQ(user.said, "Error downloading http://127.0.0.1:9/kestrel/update.txt");
        EXPECT_TRUE(waitFor([&] { return !window.isVisible() && !QApplication::activeModalWidget(); }));
        EXPECT_TRUE(window.form().closeDue());
        EXPECT_TRUE(std::filesystem::exists(folder / "kestx.ini"));
    }
    // A run's question, of a run on files given at start: the close answers it No, and
    // no image is treated.
    testing::TempDir folder;
    QtHost host;
    NoDownloads downloads;
    MainWindow window(host, downloads, folder.path());
    window.create();
    window.move(301, 117);
    window.form().window.edit1 = "8";
    const std::filesystem::path frame = folder / "frame.fits";
    testing::writeFile(frame, testing::headerRecords(testing::floatImageCards(4008, 2)) +
                                  testing::floatData(std::vector<float>(4008 * 2, 1000.0f)));
    window.correctOnceShown({frame});
    CloseOverTheBox user(window);
    window.show();
    EXPECT_TRUE(waitFor([&] { return user.clicked(); })) << "no box came";
    EXPECT_EQ(user.said, "Overwrite existing files?");
    EXPECT_TRUE(waitFor([&] { return !window.isVisible() && !QApplication::activeModalWidget(); }));
    EXPECT_FALSE(std::filesystem::exists(folder / "kestrel")) << "an image was treated after the close";
}

/// Serves both notices at once: the message and a newer version.
class NoticeDownloads : public Downloader {
public:
    bool download(const std::string& url, const std::filesystem::path& local, Clock::time_point) override
    {
        testing::writeFile(local, url.ends_with("update.txt") ? "1.36\nhttp://127.0.0.1/k.zip\nFaster\n"
                                                              : "Hello\nClear skies\n");
        return true;
    }
};

TEST(DesktopClose, AltF4ClosesTheWindowWithTheNoticePanelsShowing)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        testing::TempDir folder;
        std::filesystem::current_path(folder.path()); // stored as the last folder on closing
        QtHost host;
        NoticeDownloads downloads;
        MainWindow window(host, downloads, folder.path(), {"http://127.0.0.1:9", ""});
        window.create();
        window.show();
        ASSERT_TRUE(waitFor([&] {
            return QApplication::activeWindow() == &window && activeOnTheDesktop(&window) &&
                   window.form().window.updatePanel.visible && window.form().window.messagePanel.visible;
        }));
        QProcess::execute("xdotool", {"key", "alt+F4"});
        EXPECT_TRUE(waitFor([&] { return !window.isVisible(); })) << "attempt " << attempt;
    }
}

TEST(DesktopStart, TheWindowsFrameLandsInTheMiddleOfTheScreen)
{
    testing::TempDir folder;
    QtHost host;
    NoDownloads downloads;
    MainWindow window(host, downloads, folder.path());
    window.create();
    window.showCentred();
    const QRect screen = QApplication::primaryScreen()->availableGeometry();
    QRect frame;
    // The window manager frames the window first where it was asked to go.
    EXPECT_TRUE(waitFor([&] {
        frame = frameOnScreen(&window);
        return !frame.isEmpty() && frame.height() > window.height() && centred(frame, screen);
    })) << "frame at " << frame.x() << "," << frame.y() << ", " << frame.width() << " x " << frame.height();
}

} // namespace
} // namespace kestrel

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "xcb");
    // Qt's own file dialog, whatever the desktop would offer instead.
    qunsetenv("QT_QPA_PLATFORMTHEME");
    QApplication app(argc, argv);
    kestrel::nameApplication();
    return RUN_ALL_TESTS();
}
