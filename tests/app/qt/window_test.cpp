// The widgets of the main window, on Qt's offscreen platform.
#include "app/qt/main_window.h"

#include "settings/settings.h"
#include "tests/online/loopback_server.h"
#include "tests/support/fits_builder.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <filesystem>
#include <functional>
#include <utility>

namespace kestrel {
namespace {

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
    bool download(const std::string&, const std::filesystem::path&, Clock::time_point) override { return false; }
};

/// Shows the window's real boxes and file dialog but answers them itself (No, or
/// Cancel), noting what each said and what the window showed beneath it. Scripted
/// files, when there are some, stand in for the next file dialog.
class AnsweringHost : public QtHost {
public:
    struct Seen {
        std::string caption, text;
        int progress; // -1 while the bar is hidden
        std::string firstImage;
        bool selectFilesEnabled;
        bool windowShown;
        bool plainText; // the box's text is never read as markup
    };
    MainWindow* window = nullptr;
    std::vector<std::filesystem::path> files;
    std::vector<Seen> seen;
    std::function<void()> duringBox;

    std::vector<std::filesystem::path> openFiles(const std::string& title, const std::string& filter,
                                                 bool multiple) override
    {
        if (files.empty())
            return QtHost::openFiles(title, filter, multiple);
        return std::exchange(files, {});
    }

protected:
    int exec(QDialog& dialog) override
    {
        auto* progress = window->findChild<QProgressBar*>("ProgressBar1");
        auto* box = qobject_cast<QMessageBox*>(&dialog);
        const QTableWidgetItem* first = window->findChild<QTableWidget*>("StringGrid1")->item(0, 0);
        seen.push_back({dialog.windowTitle().toStdString(), box ? box->text().toStdString() : "",
                        progress->isVisible() ? progress->value() : -1, first ? first->text().toStdString() : "",
                        window->findChild<QPushButton*>("Button1")->isEnabled(), window->isVisible(),
                        box && box->textFormat() == Qt::PlainText});
        if (duringBox)
            duringBox();
        return box ? int(QMessageBox::No) : int(QDialog::Rejected);
    }
};

struct Fixture {
    Fixture()
    {
        host.window = &window;
        window.create();
        window.show();
        EXPECT_TRUE(QTest::qWaitFor([this] { return !host.holdsBoxes(); })) << "boxes still wait for the window";
    }
    template <class T> T* child(const char* name) const
    {
        T* w = window.findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    std::filesystem::path image(const char* name, bool float32 = true)
    {
        const std::string uint16 = testing::headerRecords(testing::uint16ImageCards(4008, 3)) +
                                   testing::uint16Data(std::vector<std::uint16_t>(4008 * 3, 1000));
        testing::writeFile(images / name, float32 ? bandedImage() : uint16);
        return images / name;
    }
    const AnsweringHost::Seen& last() const { return host.seen.back(); }
    /// Clicks `button` and waits until the run it starts, away from the window's
    /// thread, has ended.
    void clickAndWait(const char* button)
    {
        QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([this] { return !window.form().running(); }, 20000)) << "the run never ended";
    }

    testing::TempDir program, images;
    AnsweringHost host;
    NoDownloads downloads;
    MainWindow window{host, downloads, program.path()};
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
    EXPECT_EQ(grid->viewport()->height() % grid->rowHeight(0), 0) << "a row shows only in part";
    EXPECT_EQ(grid->rowCount() + 1, 8);
    EXPECT_EQ(grid->columnCount(), 6);
    EXPECT_EQ(grid->columnWidth(0), 215);
    EXPECT_EQ(grid->columnWidth(3), 55);
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

/// The widgets that Tab visits from Select Files until it comes back there.
std::string tabRound(Fixture& f)
{
    f.window.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&f.window));
    QWidget* start = f.child<QWidget>("Button1");
    start->setFocus(Qt::TabFocusReason);
    QStringList visited;
    for (int i = 0; i < 20; ++i) {
        visited << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        if (QApplication::focusWidget() == start)
            break;
    }
    return visited.join(' ').toStdString();
}

