// The widgets of the main window, on Qt's offscreen platform.
#include "app/qt/main_window.h"

#include "settings/settings.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>
#include <QWheelEvent>

#include <filesystem>
#include <functional>
#include <utility>

namespace kestrel {
namespace {

/// Records the boxes instead of showing them and returns scripted files: nobody is
/// there to answer.
class QuietHost : public QtHost {
public:
    std::vector<std::string> shown;
    std::vector<std::filesystem::path> files;
    std::function<void()> duringRun;
    void errorBox(const std::string& t) override { shown.push_back(t); }
    void plainBox(const std::string& t) override { shown.push_back(t); }
    void generalErrorBox(const std::string& t) override { shown.push_back(t); }
    bool confirm(const std::string& t, bool) override
    {
        shown.push_back(t);
        return false;
    }
    std::vector<std::filesystem::path> openFiles(const std::string&, const std::string&, bool) override { return files; }
    void pumpMessages() override
    {
        QtHost::pumpMessages();
        if (duringRun)
            duringRun();
    }
};

std::string bandedImage()
{
    const int width = 4008, height = 3;
    std::vector<float> px(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < px.size(); ++i)
        px[i] = (i % width) % 32 < 16 ? 1003.0f : 1000.0f;
    return testing::headerRecords(testing::floatImageCards(width, height)) + testing::floatData(px);
}

class NoDownloads : public Downloader {
public:
    bool download(const std::string&, const std::filesystem::path&) override { return false; }
};

struct Fixture {
    Fixture()
    {
        window.create();
        window.show();
        QApplication::processEvents();
    }
    template <class T> T* child(const char* name) const
    {
        T* w = window.findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    std::filesystem::path folder = std::filesystem::temp_directory_path();
    QuietHost host;
    NoDownloads downloads;
    MainWindow window{host, downloads, folder};
};

TEST(MainWindowWidgets, LayoutNamesAndCaptions)
{
    Fixture f;
    EXPECT_EQ(f.window.windowTitle(), "Kestrel Version 1.35.");
    EXPECT_EQ(f.window.centralWidget()->size(), QSize(491, 320));
    EXPECT_EQ(f.window.minimumSize(), f.window.maximumSize());
    EXPECT_FALSE(f.window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(f.window.windowIcon().isNull());

    EXPECT_EQ(f.child<QLineEdit>("Edit1")->geometry(), QRect(80, 23, 34, 21));
    EXPECT_EQ(f.child<QLineEdit>("Edit2")->geometry(), QRect(139, 23, 33, 21));
    EXPECT_EQ(f.child<QLineEdit>("Edit3")->geometry(), QRect(78, 53, 51, 21));
    EXPECT_EQ(f.child<QLineEdit>("Edit3")->text(), "n/a");
    EXPECT_EQ(f.child<QPushButton>("Button1")->geometry(), QRect(16, 245, 81, 25));
    EXPECT_EQ(f.child<QPushButton>("Button1")->text(), "&Select Files");
    EXPECT_TRUE(f.child<QPushButton>("Button1")->font().bold());
    EXPECT_EQ(f.child<QPushButton>("Button7")->geometry(), QRect(16, 276, 81, 25));
    EXPECT_EQ(f.child<QPushButton>("Button6")->geometry(), QRect(304, 267, 129, 25));
    EXPECT_FALSE(f.child<QPushButton>("Button6")->isVisible());
    EXPECT_FALSE(f.child<QPushButton>("Button2")->isVisible());
    EXPECT_EQ(f.child<QLabel>("Label5")->text(), "Avg Amplitude");
    EXPECT_EQ(f.child<QLabel>("Label6")->pos(), QPoint(298, 250));

    auto* grid = f.child<QTableWidget>("StringGrid1");
    EXPECT_EQ(grid->geometry(), QRect(16, 80, 457, 145));
    EXPECT_EQ(grid->rowCount() + 1, 8);
    EXPECT_EQ(grid->columnCount(), 6);
    EXPECT_EQ(grid->columnWidth(0), 215);
    EXPECT_EQ(grid->columnWidth(4), 52);
    EXPECT_EQ(grid->horizontalHeaderItem(1)->text(), "   Bkdg");
    EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);

    // Both notice panels centred in the client area, hidden until a notice comes.
    for (const char* name : {"updatePanel", "messagePanel"}) {
        auto* p = f.child<QFrame>(name);
        EXPECT_EQ(p->geometry(), QRect(73, 28, 345, 263)) << name;
    }

    QStringList captions;
    for (QAction* a : f.window.menuBar()->actions()) {
        captions << a->text();
        if (a->menu())
            for (QAction* s : a->menu()->actions())
                captions << s->text();
    }
    EXPECT_EQ(captions.join('|').toStdString(), "E&xit|&Help|&Help|&About|Go To Kestrel &Web Page|"
                                                "&Suggestions && Reporting Bugs|&Disclaimers and Copyright");
}

TEST(MainWindowWidgets, TabOrder)
{
    Fixture f;
    QStringList order;
    QWidget* w = f.child<QWidget>("Button1");
    for (int i = 0; i < 200 && order.size() < 11; ++i, w = w->nextInFocusChain())
        if ((w->focusPolicy() & Qt::TabFocus) && !w->objectName().startsWith("qt_") && !order.contains(w->objectName()))
            order << w->objectName();
    EXPECT_EQ(order.join(' ').toStdString(), "Button1 StringGrid1 Edit1 Edit2 Edit3 Button2 Button3 Button4 Button5 Button6 Button7");
}

TEST(MainWindowWidgets, TheWheelDoesNothingOverTheGrid)
{
    Fixture f;
    f.window.form().window.grid.setRowCount(40);
    f.window.sync();
    auto* grid = f.child<QTableWidget>("StringGrid1");
    grid->setCurrentCell(2, 1);
    QApplication::processEvents();
    const int scroll = grid->verticalScrollBar()->value();
    const QPoint at(50, 50);
    QWheelEvent wheel(at, grid->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(grid->viewport(), &wheel);
    EXPECT_EQ(grid->verticalScrollBar()->value(), scroll);
    EXPECT_EQ(grid->currentRow(), 2);
}

TEST(MainWindowWidgets, EscapePressesCancelOnlyWhileItIsShown)
{
    Fixture f;
    f.window.activateWindow();
    QTest::keyClick(&f.window, Qt::Key_Escape);
    EXPECT_FALSE(f.window.form().run.cancelRequested);

    f.window.form().window.button2.visible = true;
    f.window.sync();
    QTest::keyClick(&f.window, Qt::Key_Escape);
    EXPECT_TRUE(f.window.form().run.cancelRequested);
    EXPECT_EQ(f.child<QPushButton>("Button2")->text(), "Canceling");
}

TEST(MainWindowWidgets, ModelChangesReachTheWidgets)
{
    Fixture f;
    // The offline start reported the failed update check; nothing else was shown.
    ASSERT_EQ(f.host.shown.size(), 1u);
    EXPECT_EQ(f.host.shown[0].rfind("Error downloading ", 0), 0u);

    TForm1& form = f.window.form();
    form.window.edit1 = "12";
    form.window.label7 = "1.500";
    form.window.grid.setCell(0, 1, "night.fits");
    form.window.progressBar1 = ProgressState{true, 0, 5, 2};
    f.window.sync();
    EXPECT_EQ(f.child<QLineEdit>("Edit1")->text(), "12");
    EXPECT_EQ(f.child<QLabel>("Label7")->text(), "1.500");
    EXPECT_EQ(f.child<QTableWidget>("StringGrid1")->item(0, 0)->text(), "night.fits");
    EXPECT_TRUE(f.child<QWidget>("ProgressBar1")->isVisible());

    // Typing goes the other way.
    f.child<QLineEdit>("Edit3")->setText("2.5");
    EXPECT_EQ(form.window.edit3, "2.5");
}

TEST(MainWindowWidgets, ABatchRunThroughTheButtons)
{
    Fixture f;
    testing::TempDir images;
    for (const char* name : {"a.fits", "b.fits"}) {
        testing::writeFile(images / name, bandedImage());
        f.host.files.push_back(images / name);
    }
    f.child<QLineEdit>("Edit1")->setText("32");
    QTest::mouseClick(f.child<QPushButton>("Button1"), Qt::LeftButton);
    auto* grid = f.child<QTableWidget>("StringGrid1");
    EXPECT_EQ(grid->item(1, 4)->text(), "  3.000");
    EXPECT_EQ(f.child<QLabel>("Label7")->text(), "3.000");
    EXPECT_TRUE(f.child<QPushButton>("Button6")->isVisible());
    EXPECT_TRUE(f.child<QPushButton>("Button1")->isEnabled());
    EXPECT_TRUE(std::filesystem::exists(images / "kestrel" / "b.fits"));
}

TEST(MainWindowWidgets, ClosingDuringARunWaitsForTheFileInProgress)
{
    Fixture f;
    testing::TempDir images, program;
    MainWindow window(f.host, f.downloads, program.path());
    window.create();
    window.show();
    for (const char* name : {"a.fits", "b.fits", "c.fits"}) {
        testing::writeFile(images / name, bandedImage());
        f.host.files.push_back(images / name);
    }
    window.form().window.edit1 = "32";
    bool asked = false, openWhenAsked = false;
    f.host.duringRun = [&] {
        if (asked || window.form().run.fileCount != 1)
            return;
        asked = true;
        window.close();
        openWhenAsked = window.isVisible();
    };
    QTest::mouseClick(window.findChild<QPushButton*>("Button1"), Qt::LeftButton);
    EXPECT_TRUE(openWhenAsked);
    EXPECT_TRUE(window.form().closeDue());
    EXPECT_TRUE(std::filesystem::exists(images / "kestrel" / "a.fits"));
    EXPECT_FALSE(std::filesystem::exists(images / "kestrel" / "b.fits"));
    EXPECT_EQ(readProfileString(program / "kestx.ini", "kestx", "1x1phase", "?"), "32");
    EXPECT_FALSE(window.isVisible());
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
