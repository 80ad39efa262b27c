// The About and Disclaimers and Copyright dialogs over the main window, on Qt's
// offscreen platform.
#include "app/qt/dialogs.h"
#include "app/qt/main_window.h"

#include "core/jpeg_image.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <filesystem>

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
    bool confirm(const std::string& t, bool) override
    {
        shown.push_back(t);
        return false;
    }
    std::vector<std::filesystem::path> openFiles(const std::string&, const std::string&, bool) override
    {
        ++fileDialogs;
        return {};
    }
    void openDocument(const std::string& target) override { opened.push_back(target); }
};

class NoDownloads : public Downloader {
public:
    bool download(const std::string&, const std::filesystem::path&) override { return false; }
};

class Dialogs : public ::testing::Test {
protected:
    Dialogs()
    {
        window.create();
        window.setDialogs(&about, &disclaimers);
        window.show();
        QApplication::processEvents();
        host.shown.clear(); // the offline start's "Error downloading"
    }

    QAction* menuItem(const char* name) { return window.menuBar()->findChild<QAction*>(name); }
    template <class T> T* in(QWidget* parent, const char* name)
    {
        T* w = parent->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    /// The main window as the user meets it: what it shows and whether it takes input.
    bool mainWindowTakesInput()
    {
        return window.form().window.enabled && window.centralWidget()->isEnabled() && window.menuBar()->isEnabled();
    }

    testing::TempDir folder;
    QuietHost host;
    NoDownloads downloads;
    MainWindow window{host, downloads, folder.path()};
    // Declared after the window: children of it that must go first.
    TForm2 about{&window, host, "http://kestrel.example.org/"};
    TForm3 disclaimers{&window};
};

TEST_F(Dialogs, AboutLayout)
{
    EXPECT_EQ(about.objectName(), "TForm2");
    EXPECT_EQ(about.windowTitle(), "About Kestrel");
    EXPECT_EQ(about.size(), QSize(245, 215));
    EXPECT_EQ(about.minimumSize(), about.maximumSize());
    EXPECT_FALSE(about.windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowContextHelpButtonHint));
    EXPECT_TRUE(about.windowFlags() & Qt::WindowTitleHint);
    EXPECT_EQ(about.font().pixelSize(), 11);

    auto* image = in<QLabel>(&about, "Image1");
    EXPECT_EQ(image->geometry(), QRect(0, 0, 245, 215));
    EXPECT_EQ(image->pixmap().size(), QSize(245, 215));

    struct Text {
        const char* name;
        QString text;
        QPoint at;
        int pixels;
        bool bold;
        QColor colour;
    };
    const Text texts[] = {
        {"Label9", "Kestrel", {58, 8}, 19, false, Qt::white},
        {"Label10", "Version 1.35   May 22, 2017", {26, 37}, 13, true, Qt::red},
        {"Label11", "from the", {87, 55}, 11, true, Qt::red},
        {"Label12", makerName, {33, 74}, 13, true, Qt::red},
        {"Label13", "written by", {86, 96}, 11, true, Qt::red},
        {"Label14", authorName, {86, 115}, 13, true, Qt::red},
    };
    for (const Text& t : texts) {
        auto* l = in<QLabel>(&about, t.name);
        EXPECT_EQ(l->text(), t.text) << t.name;
        if (t.text == authorName) { // moved left as far as our longer name needs
            EXPECT_EQ(l->pos(), QPoint(std::min(86, 245 - 4 - l->width()), 115));
        } else {
            EXPECT_EQ(l->pos(), t.at) << t.name;
        }
        EXPECT_EQ(l->font().pixelSize(), t.pixels) << t.name;
        EXPECT_EQ(l->font().bold(), t.bold) << t.name;
        EXPECT_EQ(l->palette().color(QPalette::WindowText), t.colour) << t.name;
        EXPECT_FALSE(l->autoFillBackground()) << t.name << " hides the picture";
        EXPECT_TRUE(QRect(0, 0, 245, 215).contains(l->geometry())) << t.name << " runs off the picture";
    }