TEST(MainWindowWidgets, TabVisitsEveryControlInOrderAndLeavesTheGridAtOnce)
{
    Fixture f;
    f.window.form().window.grid.setRowCount(20);
    f.window.sync();
    f.child<QTableWidget>("StringGrid1")->setCurrentCell(2, 1);
    EXPECT_EQ(tabRound(f), "Button1 StringGrid1 Edit1 Edit2 Edit3 Button7");

    // Cancel, both panels and Save Results take their places while shown.
    WindowModel& m = f.window.form().window;
    m.button2.visible = m.button6.visible = m.updatePanel.visible = m.messagePanel.visible = true;
    f.window.sync();
    EXPECT_EQ(tabRound(f), "Button1 StringGrid1 Edit1 Edit2 Edit3 Button2 Button3 Button4 Button5 Button6 Button7");
}

TEST(MainWindowWidgets, TheGridEndsWithAmpAndNeverScrollsSideways)
{
    Fixture f;
    auto* grid = f.child<QTableWidget>("StringGrid1");
    const auto sideways = [grid] { return grid->horizontalScrollBar()->value() != 0 || grid->horizontalHeader()->offset() != 0; };
    // No empty column at the right edge: Amp, at least as wide as laid out, reaches it,
    // with the scroll bar and without.
    for (int rows : {8, 30}) {
        f.window.form().window.grid.setRowCount(rows);
        f.window.sync();
        QApplication::processEvents();
        EXPECT_TRUE(grid->isColumnHidden(5));
        EXPECT_EQ(grid->columnViewportPosition(4) + grid->columnWidth(4), grid->viewport()->width()) << rows;
        EXPECT_GE(grid->columnWidth(4), 52 - 17) << rows;
        EXPECT_EQ(grid->columnViewportPosition(4), 215 + 3 * 55) << rows;
    }

    // Reached by the keys, or made current and scrolled to.
    grid->setCurrentCell(1, 0);
    grid->setFocus();
    for (int i = 0; i < 6; ++i)
        QTest::keyClick(grid, Qt::Key_Right);
    QTest::keyClick(grid, Qt::Key_End);
    EXPECT_FALSE(sideways());
    grid->setCurrentCell(3, 4);
    grid->scrollTo(grid->model()->index(3, 4));
    EXPECT_FALSE(sideways());
    EXPECT_EQ(grid->columnViewportPosition(0), 0);

}

TEST(MainWindowWidgets, ALongNameIsShortenedInItsMiddleOnlyOnTheScreen)
{
    Fixture f;
    auto* grid = f.child<QTableWidget>("StringGrid1");
    const std::string name = "M31_Ha_300s_bin1_gain100_offset10_-10C_2026-12-08_0123.fits";
    f.window.form().window.grid.setCell(0, 1, name);
    f.window.sync();
    EXPECT_EQ(grid->textElideMode(), Qt::ElideMiddle);
    EXPECT_EQ(grid->item(0, 0)->text().toStdString(), name);
    EXPECT_EQ(grid->item(0, 0)->toolTip().toStdString(), name);
    EXPECT_TRUE(grid->item(1, 0)->toolTip().isEmpty()) << "a blank row has no tooltip";
}

TEST(MainWindowWidgets, AHeadersClickSortsByItsColumnAndMarksIt)
{
    Fixture f;
    auto* grid = f.child<QTableWidget>("StringGrid1");
    QHeaderView* header = grid->horizontalHeader();
    ResultsGrid& model = f.window.form().window.grid;
    model.setCell(0, 1, "b.fits");
    model.setCell(0, 2, "a.fits");
    f.window.sync();
    grid->setCurrentCell(1, 3);
    EXPECT_FALSE(header->isSortIndicatorShown());

    const auto clickHeader = [header](int column) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
    };
    clickHeader(0);
    // The blank rows first, then a.fits, b.fits; the current cell stays where it was.
    EXPECT_EQ(grid->item(5, 0)->text(), "a.fits");
    EXPECT_EQ(grid->item(6, 0)->text(), "b.fits");
    EXPECT_EQ(grid->currentColumn(), 3);
    EXPECT_TRUE(header->isSortIndicatorShown());
    EXPECT_EQ(header->sortIndicatorSection(), 0);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    // Ascending again on a second click.
    clickHeader(0);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    EXPECT_EQ(grid->item(5, 0)->text(), "a.fits");

    // Rows that change leave no mark behind.
    model.setCell(0, 1, "c.fits");
    f.window.sync();
    EXPECT_FALSE(header->isSortIndicatorShown());

    // A double-click on a header sorts by that header, not by the current cell's column.
    QTest::mouseDClick(header->viewport(), Qt::LeftButton, {},
                       QPoint(header->sectionViewportPosition(0) + 5, header->height() / 2));
    EXPECT_EQ(grid->currentColumn(), 3);
    EXPECT_EQ(header->sortIndicatorSection(), 0);
    EXPECT_EQ(grid->item(6, 0)->text(), "c.fits");
}

