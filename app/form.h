// The main window's logic without any widget: start-up, the two runs, closing, the
// results grid hooks and the menu. The Qt window shows `window` and forwards clicks.
#pragma once

#include "app/run_threads.h"
#include "app/window_model.h"
#include "charts/band_charts.h"
#include "core/host.h"
#include "engine/batch.h"
#include "core/program_folder.h"
#include "online/online.h"
#include "settings/settings.h"

#include <chrono>
#include <deque>
#include <memory>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

/// When a file was last written and how long it was: a file whose stamp differs from
/// the one taken as the batch started has changed since.
struct FileStamp {
    std::uintmax_t size = 0;
    std::filesystem::file_time_type written;
    bool operator==(const FileStamp&) const = default;
};
/// The file's stamp; nothing when it is gone (or cannot be looked at).
std::optional<FileStamp> stampOf(const std::filesystem::path& file);

/// One image of the last batch as its grid row showed it: what the grid's context menu
/// needs to measure it again, open its folder or draw the run's amplitudes.
struct ShownImage {
    std::size_t index = 0; // in input order
    std::string name;      // as its row shows it
    std::filesystem::path input;
    std::filesystem::path output;
    std::optional<FileStamp> stamp; // the input's, as the batch started
    ImageOutcome::Result result = ImageOutcome::Result::skipped;
    bool measured = false;
    std::optional<std::int32_t> temperature;
};

/// The state of the batch run in progress or last made. The window's thread alone
/// reads and writes it.
struct RunState {
    std::vector<tImageData> imageResults; // one entry per selected file, for Save Results
    std::vector<double> amplitudes;       // each file's amplitude, for the statistics
    std::int32_t fileCount = 0;           // files shown; the current file's grid row
    std::int32_t conversionCode = 0;      // status of the last field conversion
    double amplitudeSetting = 0;          // the typed amplitude; 0: measure each image
    bool cancelRequested = false;
    bool overwrite = false; // every corrected file replaces its own input
    std::filesystem::path outputFolder;
    bool madeOutputFolder = false; // this run made outputFolder: it goes again if left empty
    // For the grid's context menu: the last batch's images in the order shown, the phase
    // fields it read, whether it showed its statistics.
    std::vector<ShownImage> shown;
    PhaseFields phases;
    bool severalFiles = false;
    bool statisticsShown = false;
};

/// What the context menus of the grid and of the phase fields offer.
enum class MenuChoice { bandProfile, openFolder, runAmplitudes, phaseScores };
struct MenuItem {
    MenuChoice choice;
    std::string caption;
    std::string unavailable; // why the item cannot be chosen; empty when it can
    std::string detail;      // the whole reason where the menu shows it shortened
    /// The caption with the reason, if any, as the menu shows it.
    std::string text() const { return unavailable.empty() ? caption : caption + " (" + unavailable + ")"; }
};

/// What a chart dialog shows: its numbers, line by line, above its charts, and the name
/// offered for each chart's file when it is saved.
struct ChartView {
    std::string caption;
    std::vector<std::string> lines;
    std::vector<plot::Chart> charts;
    std::vector<std::string> fileNames;
};

/// Cells 1 to 4 of an image's grid row, as the window shows the outcome: an image
/// that was handed to a correction but not written reads "Failed" in its Temp cell.
void showInGridRow(const ImageOutcome& outcome, ResultsGrid& grid, int row);

/// The results entry's values from the outcome (name and binning are the run's).
void fillResultsEntry(const ImageOutcome& outcome, tImageData& entry);

/// The window's question "The Phase = N ..." (Yes preselected); on Yes the phase goes
/// into `field` and the settings file, whose failure is reported as the search's.
void offerPhase(Host& host, Binning bands, std::int32_t phase, std::string& field,
                const std::filesystem::path& settingsFile);

/// What the user reads, once, when the kestx.ini beside the program is not the one in
/// use: which file is, and why.
std::string settingsElsewhereText(const FileLocations& where);

/// What the user reads when the desktop has no program to open a folder with.
std::string noFileManagerText(const std::filesystem::path& folder);

inline constexpr const char* fitsFilter = "FITS|*.FIT;*.FITS|All Files|*.*";
inline constexpr const char* selectTitle = "Select FITS Image(s)";

/// Suggestions & Reporting Bugs in a build that names no contact address.
inline constexpr const char* noContactText =
    "This copy of Kestrel was built without an address for suggestions and bug reports. Please send them to "
    "whoever provided your copy of Kestrel.";

