// The About and Disclaimers and Copyright dialogs over the main window, on Qt's
// offscreen platform.
#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"

#include "app/qt/jpeg_image.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QDragEnterEvent>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <functional>

namespace kestrel {
namespace {

/// Records what would reach the user; nobody is there to answer.
class QuietHost : public QtHost {
public:
    std::vector<std::string> shown, opened;
    int fileDialogs = 0;
    void errorBox(const std::string& t) override { shown.push_back(t); }
    void plainBox(const std::string& t) override { shown.push_back(t); }
    void generalErrorBox(const std::string& t) override { shown.push_back(t); }
    std::vector<std::filesystem::path> openFiles(const std::string&, const std::string&, bool) override
    {
        ++fileDialogs;
        return {};
    }
    bool openDocument(const std::string& target) override
    {
        opened.push_back(target);
        return true;
    }
};

class NoDownloads : public Downloader {
public:
    bool download(const std::string&, const std::filesystem::path&, Clock::time_point) override { return false; }
};

class Dialogs : public ::testing::Test {
protected:
    Dialogs()
    {
        window.create();
        window.setDialogs(&about, &disclaimers);
        window.show();
        QApplication::processEvents();
    }

    void open(QDialog* d) { menuItem(d == &about ? "Aboit1" : "DisclaimersandCopyright1")->trigger(); }
    QAction* menuItem(const char* name) { return window.menuBar()->findChild<QAction*>(name); }
    template <class T> T* in(QWidget* parent, const char* name)
    {
        T* w = parent->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    /// Whether the main window would take a file dropped on it.
    bool takesDrop()
    {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(KESTREL_SOURCE_DIR "/LICENSE")});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &enter);
        return enter.isAccepted();
    }
    bool mainWindowTakesInput()
    {
        return window.form().window.enabled && window.centralWidget()->isEnabled() && window.menuBar()->isEnabled();
    }

    testing::TempDir folder;
    QuietHost host;
    NoDownloads downloads;
    // No server: nothing is fetched, and the home page is the one shipped with the program.
    MainWindow window{host, downloads, folder.path(), {"", "kestrel@example.org"}};
    // Declared after the window: children of it that must go first.
    TForm2 about{&window, host, window.form().homePage()};
    TForm3 disclaimers{&window};
    QDialog* const both[2] = {&about, &disclaimers};
};

TEST_F(Dialogs, CaptionsSizesAndTextsThatFitTheirPlaces)
{
    EXPECT_EQ(about.windowTitle(), "About Kestrel");
    EXPECT_EQ(about.size(), QSize(245, 215));
    EXPECT_EQ(disclaimers.windowTitle(), "Disclaimers and Copyright");
    EXPECT_EQ(disclaimers.size(), QSize(415, 226));
    for (QDialog* d : both) {
        EXPECT_EQ(d->minimumSize(), d->maximumSize());
        EXPECT_FALSE(d->windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint));
    }

    EXPECT_EQ(in<QLabel>(&about, "Label10")->text(), "Version 1.35   May 22, 2017");
    EXPECT_EQ(in<QLabel>(&about, "Label12")->text(), makerName);
    EXPECT_EQ(in<QLabel>(&about, "Label14")->pos(), QPoint(86, 115));
    for (const char* name : {"Label9", "Label10", "Label11", "Label12", "Label13", "Label14"}) {
        auto* l = in<QLabel>(&about, name);
        EXPECT_TRUE(QRect(0, 0, 245, 215).contains(l->geometry())) << name << " runs off the picture";
        EXPECT_FALSE(l->autoFillBackground()) << name << " hides the picture";
    }
    auto* home = in<QPushButton>(&about, "Button3");
    EXPECT_TRUE(home->text().contains(makerName));
    EXPECT_LE(home->fontMetrics().horizontalAdvance(home->text().remove('&')), home->width() - 8);

    EXPECT_EQ(in<QLabel>(&disclaimers, "Label1")->text(), copyrightLine);
    auto* terms = in<QLabel>(&disclaimers, "Label2");
    EXPECT_EQ(terms->size(), QSize(334, 113));
    EXPECT_LE(terms->heightForWidth(334), 113) << "the terms do not fit their box";
    EXPECT_EQ(in<QPushButton>(&about, "Button4")->text(), "&Return To Program");
    EXPECT_EQ(in<QPushButton>(&disclaimers, "Button1")->text(), "&Return To Program");

    // The picture as decoded, not with its colours swapped or its rows skewed.
    const RgbImage decoded = decodeJpeg(aboutPicture());
    const QImage shown = in<QLabel>(&about, "Image1")->pixmap().toImage();
    ASSERT_EQ(shown.size(), QSize(245, 215));
    for (const QPoint p : {QPoint(120, 30), QPoint(170, 92), QPoint(244, 214)}) {
        const std::uint8_t* rgb = &decoded.rgb[(static_cast<std::size_t>(p.y()) * 245 + p.x()) * 3];
        EXPECT_EQ(shown.pixelColor(p), QColor(rgb[0], rgb[1], rgb[2])) << p.x() << "," << p.y();
    }
}