TEST(MainWindowWidgets, NoticePanelsAsLaidOut)
{
    Fixture f;
    struct Place {
        const char* panel;
        const char* name;
        QRect geometry; // an empty size: the label sizes itself
        int pixels;
    };
    const Place places[] = {
        {"updatePanel", "Label10", {66, 8, 0, 0}, 16},       {"updatePanel", "Label9", {92, 27, 0, 0}, 13},
        {"updatePanel", "Memo1", {16, 49, 313, 176}, 11},    {"updatePanel", "Button3", {42, 231, 116, 25}, 11},
        {"updatePanel", "Button4", {186, 231, 116, 25}, 11}, {"messagePanel", "Label11", {60, 10, 0, 0}, 16},
        {"messagePanel", "Memo2", {24, 34, 305, 180}, 11},   {"messagePanel", "Button5", {120, 225, 105, 25}, 11},
    };
    // The longest version text the update notice is likely to bring.
    f.window.form().window.label9 = "The latest version is 10.100";
    f.window.sync();
    for (const Place& p : places) {
        auto* panel = f.child<QFrame>(p.panel);
        auto* w = panel->findChild<QWidget*>(p.name);
        ASSERT_NE(w, nullptr) << p.name;
        EXPECT_EQ(w->pos(), p.geometry.topLeft()) << p.name;
        if (!p.geometry.size().isEmpty()) {
            EXPECT_EQ(w->size(), p.geometry.size()) << p.name;
        }
        EXPECT_EQ(w->font().pixelSize(), p.pixels) << p.name;
        EXPECT_EQ(QFontInfo(w->font()).family(), "DejaVu Sans") << p.name << " is not set in Verdana's stand-in";
        // Everything fits inside the 2-pixel bevel, and every caption fits its place.
        EXPECT_TRUE(panel->rect().adjusted(2, 2, -2, -2).contains(w->geometry())) << p.name;
        if (auto* b = qobject_cast<QPushButton*>(w)) {
            EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text().remove('&')), b->width() - 8) << p.name;
        }
        if (auto* l = qobject_cast<QLabel*>(w)) {
            EXPECT_GE(l->width(), l->fontMetrics().horizontalAdvance(l->text())) << p.name;
        }
    }
    EXPECT_EQ(f.child<QFrame>("updatePanel")->lineWidth(), 2);
    for (const char* title : {"Label10", "Label11"})
        EXPECT_EQ(f.child<QLabel>(title)->palette().color(QPalette::WindowText), QColor(255, 0, 0)) << title;
    for (const char* memo : {"Memo1", "Memo2"})
        EXPECT_EQ(f.child<QPlainTextEdit>(memo)->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn) << memo;
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
    // A window without a server fetched nothing and had nothing to report.
    EXPECT_TRUE(f.host.seen.empty());

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
    f.clickAndWait("Button1");
    auto* grid = f.child<QTableWidget>("StringGrid1");
    EXPECT_EQ(grid->item(1, 4)->text(), "  3.000");
    EXPECT_EQ(f.child<QLabel>("Label7")->text(), "3.000");
    EXPECT_TRUE(f.child<QPushButton>("Button6")->isVisible());
    EXPECT_TRUE(f.child<QPushButton>("Button1")->isEnabled());
    EXPECT_TRUE(std::filesystem::exists(images / "kestrel" / "b.fits"));
}