    auto* home = in<QPushButton>(&about, "Button3");
    EXPECT_EQ(home->geometry(), QRect(26, 141, 193, 25));
    EXPECT_TRUE(home->text().contains(makerName));
    EXPECT_LE(home->fontMetrics().horizontalAdvance(home->text().remove('&')), 193 - 8) << "caption cut off";
    auto* back = in<QPushButton>(&about, "Button4");
    EXPECT_EQ(back->geometry(), QRect(26, 172, 193, 25));
    EXPECT_EQ(back->text(), "&Return To Program");
}

TEST_F(Dialogs, ThePictureShowsTheDecodedColours)
{
    const RgbImage decoded = decodeJpeg(aboutPicture());
    const QImage shown = in<QLabel>(&about, "Image1")->pixmap().toImage();
    for (const QPoint p : {QPoint(0, 0), QPoint(120, 30), QPoint(170, 92), QPoint(244, 214)}) {
        const std::uint8_t* rgb = &decoded.rgb[(static_cast<std::size_t>(p.y()) * 245 + p.x()) * 3];
        EXPECT_EQ(shown.pixelColor(p), QColor(rgb[0], rgb[1], rgb[2])) << p.x() << "," << p.y();
    }
}

TEST_F(Dialogs, DisclaimersLayout)
{
    EXPECT_EQ(disclaimers.objectName(), "TForm3");
    EXPECT_EQ(disclaimers.windowTitle(), "Disclaimers and Copyright");
    EXPECT_EQ(disclaimers.size(), QSize(415, 226));
    EXPECT_FALSE(disclaimers.windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint));
    EXPECT_FALSE(disclaimers.windowIcon().isNull());

    auto* copyright = in<QLabel>(&disclaimers, "Label1");
    EXPECT_EQ(copyright->text(), copyrightLine);
    EXPECT_EQ(copyright->pos(), QPoint(15, 16));
    EXPECT_LE(copyright->geometry().right(), 415);

    auto* terms = in<QLabel>(&disclaimers, "Label2");
    EXPECT_EQ(terms->geometry(), QRect(40, 56, 334, 113));
    EXPECT_TRUE(terms->wordWrap());
    EXPECT_EQ(terms->font().pixelSize(), 13);
    EXPECT_LE(terms->heightForWidth(334), 113) << "the terms do not fit their box";

    auto* back = in<QPushButton>(&disclaimers, "Button1");
    EXPECT_EQ(back->geometry(), QRect(142, 184, 129, 25));
    EXPECT_EQ(back->text(), "&Return To Program");
    EXPECT_EQ(back->font().pixelSize(), 11);
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
    struct Case {
        const char* item;
        QDialog* dialog;
    };
    for (const Case c : {Case{"Aboit1", &about}, Case{"DisclaimersandCopyright1", &disclaimers}})
        for (const QPoint at : {QPoint(0, 0), QPoint(301, 117), QPoint(-40, 700), QPoint(1500, 3)}) {
            window.move(at);
            QApplication::processEvents();
            menuItem(c.item)->trigger();
            const QRect main = window.frameGeometry();
            const QSize size = c.dialog->frameGeometry().size();
            EXPECT_EQ(c.dialog->pos(), QPoint(main.x() + (main.width() - size.width()) / 2,
                                              main.y() + (main.height() - size.height()) / 2))
                << c.item << " at " << at.x() << "," << at.y();
            EXPECT_TRUE(c.dialog->isVisible());
            c.dialog->hide();
        }
    EXPECT_TRUE(host.shown.empty());
}