/// Both start-up notices end within this time of the start, whatever the server does: a
/// second short of ten, for a busy machine to hand the outcome to the window. The
/// message may take the first half; the update check, which reports a failure, always
/// has the second half to itself.
inline constexpr std::chrono::milliseconds noticeTimeLimit{9000};

/// The maker's home page: the root of the web server at `server`, such as
/// "http://kestrel.example.org/" for "http://kestrel.example.org/kestrel".
std::string homePageOf(const std::string& server);

/// What the user reads when the desktop has no program for a Help item: the kind of
/// program missing, and the file or address to open by hand.
std::string noPdfReaderText(const std::filesystem::path& document);
std::string noWebBrowserText(const std::string& address);
std::string noMailProgramText(const std::string& address, const std::string& subject);

/// One notice to fetch: from `url` into `local`, ending by `deadline`.
struct NoticeRequest {
    NoticeFile which;
    std::string url;
    std::filesystem::path local;
    Downloader::Clock::time_point deadline;
};

class TForm1 {
public:
    /// `maker`: the server the notices and the web page come from and the developer's
    /// address, each empty when there is none (the program passes the build's own).
    TForm1(Host& host, Downloader& downloader, FileLocations locations, MakerAddresses maker = {});
    /// Everything beside the program, as a portable copy keeps it.
    TForm1(Host& host, Downloader& downloader, const std::filesystem::path& programFolder,
           MakerAddresses maker = {});
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    Host& host;
    WindowModel window;
    RunState run;
    Notices notices;
    const FileLocations& locations() const { return locations_; }

    /// True while a batch or phase run is in progress. A click that would start a
    /// second run or sort the grid is ignored meanwhile: the run writes cells by row.
    bool running() const { return running_; }

    /// Where the runs do their work; unset, everything runs in turn on the calling
    /// thread. The window's thread calls every handler below.
    void setRunThreads(RunThreads& threads) { threads_ = &threads; }
    /// Files treated at once by a batch run; 0, the default, one per core.
    unsigned jobs = 0;
    /// Stops the batch in progress, if any, before its next file: for a window that
    /// goes away.
    void stopRun()
    {
        if (batch_)
            batch_->stop();
    }
    /// True once the window may close: the settings were written by FormClose.
    bool closeDue() const { return closeDue_; }

    /// Reads the settings, sets up the grid and starts fetching the notices; nothing is
    /// fetched without a server.
    void FormCreate();

    /// Starts a notice's download away from the window; the outcome must come back
    /// through noticeFetched on the window's thread. Unset, each download is made on the
    /// spot.
    std::function<void(const NoticeRequest&)> fetchNotice;
    /// A notice's download ended. The file is read at once: the update is fetched after
    /// the message, unless reading the message failed. What the notice brings (a panel,
    /// "Error downloading", a failure in reading it) is shown when the window is idle.
    void noticeFetched(NoticeFile which, bool ok);
    /// True while a notice is being fetched or waits for the window to be idle.
    bool noticesPending() const { return fetching_ || !pending_.empty(); }
    /// A click's handler runs between these two; it may wait in a box meanwhile, and a
    /// notice that arrives then is shown when the handler has ended.
    void handlerStarted() { ++handlers_; }
    void handlerEnded();

    void resetButtons();
    void clearResultsGrid();

    void Button1Click();
    /// Files dropped on the window: the batch run of Select Files with these files as
    /// the dialog's answer, in this order. Ignored while a run is in progress.
    void filesDropped(const std::vector<std::filesystem::path>& files);
    /// Files the window was started with, to be corrected once it is shown: the memory
    /// for their first images is made ready meanwhile (ReadyPixels).
    void prepareBatch(const std::vector<std::filesystem::path>& files);
    bool prepareOutputFolder(const std::filesystem::path& firstFile);
    double showAmplitudeStatistics(const std::vector<double>& values, int first, int last);
    void Button2Click();
    void Button7Click();
    void Button6Click();
    void StringGrid1DblClick();
    /// A click on a column's header sorts by that column, in the double-click's order.
    void StringGrid1HeaderClick(int column);

    /// The user asks to close. Outside a run the settings are written and the answer
    /// is true. During a run the run is asked to stop; the window closes (closeDue)
    /// once the file in progress is finished.
    bool requestClose();
    /// Writes the settings file.
    void FormClose();