// A close asked for while a box of the run is open: the window stays until the run has
// ended after that image, and the files written are exactly those of the rows shown.
TEST(MainWindowWidgets, ClosingDuringARunWaitsForTheFileInProgress)
{
    Fixture f;
    testing::TempDir program;
    MainWindow window(f.host, f.downloads, program.path());
    f.host.window = &window;
    window.create();
    window.show();
    std::vector<std::filesystem::path> files = {f.image("a.fits"), f.image("b.fits", false), f.image("c.fits"),
                                                f.image("d.fits")};
    f.host.files = files;
    window.form().window.edit1 = "32";
    bool asked = false, openWhenAsked = false;
    f.host.duringBox = [&] {
        if (asked || window.form().run.fileCount != 2)
            return;
        asked = true;
        window.close();
        openWhenAsked = window.isVisible();
    };
    QTest::mouseClick(window.findChild<QPushButton*>("Button1"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 20000));
    EXPECT_TRUE(asked);
    EXPECT_TRUE(openWhenAsked);
    EXPECT_TRUE(window.form().closeDue());
    EXPECT_TRUE(std::filesystem::exists(f.images / "kestrel" / "a.fits"));
    EXPECT_FALSE(std::filesystem::exists(f.images / "kestrel" / "c.fits"));
    EXPECT_FALSE(std::filesystem::exists(f.images / "kestrel" / "d.fits"));
    EXPECT_EQ(readProfileString(program / "kestx.ini", "kestx", "1x1phase", "?"), "32");
}

TEST(MainWindowBoxes, CaptionsAndWhatTheWindowShowsBeneathThem)
{
    Fixture f;
    f.window.form().window.edit1 = "32";
    // Two files are done when the third, a 16-bit image, is reported.
    f.host.files = {f.image("a.fits"), f.image("b.fits"), f.image("c.fits", false), f.image("d.fits")};
    f.clickAndWait("Button1");
    ASSERT_EQ(f.host.seen.size(), 2u);
    EXPECT_EQ(f.host.seen[0].caption, "Confirm");
    EXPECT_EQ(f.host.seen[0].text, "Overwrite existing files?");
    EXPECT_EQ(f.last().caption, "Error");
    EXPECT_EQ(f.last().text, "Kestrel only uses 32-bit floating point FITS images.");
    EXPECT_EQ(f.last().progress, 2);
    EXPECT_EQ(f.child<QProgressBar>("ProgressBar1")->maximum(), 4);

    // The next run's grid is cleared before its file dialog opens...
    f.clickAndWait("Button1");
    EXPECT_EQ(f.last().caption, selectTitle);
    EXPECT_EQ(f.last().firstImage, " ");
    // ...and before its first question.
    f.host.files = {f.image("a.fits")};
    f.window.form().window.grid.setCell(0, 1, "a.fits");
    f.window.sync();
    f.clickAndWait("Button1");
    EXPECT_EQ(f.host.seen.at(f.host.seen.size() - 2).text, "Overwrite existing files?");
    EXPECT_EQ(f.host.seen.at(f.host.seen.size() - 2).firstImage, " ");

    // The phase run has disabled Select Files when it reports a float image.
    f.host.files = {f.image("a.fits")};
    f.clickAndWait("Button7");
    EXPECT_EQ(f.last().caption, "Error");
    EXPECT_FALSE(f.last().selectFilesEnabled);
    EXPECT_TRUE(f.child<QPushButton>("Button1")->isEnabled());

    // A plain box and the general error box are captioned with the program's name. No
    // program opens documents on this platform.
    f.window.menuBar()->findChild<QAction*>("Help2")->trigger();
    EXPECT_EQ(f.last().caption, "Kestrel");
    EXPECT_EQ(f.last().text, noPdfReaderText(f.program / "Kestrel.pdf"));
    std::filesystem::create_directory(f.program / resultsFileName); // cannot be written as a file
    f.window.form().window.button6.visible = true;
    f.window.sync();
    QTest::mouseClick(f.child<QPushButton>("Button6"), Qt::LeftButton);
    EXPECT_EQ(f.last().caption, "Kestrel");
    EXPECT_NE(f.last().text.find("kestrel.csv"), std::string::npos) << f.last().text;
}

