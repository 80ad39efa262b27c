// The main window's logic without any widget: start-up, the two runs, closing, the
// results grid hooks and the menu. The Qt window shows `window` and forwards clicks.
#pragma once

#include "app/window_model.h"
#include "core/host.h"
#include "core/program_folder.h"
#include "fits/workspace.h"
#include "online/online.h"
#include "settings/settings.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

/// The state of the batch run in progress or last made.
struct RunState {
    std::vector<tImageData> imageResults; // one entry per selected file, for Save Results
    std::vector<double> amplitudes;       // each file's amplitude, for the statistics
    std::int32_t fileCount = 0;           // files started; the current file's grid row
    std::int32_t conversionCode = 0;      // status of the last field conversion
    bool cancelRequested = false;
    bool overwrite = false; // every corrected file replaces its own input
    std::filesystem::path outputFolder;
    std::filesystem::path outputFileName;
};

inline constexpr const char* fitsFilter = "FITS|*.FIT;*.FITS|All Files|*.*";
inline constexpr const char* selectTitle = "Select FITS Image(s)";
inline constexpr const char* contactAddress = "kestrel@example.org";

/// What the user reads when the desktop has no program for a Help item: the kind of
/// program missing, and the file or address to open by hand.
std::string noPdfReaderText(const std::filesystem::path& document);
std::string noWebBrowserText(const std::string& address);
std::string noMailProgramText(const std::string& address, const std::string& subject);

class TForm1 {
public:
    TForm1(Host& host, Downloader& downloader, FileLocations locations, std::string server = serverAddress());
    /// Everything beside the program, as a portable copy keeps it.
    TForm1(Host& host, Downloader& downloader, const std::filesystem::path& programFolder,
           std::string server = serverAddress());
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    Host& host;
    WindowModel window;
    Workspace ws;
    RunState run;
    Notices notices;
    const FileLocations& locations() const { return locations_; }

    /// True while a batch or phase run is in progress. A click that would start a
    /// second run or sort the grid is ignored meanwhile: the run writes cells by row.
    bool running() const { return running_; }
    /// True once the window may close: the settings were written by FormClose.
    bool closeDue() const { return closeDue_; }

    void FormCreate();
    void resetButtons();
    void clearResultsGrid();

    void Button1Click();
    /// Files dropped on the window: the batch run of Select Files with these files as
    /// the dialog's answer, in this order. Ignored while a run is in progress.
    void filesDropped(const std::vector<std::filesystem::path>& files);
    bool prepareOutputFolder(const std::filesystem::path& firstFile);
    double showAmplitudeStatistics(const std::vector<double>& values, int first, int last);
    void Button2Click();
    void Button7Click();
    void Button6Click();
    void StringGrid1DblClick();

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
    /// About and Disclaimers: the main window is disabled while either is shown and
    /// enabled again however the dialog is closed.
    void dialogShown() { window.enabled = false; }
    void dialogHidden() { window.enabled = true; }

private:
    /// Select Files' run; `chosen` stands in for the file dialog's answer when given.
    void batchRun(const std::optional<std::vector<std::filesystem::path>>& chosen);
    void singleFileRun(const std::filesystem::path& file);
    void multiFileRun(const std::vector<std::filesystem::path>& files);
    void runEnded();
    /// Runs `body` as the one run in progress: ignored while another runs; the idle
    /// state restored unless `body` returns false; a failure reported for `handler`.
    template <class Body> void exclusiveRun(const char* handler, Body body);

    void applyMessage(const std::optional<std::vector<std::string>>& lines);
    void applyUpdate(const std::optional<UpdateNotice>& notice);

    Downloader& downloader_;
    FileLocations locations_;
    std::string server_;
    bool running_ = false;
    bool closePending_ = false;
    bool closeDue_ = false;
};

} // namespace kestrel