TEST_F(Dialogs, TheLicenceFileHasTheSameCopyrightLine)
{
    const std::string licence = testing::readFile(std::filesystem::path(KESTREL_SOURCE_DIR) / "LICENSE");
    const std::size_t line = licence.find("\nCopyright");
    ASSERT_NE(line, std::string::npos);
    EXPECT_EQ(licence.substr(line + 1, licence.find('\n', line + 1) - line - 1), copyrightLine);
}

TEST_F(Dialogs, EachOpensCentredOverTheMainWindowWhereverItStands)
{
    for (QDialog* d : both)
        for (const QPoint at : {QPoint(0, 0), QPoint(301, 117), QPoint(-40, 700), QPoint(1500, 3)}) {
            window.move(at);
            QApplication::processEvents();
            open(d);
            const QRect main = window.frameGeometry();
            const QSize size = d->frameGeometry().size();
            EXPECT_EQ(d->pos(), QPoint(main.x() + (main.width() - size.width()) / 2,
                                       main.y() + (main.height() - size.height()) / 2))
                << d->objectName().toStdString() << " at " << at.x() << "," << at.y();
            d->hide();
        }
    EXPECT_TRUE(host.shown.empty());
}

TEST(DialogPlacement, HalvesRoundTowardZero)
{
    EXPECT_EQ(centredOver(QRect(100, 50, 500, 400), QSize(245, 215)), QPoint(100 + 127, 50 + 92));
    // A window smaller than the dialog: -145 / 2 is -72, not -73.
    EXPECT_EQ(centredOver(QRect(10, 20, 100, 50), QSize(245, 215)), QPoint(10 - 72, 20 - 82));

    // A main window framed 1 pixel wide with a 20-pixel title bar, 491 x 341 inside.
    const QRect mainFrame(100, 50, 493, 362), mainClient(101, 70, 491, 341);
    // Framed alike, the About dialog's outer size is 247 x 236; move() takes the frame's
    // corner once the frame is known, the client area's before.
    EXPECT_EQ(placeOver(mainFrame, mainClient, QRect(0, 0, 247, 236), QRect(1, 20, 245, 215)), QPoint(223, 113));
    EXPECT_EQ(placeOver(mainFrame, mainClient, QRect(0, 0, 245, 215), QRect(0, 0, 245, 215)), QPoint(224, 133));
}

TEST_F(Dialogs, TheMainWindowTakesNoInputUntilTheDialogClosesByAnyMeans)
{
    const std::function<void(QDialog*)> ways[] = {
        [this](QDialog* d) { QTest::mouseClick(in<QPushButton>(d, d == &about ? "Button4" : "Button1"), Qt::LeftButton); },
        [](QDialog* d) { QTest::keyClick(d, Qt::Key_Escape); },
        [](QDialog* d) { d->close(); }, // the window manager's close, Alt+F4
        [](QDialog* d) { d->hide(); },
    };
    for (std::size_t way = 0; way < std::size(ways); ++way)
        for (QDialog* d : both) {
            const std::string which = d->objectName().toStdString() + " way " + std::to_string(way);
            open(d);
            ASSERT_TRUE(d->isVisible()) << which;
            EXPECT_FALSE(mainWindowTakesInput()) << which;
            QTest::mouseClick(in<QPushButton>(&window, "Button1"), Qt::LeftButton);
            EXPECT_EQ(host.fileDialogs, 0) << "Select Files answered behind " << which;
            EXPECT_FALSE(takesDrop()) << "a drop taken behind " << which;

            ways[way](d);
            QApplication::processEvents();
            EXPECT_FALSE(d->isVisible()) << which;
            EXPECT_TRUE(mainWindowTakesInput()) << which;
        }
    QTest::mouseClick(in<QPushButton>(&window, "Button1"), Qt::LeftButton);
    EXPECT_EQ(host.fileDialogs, 1);
    EXPECT_TRUE(takesDrop());
}

TEST_F(Dialogs, LinksToTheHomePageAndTheDeveloper)
{
    open(&about);
    QTest::mouseClick(in<QPushButton>(&about, "Button3"), Qt::LeftButton);
    EXPECT_TRUE(about.isVisible()) << "the About dialog stays open";
    EXPECT_EQ(homePageOf("https://www.example.net:8080/kestrel/"), "https://www.example.net:8080/");
    EXPECT_EQ(homePageOf("http://kestrel.example.org"), "http://kestrel.example.org/");
    about.hide();

    // The doubled ampersand of the caption shows as one.
    QAction* s1 = menuItem("S1");
    EXPECT_EQ(s1->iconText(), "Suggestions & Reporting Bugs");
    s1->trigger();
    EXPECT_EQ(host.opened, (std::vector<std::string>{(folder / "kestrel.htm").string(),
                                                      "mailto:kestrel@example.org?subject=Kestrel..."}));
}

} // namespace
} // namespace kestrel