TEST(MainWindowBoxes, WhatAServerOrAFileNameBringsShowsAsPlainText)
{
    Fixture f;
    // A first line of the update notice that, read as markup, loads a file without end.
    f.window.form().window.label9 = "The latest version is 9<img src=\"/dev/zero\">";
    f.window.sync();
    auto* label9 = f.child<QLabel>("Label9");
    EXPECT_EQ(label9->textFormat(), Qt::PlainText);
    EXPECT_EQ(label9->text(), "The latest version is 9<img src=\"/dev/zero\">");

    const std::string folder = "/data/<i>M31</i> night/kestrel";
    f.host.errorBox("Cannot create " + folder);
    f.host.confirm(folder + "\nalready exists. Continue?", false);
    ASSERT_EQ(f.host.seen.size(), 2u);
    for (const AnsweringHost::Seen& seen : f.host.seen) {
        EXPECT_TRUE(seen.plainText) << seen.text;
        EXPECT_NE(seen.text.find(folder), std::string::npos) << seen.text;
    }
}

// A key that answers a question (N for No) answers it as it is let go, at once: the box
// is gone before the release returns, and the press alone answers nothing.
TEST(MainWindowBoxes, AKeyAnswersAQuestionAsItIsLetGo)
{
    for (const bool defaultYes : {true, false}) {
        QtHost host;
        bool visibleAfterPress = false, visibleAfterRelease = true;
        QTimer::singleShot(0, [&] {
            QWidget* box = QApplication::activeModalWidget();
            ASSERT_NE(box, nullptr);
            QWidget* focus = box->focusWidget() ? box->focusWidget() : box;
            QTest::keyPress(focus, Qt::Key_N);
            visibleAfterPress = box->isVisible();
            QTest::keyRelease(focus, Qt::Key_N);
            visibleAfterRelease = box->isVisible();
            if (visibleAfterRelease)
                QTimer::singleShot(500, box, [box] { box->close(); });
        });
        EXPECT_FALSE(host.confirm("Overwrite existing files?", defaultYes));
        EXPECT_TRUE(visibleAfterPress);
        EXPECT_FALSE(visibleAfterRelease);
    }
}

/// A window that fetches its notices from `server` with the real downloader, as the
/// program does.
struct OnlineStart {
    explicit OnlineStart(const testing::LoopbackServer& server)
        : window(std::make_unique<MainWindow>(host, downloader, program.path(), MakerAddresses{server.address(), ""}))
    {
        host.window = window.get();
    }
    void start()
    {
        window->create();
        window->show();
        QApplication::processEvents();
    }

    testing::TempDir program;
    AnsweringHost host;
    CurlDownloader downloader;
    std::unique_ptr<MainWindow> window;
};

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
const testing::Reply silent{200, "", std::string::npos, true};

TEST(MainWindowStart, AServerThatNeverAnswersNeitherHoldsTheWindowNorItsClose)
{
    testing::LoopbackServer server;
    server.set("/kestrel/kestrelMsg.txt", silent);
    server.set("/kestrel/update.txt", silent);
    const auto started = Clock::now();
    OnlineStart s(server);
    s.start();
    EXPECT_TRUE(s.window->isVisible());
    EXPECT_LT(Clock::now() - started, 1s) << "the window waited for the network";

    ASSERT_TRUE(QTest::qWaitFor([&] { return !s.host.seen.empty(); }, 20000));
    EXPECT_LT(Clock::now() - started, 10s);
    EXPECT_EQ(s.host.seen[0].text, "Error downloading " + server.address() + "/kestrel/update.txt");
    EXPECT_TRUE(s.host.seen[0].windowShown);
    EXPECT_EQ(s.host.seen.size(), 1u);

    // Closed while the message is still on its way: the program ends at once, and no
    // box comes after the window has gone.
    OnlineStart again(server);
    again.start();
    QTest::qWait(300);
    const auto closing = Clock::now();
    EXPECT_TRUE(again.window->close());
    again.window.reset();
    EXPECT_LT(Clock::now() - closing, 1s);
    EXPECT_TRUE(again.host.seen.empty());
}