TEST(DialogPlacement, HalvesRoundTowardZero)
{
    EXPECT_EQ(centredOver(QRect(100, 50, 500, 400), QSize(245, 215)), QPoint(100 + 127, 50 + 92));
    // A window smaller than the dialog: -145 / 2 is -72, not -73.
    EXPECT_EQ(centredOver(QRect(10, 20, 100, 50), QSize(245, 215)), QPoint(10 - 72, 20 - 82));
}

TEST_F(Dialogs, TheMainWindowTakesNoInputUntilReturnToProgram)
{
    struct Case {
        const char* item;
        QDialog* dialog;
        const char* back;
    };
    for (const Case c : {Case{"Aboit1", &about, "Button4"}, Case{"DisclaimersandCopyright1", &disclaimers, "Button1"}}) {
        menuItem(c.item)->trigger();
        ASSERT_TRUE(c.dialog->isVisible()) << c.item;
        EXPECT_FALSE(mainWindowTakesInput()) << c.item;
        QTest::mouseClick(in<QPushButton>(&window, "Button1"), Qt::LeftButton);
        EXPECT_EQ(host.fileDialogs, 0) << "Select Files answered behind " << c.item;

        QTest::mouseClick(in<QPushButton>(c.dialog, c.back), Qt::LeftButton);
        EXPECT_FALSE(c.dialog->isVisible()) << c.item;
        EXPECT_TRUE(mainWindowTakesInput()) << c.item;
    }
    QTest::mouseClick(in<QPushButton>(&window, "Button1"), Qt::LeftButton);
    EXPECT_EQ(host.fileDialogs, 1);
}

TEST_F(Dialogs, ClosingByOtherMeansGivesTheMainWindowBack)
{
    const std::function<void(QDialog*)> ways[] = {
        [](QDialog* d) { QTest::keyClick(d, Qt::Key_Escape); },
        [](QDialog* d) { d->close(); }, // the window manager's close, Alt+F4
        [](QDialog* d) { d->reject(); },
        [](QDialog* d) { d->hide(); },
    };
    int way = 0;
    for (const auto& close : ways) {
        for (QDialog* d : {static_cast<QDialog*>(&about), static_cast<QDialog*>(&disclaimers)}) {
            menuItem(d == &about ? "Aboit1" : "DisclaimersandCopyright1")->trigger();
            ASSERT_TRUE(d->isVisible());
            ASSERT_FALSE(mainWindowTakesInput());
            close(d);
            QApplication::processEvents();
            EXPECT_FALSE(d->isVisible()) << d->objectName().toStdString() << " way " << way;
            EXPECT_TRUE(mainWindowTakesInput()) << d->objectName().toStdString() << " way " << way;
        }
        ++way;
    }
}

TEST_F(Dialogs, HomePageButtonOpensTheMakersSiteAndKeepsTheDialog)
{
    menuItem("Aboit1")->trigger();
    QTest::mouseClick(in<QPushButton>(&about, "Button3"), Qt::LeftButton);
    EXPECT_EQ(host.opened, std::vector<std::string>{"http://kestrel.example.org/"});
    EXPECT_TRUE(about.isVisible());
    EXPECT_FALSE(mainWindowTakesInput());

    EXPECT_EQ(homePageOf("http://kestrel.example.org"), "http://kestrel.example.org/");
    EXPECT_EQ(homePageOf("https://www.example.net:8080/kestrel/"), "https://www.example.net:8080/");
    EXPECT_EQ(homePageOf("http://127.0.0.1:5000/a/b"), "http://127.0.0.1:5000/");
}

TEST_F(Dialogs, TheSuggestionsItemShowsOneAmpersand)
{
    QAction* s1 = menuItem("S1");
    ASSERT_NE(s1, nullptr);
    EXPECT_EQ(s1->iconText(), "Suggestions & Reporting Bugs");
    s1->trigger();
    EXPECT_EQ(host.opened, std::vector<std::string>{"mailto:kestrel@example.org?subject=Kestrel..."});
}

} // namespace
} // namespace kestrel

// The application must outlive every widget and go before the process's statics do.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