    void Button3Click();
    void Button4Click();
    void Button5Click();
    void Help2Click();
    void G1Click();
    void S1Click();
    /// The desktop's opener ran but found no program for `target` (the manual, a web
    /// page or a mail address handed over by a Help item or a button): a box says so and
    /// names it, so the user can open it by hand.
    void openerFailed(const std::string& target);
    /// About and Disclaimers: the main window is disabled while either is shown and
    /// enabled again however the dialog is closed.
    void dialogShown() { window.enabled = false; }
    void dialogHidden();

    /// The items of the grid's context menu over grid row `row` (1 for the first image):
    /// none during a run, over a row without an image of the last batch, or after a
    /// phase run.
    std::vector<MenuItem> gridMenu(int row) const;
    /// The phase fields' context menu adds these items to the field's own.
    std::vector<MenuItem> phaseFieldMenu() const;
    /// An item of either menu was chosen (over grid row `row`). An item that is not
    /// available there is ignored.
    void menuChosen(MenuChoice choice, int row = 0);
    /// Shows a chart dialog, modal over the window; unset, nothing is shown.
    std::function<void(const ChartView&)> showCharts;

    /// The program's web page: on the server, or the copy shipped with the program.
    std::string webPage() const;
    /// The About dialog's home page: the server's root, or the shipped web page.
    std::string homePage() const;

private:
    /// Select Files' run; `chosen` stands in for the file dialog's answer when given.
    void batchRun(const std::optional<std::vector<std::filesystem::path>>& chosen);
    /// The steps of Select Files before any file is treated; the files to treat, empty
    /// when the run ends here (`leftIdle` false when it never left the idle state).
    std::vector<std::filesystem::path> chooseBatch(const std::optional<std::vector<std::filesystem::path>>& chosen,
                                                   bool& leftIdle);
    /// Treats the files away from the window; each image's row and boxes come back to
    /// the window's thread in input order, and the statistics once all are shown.
    void startBatch(const std::vector<std::filesystem::path>& files);
    /// One image of the batch on the window's thread: its row, its entry and its boxes.
    /// False when the run ends after it.
    bool showImage(bool single, std::size_t index, const ImageResult& result);
    /// The end of a run on the window's thread: the idle state restored (unless the run
    /// never left it), a close asked for meanwhile carried out, waiting notices shown.
    void endRun(bool leftIdle);
    void runEnded();
    /// Runs `body`, the first steps of a run, on the window's thread; a failure ends the
    /// run with its report for `handler`. Ignored while another run is in progress.
    template <class Body> void beginRun(const char* handler, Body body);
    void sortGrid(int column);
    /// The image of the last batch that grid row `row` shows, if any: found by its name,
    /// the rows being sorted perhaps, the n-th row of a name for its n-th image.
    const ShownImage* shownAt(int row) const;
    /// Band Profile...: measures the image's input again away from the window.
    void showBandProfile(const ShownImage& image);
    void showRunAmplitudes();
    void showPhaseScores();

    void applyMessage(const std::vector<std::string>& lines);
    void applyUpdate(const UpdateNotice& notice);
    /// Removes the old copy of a notice and has it fetched.
    void requestNotice(NoticeFile which);
    /// Nothing covers the window and nothing waits for the user: a notice may show.
    bool idle() const { return !running_ && window.enabled && handlers_ == 0 && !presenting_ && !closeDue_; }
    void whenIdle(std::function<void()> show) { pending_.push_back(std::move(show)); }
    /// Shows, in the order they came, the notices that waited for the window to be idle.
    void showPendingNotices();

    InlineRunThreads inlineThreads_;
    RunThreads* threads_ = &inlineThreads_;
    std::shared_ptr<BatchRun> batch_; // the batch in progress
    std::unique_ptr<ReadyPixels> readyPixels_; // made ready while the run asks its questions
    bool batchStopped_ = false;       // the batch in progress ended before its last file
    Downloader& downloader_;
    FileLocations locations_;
    MakerAddresses maker_;
    bool running_ = false;
    bool closePending_ = false;
    bool closeDue_ = false;
    Downloader::Clock::time_point noticesStarted_;
    bool fetching_ = false;
    int handlers_ = 0;
    bool presenting_ = false;
    std::deque<std::function<void()>> pending_;
    // The last phase run that got as far as a search, and its file's name.
    std::optional<PhaseOutcome> lastPhase_;
    std::string lastPhaseName_;
    std::filesystem::path openedFolder_; // the last folder handed to the desktop
};

} // namespace kestrel