TEST(MainWindowStart, NoticesShowInTheirOwnTextOverTheWindow)
{
    testing::LoopbackServer server;
    server.serve("/kestrel/kestrelMsg.txt", "Hello\r\nCaf\xE9 du ciel\r\n");
    server.serve("/kestrel/update.txt", "1.36\nhttp://127.0.0.1/k.zip\nSchneller: \xE2\x82\xAC 0\n");
    OnlineStart s(server);
    s.start();
    auto* memo1 = s.window->findChild<QPlainTextEdit*>("Memo1");
    auto* memo2 = s.window->findChild<QPlainTextEdit*>("Memo2");
    ASSERT_TRUE(QTest::qWaitFor([&] { return memo1->isVisible() && memo2->isVisible(); }, 15000));
    EXPECT_EQ(memo2->toPlainText(), QString::fromUtf8("Caf\u00e9 du ciel"));
    EXPECT_EQ(memo1->toPlainText(), QString::fromUtf8("Schneller: \u20ac 0"));
    EXPECT_EQ(s.window->findChild<QLabel*>("Label9")->text(), "The latest version is 1.36");
    EXPECT_TRUE(s.host.seen.empty());
}

TEST(MainWindowStart, ABoxOfTheStartWaitsForTheWindow)
{
    Fixture f; // for the application's fonts and host
    testing::TempDir program;
    std::filesystem::create_directory(program / "kestx.ini"); // cannot be read
    AnsweringHost host;
    MainWindow window(host, f.downloads, program.path());
    host.window = &window;
    window.create();
    QApplication::processEvents();
    EXPECT_TRUE(host.seen.empty()) << "a box came before the window";
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !host.seen.empty(); }, 5000));
    EXPECT_EQ(host.seen[0].caption, "Error");
    EXPECT_TRUE(host.seen[0].windowShown);
}

TEST(MainWindowDrops, LocalFilesDroppedOnTheWindowAreCorrectedInTheirOrder)
{
    Fixture f;
    f.window.form().window.edit1 = "32";
    const auto b = f.image("b.fits"), c = f.image("c.fits");
    // A drop lands on the window wherever it is let go: no control takes it itself.
    for (const char* name : {"Edit1", "Edit3", "StringGrid1", "Memo1", "Button1"}) {
        QWidget* target = f.window.findChild<QWidget*>(name);
        if (auto* view = qobject_cast<QAbstractScrollArea*>(target))
            target = view->viewport();
        while (target && !target->acceptDrops())
            target = target->parentWidget();
        EXPECT_EQ(target, &f.window) << name;
    }
    const auto drop = [&f](const QList<QUrl>& urls) {
        QMimeData mime;
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&f.window, &enter);
        QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&f.window, &drop);
        QApplication::processEvents();
        return enter.isAccepted() && drop.isAccepted();
    };
    const QUrl bUrl = QUrl::fromLocalFile(QString::fromStdString(b.string()));
    const QUrl cUrl = QUrl::fromLocalFile(QString::fromStdString(c.string()));

    // A drop during the run is refused; so is one with anything but local files.
    bool triedDuringRun = false;
    f.host.duringBox = [&] {
        if (!std::exchange(triedDuringRun, true)) {
            EXPECT_FALSE(drop({bUrl}));
        }
    };
    EXPECT_TRUE(drop({cUrl, bUrl}));
    EXPECT_TRUE(QTest::qWaitFor([&f] { return !f.window.form().running(); }, 20000)) << "the run never ended";
    ASSERT_EQ(f.host.seen.size(), 1u) << "no file dialog, straight to the question";
    EXPECT_EQ(f.host.seen[0].text, "Overwrite existing files?");
    auto* grid = f.child<QTableWidget>("StringGrid1");
    EXPECT_EQ(grid->item(0, 0)->text(), "c.fits");
    EXPECT_EQ(grid->item(1, 0)->text(), "b.fits");
    EXPECT_EQ(grid->rowCount(), 2);
    EXPECT_TRUE(std::filesystem::exists(f.images / "kestrel" / "b.fits"));
    EXPECT_TRUE(f.child<QPushButton>("Button1")->isEnabled());

    EXPECT_TRUE(triedDuringRun);
    EXPECT_FALSE(drop({QUrl("http://kestrel.example.org/a.fits"), cUrl}));
    EXPECT_FALSE(drop({QUrl::fromLocalFile(QString::fromStdString(f.images.path().string()))}));
    EXPECT_EQ(f.host.seen.size(), 1u);
}

} // namespace
} // namespace kestrel
