// The main window: widgets laid out as the Kestrel window has always looked, showing
// the window model and forwarding every click to TForm1.
#pragma once

#include "app/form.h"
#include "app/qt/blocked_close.h"
#include "app/qt/qt_host.h"
#include "app/qt/qt_run_threads.h"

#include <QMainWindow>

#include <cstdint>
#include <memory>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QFrame;
class QPlainTextEdit;
class QDialog;
class QMenu;

namespace kestrel {

class MainWindow : public QMainWindow {
public:
    /// `maker`: where the notices, the web page and the developer are (TForm1).
    MainWindow(QtHost& host, Downloader& downloader, const FileLocations& where, MakerAddresses maker = {});
    /// Everything beside the program, as a portable copy keeps it (the tests).
    MainWindow(QtHost& host, Downloader& downloader, const std::filesystem::path& programFolder,
               MakerAddresses maker = {})
        : MainWindow(host, downloader, FileLocations::besideProgram(programFolder), std::move(maker))
    {
    }

    /// A run still in progress is stopped before its next file and waited for.
    ~MainWindow() override;

    TForm1& form() { return form_; }
    /// Runs start-up and shows its outcome; the notices are fetched meanwhile on a
    /// thread of their own and show when they come.
    void create();
    /// The two dialogs, children of this window; they must be destroyed before it.
    void setDialogs(QDialog* about, QDialog* disclaimers);
    /// Shows the model's state in the widgets.
    void sync();
    /// Files to correct as soon as the window is on the screen, as if dropped onto it.
    void correctOnceShown(std::vector<std::filesystem::path> files)
    {
        form_.prepareBatch(files);
        startFiles_ = std::move(files);
    }
    /// Shows the window in the middle of the screen, frame and title bar included.
    void showCentred();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The steps of building the window, in order.
    void setUpFrame();
    void connectTheLogic();
    void createControls();
    void createGrid();
    void createNoticePanels();
    void setTabOrder();
    void createMenu();
    void connectControls();

    template <class F> void handle(F&& handler);
    /// Adds the items to `menu` (an unavailable one greyed, saying why) and shows it at
    /// `at`; a choice goes to TForm1 with the grid row it was made over.
    void popUp(const std::vector<MenuItem>& items, QMenu& menu, const QPoint& at, int row);
    void afterRunShown();
    /// Files may be dropped while the window is idle and no dialog covers it.
    bool takesDrops() const;
    /// About and Disclaimers: a failure is reported in a plain box naming `handlerName`.
    void showDialog(QDialog* dialog, const char* handlerName);
    void showColumnsToTheEdge();
    /// Marks the header of the column the rows are sorted by; none for -1.
    void showSortIndicator(int column);
    /// Moves the window's frame to the middle of its screen's free area.
    void centreFrame();
    /// The window is on the screen: the boxes that waited for it come, then the files
    /// of the command line are corrected.
    void windowOnScreen();
    /// A close asked for while a box or dialog blocked the window: carried out as any
    /// close, and the box closed as Esc closes it (a question answered No).
    void closeOverBoxes();

    QtHost& host_;
    TForm1 form_;
    /// The runs' thread; after what a run shows and after its end, the widgets follow
    /// the model and a close asked for meanwhile is carried out.
    QtRunThreads runThreads_{[this] { afterRunShown(); }};
    bool closing_ = false;
    FetchThread fetches_;
    bool shownOnce_ = false;
    QWidget* client_ = nullptr;
    QLineEdit *edit1_, *edit2_, *edit3_;
    QLabel *label7_, *label8_, *label9_;
    QPushButton *button1_, *button2_, *button6_, *button7_;
    QPushButton *button3_, *button4_, *button5_; // on the notice panels
    QProgressBar* progress_;
    QTableWidget* grid_;
    QFrame *updatePanel_, *messagePanel_;
    QPlainTextEdit *memo1_, *memo2_;
    QDialog* about_ = nullptr;
    QDialog* disclaimers_ = nullptr;
    std::uint64_t gridRevision_ = ~std::uint64_t{0};
    std::vector<std::filesystem::path> startFiles_;
    bool centring_ = false; // until the window manager has told the frame's size
    std::unique_ptr<BlockedCloseWatch> closeWatch_;
};

/// The window's 32 x 32 icon: a small falcon against the sky, drawn at run time.
QIcon kestrelIcon();

/// Names the application "Kestrel", as the task bar and the desktop show it. It gets no
/// display name: Qt would append that to every caption, and the captions are exactly
/// as they have always read.
void nameApplication();

} // namespace kestrel
