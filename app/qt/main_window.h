// The main window: widgets laid out as the Kestrel window has always looked, showing
// the window model and forwarding every click to TForm1.
#pragma once

#include "app/form.h"
#include "app/qt/qt_host.h"
#include "app/qt/qt_run_threads.h"

#include <QMainWindow>

#include <cstdint>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QFrame;
class QPlainTextEdit;
class QDialog;

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

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    template <class F> void handle(F&& handler);
    void afterRunShown();
    /// Files may be dropped while the window is idle and no dialog covers it.
    bool takesDrops() const;
    /// About and Disclaimers: a failure is reported in a plain box naming `handlerName`.
    void showDialog(QDialog* dialog, const char* handlerName);

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
    QProgressBar* progress_;
    QTableWidget* grid_;
    QFrame *updatePanel_, *messagePanel_;
    QPlainTextEdit *memo1_, *memo2_;
    QDialog* about_ = nullptr;
    QDialog* disclaimers_ = nullptr;
    std::uint64_t gridRevision_ = ~std::uint64_t{0};
};

/// The window's 32 x 32 icon: a small falcon against the sky, drawn at run time.
QIcon kestrelIcon();

/// Names the application "Kestrel", as the task bar and the desktop show it. It gets no
/// display name: Qt would append that to every caption, and the captions are exactly
/// as they have always read.
void nameApplication();

} // namespace kestrel
