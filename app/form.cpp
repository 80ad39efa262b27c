#include "app/form.h"

#include "analysis/analysis.h"
#include "core/numbers.h"
#include "core/report.h"
#include "engine/choices.h"
#include "settings/settings.h"

#include <cmath>
#include <utility>

namespace kestrel {
namespace {

/// Holds a flag of the window (a run in progress, a notice being shown) set for the
/// lifetime of a scope, whichever way it ends.
class RunGuard {
public:
    explicit RunGuard(bool& flag) : flag_(flag) { flag_ = true; }
    ~RunGuard() { flag_ = false; }
    RunGuard(const RunGuard&) = delete;
    RunGuard& operator=(const RunGuard&) = delete;

private:
    bool& flag_;
};

std::string nameOf(const std::filesystem::path& p) { return p.filename().string(); }

/// Dropped files count as chosen in the file dialog, which makes their folder the
/// working folder (the one the settings file keeps).
const std::vector<std::filesystem::path>& takeAsChosen(const std::vector<std::filesystem::path>& files)
{
    std::error_code ec;
    std::filesystem::current_path(files.front().parent_path(), ec);
    return files;
}

} // namespace

std::string noPdfReaderText(const std::filesystem::path& document)
{
    return "No PDF reader was found to open " + document.string() + ". Open it with a program of your choice.";
}

std::string noWebBrowserText(const std::string& address)
{
    return "No web browser was found to open " + address + ". Open the address in a browser of your choice.";
}

std::string noMailProgramText(const std::string& address, const std::string& subject)
{
    return "No e-mail program was found to write to " + address + ". Write to this address, subject \"" + subject +
           "\", with a program of your choice.";
}

std::string homePageOf(const std::string& server)
{
    const std::size_t scheme = server.find("://");
    const std::size_t host = scheme == std::string::npos ? 0 : scheme + 3;
    return server.substr(0, server.find('/', host)) + "/";
}

void showInGridRow(const ImageOutcome& outcome, ResultsGrid& grid, int row)
{
    if (!outcome.handed())
        return;
    if (outcome.background)
        grid.setCell(1, row, "  " + formatFixed(*outcome.background, 2));
    if (outcome.exposure)
        grid.setCell(2, row, "    " + std::to_string(*outcome.exposure));
    if (outcome.result != ImageOutcome::Result::corrected) {
        grid.setCell(3, row, "Failed");
        return;
    }
    grid.setCell(4, row, formatFixed(outcome.amplitude.value_or(0), 3, 7));
    grid.setCell(3, row, "     " + std::to_string(outcome.temperature.value_or(0)));
}

void fillResultsEntry(const ImageOutcome& outcome, tImageData& entry)
{
    const tImageData measured = resultsEntry(entry.image, outcome);
    entry.ccdTemp = measured.ccdTemp;
    entry.exposure = measured.exposure;
    if (measured.measured) {
        entry.amplitude = measured.amplitude;
        entry.measured = true;
    }
}

void offerPhase(Host& host, Binning bands, std::int32_t phase, std::string& field,
                const std::filesystem::path& settingsFile)
{
    const std::string text = "The Phase = " + std::to_string(phase) + "\n" + "Update the congfiguration (.ini) file?";
    if (!host.confirm(text, true))
        return;
    reportFailures(host, inFunction("findPhase16"), [&] {
        field = std::to_string(phase);
        storePhase(settingsFile, bands, phase);
    });
}

TForm1::TForm1(Host& host, Downloader& downloader, FileLocations locations, MakerAddresses maker)
    : host(host), downloader_(downloader), locations_(std::move(locations)), maker_(std::move(maker))
{
}

TForm1::TForm1(Host& host, Downloader& downloader, const std::filesystem::path& programFolder, MakerAddresses maker)
    : TForm1(host, downloader, FileLocations::besideProgram(programFolder), std::move(maker))
{
}

std::string settingsElsewhereText(const FileLocations& where)
{
    return "Kestrel keeps its settings in " + where.settingsFile.string() + ": the program's folder " +
           where.programFolder.string() +
           " is an installation or cannot be written, so the kestx.ini there is not used.";
}

void TForm1::FormCreate()
{
    // A kestx.ini beside a program that keeps its settings in the user's folder would
    // otherwise be ignored without a word: said once, until the user's own is written.
    std::error_code ec;
    if (locations_.inUserFolders() && std::filesystem::exists(locations_.programFolder / "kestx.ini", ec) &&
        !std::filesystem::exists(locations_.settingsFile, ec))
        host.plainBox(settingsElsewhereText(locations_));
    readIniFile(host, locations_.settingsFile, locations_.programFolder, window.edit1, window.edit2);
    notices.messageLines.clear();
    window.grid.setRow(0, {"Image", "   Bkdg", "    Exp", "  Temp", "   Amp", ""});
    window.button6.visible = false;
    // A build that names no server has nothing to fetch and nothing to report.
    if (maker_.server.empty())
        return;
    noticesStarted_ = Downloader::Clock::now();
    requestNotice(NoticeFile::message);
}

void TForm1::requestNotice(NoticeFile which)
{
    const NoticeRequest request{which, noticeUrl(maker_.server, which), locations_.noticeFolder / noticeFileName(which),
                                noticesStarted_ + (which == NoticeFile::message ? noticeTimeLimit / 2 : noticeTimeLimit)};
    const bool removed = removeOldCopy(request.local);
    createFolderOf(request.local);
    fetching_ = true;
    // Fetched elsewhere, the notice never holds the window up, and nothing is pumped: a
    // click handled here could start a run that kept the next download waiting.
    if (fetchNotice) {
        fetchNotice(request);
        return;
    }
    // Fetched here, the window is kept alive before the download holds it.
    if (removed)
        host.pumpMessages();
    noticeFetched(which, downloader_.download(request.url, request.local, request.deadline));
}

void TForm1::noticeFetched(NoticeFile which, bool ok)
{
    if (closeDue_) {
        fetching_ = false;
        return;
    }
    const std::filesystem::path local = locations_.noticeFolder / noticeFileName(which);
    if (which == NoticeFile::message) {
        const auto failure = caughtFailure([&] {
            if (!ok)
                return;
            if (auto lines = getDeveloperMessage(notices, local))
                whenIdle([this, lines = std::move(*lines)] { applyMessage(lines); });
        });
        if (failure) {
            // A failure in reading the message skips the update check.
            fetching_ = false;
            whenIdle([this, text = *failure] { host.generalErrorBox(text); });
        } else {
            requestNotice(NoticeFile::update);
        }
    } else {
        fetching_ = false;
        const std::string url = noticeUrl(maker_.server, which);
        const auto failure = caughtFailure([&] {
            if (!ok)
                whenIdle([this, url] { host.plainBox("Error downloading " + url); });
            else if (auto notice = checkForUpdate(notices, local, programVersion))
                whenIdle([this, notice = std::move(*notice)] { applyUpdate(notice); });
        });
        if (failure)
            whenIdle([this, text = *failure] { host.generalErrorBox(text); });
    }
    showPendingNotices();
}

void TForm1::showPendingNotices()
{
    // One at a time: while a box of one is open, the next may arrive.
    while (idle() && !pending_.empty()) {
        const std::function<void()> show = std::move(pending_.front());
        pending_.pop_front();
        RunGuard presenting(presenting_);
        show();
    }
}

void TForm1::handlerEnded()
{
    --handlers_;
    showPendingNotices();
}

void TForm1::dialogHidden()
{
    window.enabled = true;
    showPendingNotices();
}

void TForm1::applyMessage(const std::vector<std::string>& lines)
{
    auto& memo = window.messagePanel.memoLines;
    memo.insert(memo.end(), lines.begin(), lines.end());
    window.messagePanel.visible = true;
}

void TForm1::applyUpdate(const UpdateNotice& notice)
{
    window.label9 = "The latest version is " + notice.latest;
    auto& memo = window.updatePanel.memoLines;
    memo.insert(memo.end(), notice.notes.begin(), notice.notes.end());
    window.updatePanel.visible = true;
}

void TForm1::resetButtons()
{
    window.button2.visible = false;
    window.button2.caption = "Cancel";
    run.cancelRequested = false;
    window.progressBar1.visible = false;
    host.setBusyCursor(false);
    window.button1.enabled = true;
}

void TForm1::clearResultsGrid()
{
    host.pumpMessages();
    window.label7.clear();
    window.label8.clear();
    ResultsGrid& grid = window.grid;
    for (int row = 1; row <= 7 && row < grid.rowCount(); ++row)
        grid.setRow(row, {" ", " ", " ", " ", " ", " "});
}

bool TForm1::prepareOutputFolder(const std::filesystem::path& firstFile)
{
    const std::filesystem::path folder = firstFile.parent_path();
    run.madeOutputFolder = false;
    run.overwrite = host.confirm("Overwrite existing files?", false);
    // The window was closed over the question: no image is to be treated.
    if (closePending_)
        return false;
    if (run.overwrite) {
        run.outputFolder = folder;
        return true;
    }
    run.outputFolder = outputFolderIn(folder);
    std::error_code ec;
    if (std::filesystem::is_directory(run.outputFolder, ec))
        return host.confirm((run.outputFolder / "").string() + "\nalready exists.\n\nContinue?", false);
    // A folder that cannot be made ends the run here, with the real reason, before any
    // image is measured for a file that could not be written.
    if (!std::filesystem::create_directory(run.outputFolder, ec)) {
        const bool inTheWay = !ec || ec == std::errc::file_exists;
        const std::string reason = inTheWay ? "a file of that name is in the way" : ec.message();
        host.errorBox("Cannot create the folder " + run.outputFolder.string() + ": " + reason);
        return false;
    }
    run.madeOutputFolder = true;
    return true;
}

double TForm1::showAmplitudeStatistics(const std::vector<double>& values, int first, int last)
{
    // Only corrected images count: a file that was not handed to a correction, or
    // whose correction failed, carries the Failed marker in its slot.
    window.label7.clear();
    window.label8.clear();
    const auto spread = amplitudeSpread(std::vector<double>(values.begin() + first, values.begin() + last + 1));
    if (!spread)
        return 0;
    window.label7 = formatFixedTrimmed(spread->mean, 3, 7);
    if (!spread->deviation)
        return 0;
    window.label8 = formatFixedTrimmed(*spread->deviation, 3, 7);
    return *spread->deviation;
}

template <class Body> void TForm1::beginRun(const char* handler, Body body)
{
    if (running_)
        return;
    running_ = true;
    if (const auto failure = caughtFailure(body)) {
        resetButtons();
        host.errorBox(*failure + inProcedure(handler));
        batch_.reset();
        readyPixels_.reset();
        endRun(false);
    }
}

void TForm1::endRun(bool leftIdle)
{
    if (leftIdle) {
        host.setBusyCursor(false);
        resetButtons();
        host.pumpMessages();
    }
    // A folder this run made and left empty (nothing was corrected) goes again, so that
    // the next run does not ask whether to continue into it.
    if (std::exchange(run.madeOutputFolder, false)) {
        std::error_code ec;
        if (std::filesystem::is_empty(run.outputFolder, ec))
            std::filesystem::remove(run.outputFolder, ec);
    }
    running_ = false;
    // A close asked for while a box or dialog of the run was open is carried out now.
    runEnded();
    // Notices that arrived during the run show after its last box.
    showPendingNotices();
}

void TForm1::Button1Click() { batchRun(std::nullopt); }

void TForm1::filesDropped(const std::vector<std::filesystem::path>& files)
{
    if (!files.empty())
        batchRun(files);
}

void TForm1::prepareBatch(const std::vector<std::filesystem::path>& files)
{
    if (!files.empty())
        readyPixels_ = std::make_unique<ReadyPixels>(files.front(), batchJobs(jobs, files.size()));
}

void TForm1::batchRun(const std::optional<std::vector<std::filesystem::path>>& chosen)
{
    beginRun("Button1Click", [this, &chosen] {
        bool leftIdle = true;
        const std::vector<std::filesystem::path> files = chooseBatch(chosen, leftIdle);
        if (files.empty()) {
            readyPixels_.reset(); // the memory made ready for a batch that never started
            endRun(leftIdle);
        } else {
            startBatch(files);
        }
    });
}

std::vector<std::filesystem::path>
TForm1::chooseBatch(const std::optional<std::vector<std::filesystem::path>>& chosen, bool& leftIdle)
{
    run.amplitudeSetting = 0;
    window.button6.visible = false;
    const auto amp = parseReal(window.edit3);
    run.conversionCode = amp.status;
    // A text that is not wholly a number (as "n/a", or "1.5 ") measures each image.
    if (amp.ok()) {
        if (amplitudeFault(amp.value) != AmplitudeFault::none) {
            host.errorBox("Amphlitude must be greater than 0.0.");
            leftIdle = false;
            return {};
        }
        run.amplitudeSetting = amp.value;
    }
    clearResultsGrid();
    run.fileCount = 0;
    run.cancelRequested = false;
    run.shown.clear();
    run.statisticsShown = false;
    // A close asked for while the grid was cleared ends the run before it starts.
    if (closePending_)
        return {};
    std::vector<std::filesystem::path> files = chosen ? takeAsChosen(*chosen) : host.openFiles(selectTitle, fitsFilter, true);
    if (files.empty())
        return files;
    if (!readyPixels_)
        prepareBatch(files);
    if (!prepareOutputFolder(files.front())) {
        leftIdle = false;
        return {};
    }
    return files;
}

namespace {

/// Hands each image of a batch to the window's thread and waits for its answer.
class WindowObserver : public BatchObserver {
public:
    WindowObserver(RunThreads& threads, std::function<bool(std::size_t, const ImageResult&)> show)
        : threads_(threads), show_(std::move(show))
    {
    }
    bool imageDone(std::size_t index, ImageResult& result) override
    {
        bool goOn = false;
        threads_.onWindowThread([&] { goOn = show_(index, result); });
        return goOn;
    }

private:
    RunThreads& threads_;
    std::function<bool(std::size_t, const ImageResult&)> show_;
};

} // namespace

void TForm1::startBatch(const std::vector<std::filesystem::path>& files)
{
    const int n = static_cast<int>(files.size());
    const bool single = n == 1;
    window.button1.enabled = false;
    if (!single) {
        window.button2.visible = true;
        host.pumpMessages();
        ResultsGrid& grid = window.grid;
        grid.setRowCount(n + 1);
        // Rows beyond those clearResultsGrid blanks may still hold an earlier run's values.
        for (int row = 8; row <= n; ++row)
            grid.setRow(row, {" ", " ", " ", " ", " ", " "});
        window.progressBar1 = ProgressState{true, 0, n, 0};
    }
    host.setBusyCursor(true);
    run.amplitudes.assign(static_cast<std::size_t>(n), 0.0);
    run.imageResults.assign(static_cast<std::size_t>(n), tImageData{});
    run.severalFiles = !single;
    // Each input as it is now: a band profile asked for later measures it again only
    // while it is still the file this run corrected.
    std::vector<std::optional<FileStamp>> stamps;
    for (const std::filesystem::path& file : files)
        stamps.push_back(stampOf(file));

    // The phase fields are read once, as the run starts: the images are treated ahead of
    // the rows that show them.
    BatchSettings settings;
    settings.phases = {window.edit1, window.edit2};
    run.phases = settings.phases;
    settings.amplitude = run.amplitudeSetting;
    settings.jobs = jobs;
    std::vector<PixelBuffer<float>> ready;
    if (readyPixels_)
        ready = std::exchange(readyPixels_, nullptr)->take();
    batch_ = std::make_shared<BatchRun>(files, OutputPlan(run.overwrite, run.outputFolder, files), settings,
                                        std::move(ready));
    batchStopped_ = false;
    auto observer = std::make_shared<WindowObserver>(
        *threads_, [this, single, stamps = std::move(stamps)](std::size_t i, const ImageResult& result) {
            const bool goOn = showImage(single, i, result);
            if (run.fileCount > static_cast<int>(run.shown.size()) && result.outcome.skip != ImageOutcome::Skip::unreadable)
                run.shown.push_back({i, nameOf(result.input), result.input, batch_->outputFor(i), stamps.at(i),
                                     result.outcome.result, result.outcome.measured, result.outcome.temperature});
            return goOn;
        });
    threads_->start([batch = batch_, observer] { batch->run(*observer); },
                    [this, n, single] {
                        batch_.reset();
                        if (!single && !batchStopped_) {
                            showAmplitudeStatistics(run.amplitudes, 0, n - 1);
                            run.statisticsShown = true;
                            if (run.amplitudeSetting == 0)
                                window.button6.visible = true;
                        }
                        endRun(true);
                    });
}

bool TForm1::showImage(bool single, std::size_t index, const ImageResult& result)
{
    const ImageOutcome& outcome = result.outcome;
    const std::string name = nameOf(result.input);
    // A file that cannot be opened ends the run, as a failure of Select Files itself.
    if (outcome.skip == ImageOutcome::Skip::unreadable) {
        if (!single)
            window.grid.setCell(0, ++run.fileCount, name);
        resetButtons();
        host.errorBox(outcome.message + inProcedure("Button1Click"));
        batchStopped_ = true;
        return false;
    }
    // A file without a header ends the single-file run before it shows anything.
    if (single && outcome.skip == ImageOutcome::Skip::noHeader) {
        showBoxes(host, outcome.reports);
        return false;
    }
    if (single) {
        window.grid.setRowCount(7);
        run.fileCount = 1;
    } else {
        ++run.fileCount;
    }
    tImageData& entry = run.imageResults.at(static_cast<std::size_t>(run.fileCount - 1));
    window.grid.setCell(0, run.fileCount, name);
    entry.image = name;
    // A file without a readable header is left with its name alone in its row, as is
    // one whose correction this run has made already.
    if (outcome.skip == ImageOutcome::Skip::repeated || outcome.skip == ImageOutcome::Skip::replacesInput ||
        outcome.skip == ImageOutcome::Skip::keepsExisting || outcome.skip == ImageOutcome::Skip::correctedBefore)
        host.errorBox(result.input.string() + ": " + outcome.message + "; it is skipped.");
    showBoxes(host, outcome.reports);
    entry.binning = outcome.binning;
    showInGridRow(outcome, window.grid, run.fileCount);
    fillResultsEntry(outcome, entry);
    if (single)
        return false;
    if (outcome.skip == ImageOutcome::Skip::badPhase) {
        resetButtons();
        batchStopped_ = true;
        return false;
    }
    run.amplitudes.at(index) = outcome.handed() ? outcome.amplitude.value_or(failedAmplitude) : failedAmplitude;
    window.progressBar1.position = static_cast<int>(index) + 1;
    if (outcome.stopsRun)
        run.cancelRequested = true;
    if (run.cancelRequested) {
        resetButtons();
        batchStopped_ = true;
        return false;
    }
    return true;
}

void TForm1::Button2Click()
{
    run.cancelRequested = true;
    window.button2.caption = "Canceling";
}

void TForm1::Button7Click()
{
    beginRun("Button7Click", [this] {
        run.cancelRequested = false;
        const auto files = host.openFiles(selectTitle, fitsFilter, false);
        if (files.size() != 1) {
            endRun(true);
            return;
        }
        host.setBusyCursor(true);
        host.pumpMessages();
        // The search runs away from the window; what it found, and every box it asked
        // for, come back to the window's thread when it is done.
        auto searched = std::make_shared<PhaseOutcome>();
        threads_->start([file = files.front(), searched] { *searched = searchFilePhase(file); },
            [this, searched, searchedFile = files.front()] {
                const PhaseOutcome& outcome = *searched;
                // A file that cannot be opened ends the run, as a failure of Find Phase itself.
                if (outcome.result == PhaseOutcome::Result::unreadable) {
                    resetButtons();
                    host.errorBox(outcome.message + inProcedure("Button7Click"));
                    endRun(false);
                    return;
                }
                if (outcome.result == PhaseOutcome::Result::noHeader) {
                    showBoxes(host, outcome.reports);
                    host.setBusyCursor(false);
                    endRun(false);
                    return;
                }
                window.grid.setRowCount(7);
                window.button1.enabled = false;
                // The grid shows the phase run now: the batch's rows are gone.
                run.shown.clear();
                lastPhase_ = outcome;
                lastPhaseName_ = outcome.result == PhaseOutcome::Result::found ? nameOf(searchedFile) : "";
                // The results are cut to one entry: saving them now would lose the batch's.
                window.button6.visible = false;
                run.imageResults.resize(1);
                run.amplitudes.resize(1);
                showBoxes(host, outcome.reports);
                if (outcome.result == PhaseOutcome::Result::found)
                    offerPhase(host, outcome.bands, outcome.search.phase,
                               outcome.bands == Binning::unbinned ? window.edit1 : window.edit2,
                               locations_.settingsFile);
                host.setBusyCursor(false);
                endRun(true);
            });
    });
}

void TForm1::runEnded()
{
    if (!closePending_)
        return;
    closePending_ = false;
    FormClose();
    closeDue_ = true;
}

bool TForm1::requestClose()
{
    if (closeDue_)
        return true;
    if (running_) {
        closePending_ = true;
        Button2Click();
        return false;
    }
    FormClose();
    closeDue_ = true;
    return true;
}

void TForm1::FormClose() { updateIniFile(host, locations_.settingsFile, window.edit1, window.edit2); }

void TForm1::Button6Click()
{
    reportFailures(
        host, "",
        [&] {
            createFolderOf(locations_.resultsFile);
            appendResultsCsv(locations_.resultsFile, run.imageResults);
            window.button6.visible = false;
        },
        BoxKind::general);
}

void TForm1::StringGrid1DblClick()
{
    if (!running_)
        sortGrid(window.grid.currentColumn);
}

void TForm1::StringGrid1HeaderClick(int column)
{
    if (!running_)
        sortGrid(column);
}

void TForm1::sortGrid(int column)
{
    SortStringGrid(host, window.grid, column);
    window.sortedColumn = column;
    window.sortedRevision = window.grid.revision();
}

void TForm1::Button3Click()
{
    if (downloadUpdateClick(notices, host)) {
        host.pumpMessages();
        window.updatePanel.visible = false;
    }
}
void TForm1::Button4Click() { window.updatePanel.visible = false; }
void TForm1::Button5Click() { window.messagePanel.visible = false; }

// A missing manual goes unnoticed, as the handler reports it (or not) itself; only a
// desktop without any program for the target gets a box, so the user can open the
// file or address by hand.
void TForm1::Help2Click()
{
    reportFailures(
        host, inFunction("Help2Click"),
        [&] {
            if (!host.openDocument(locations_.manualFile.string()))
                host.plainBox(noPdfReaderText(locations_.manualFile));
        },
        BoxKind::plain);
}

void TForm1::openerFailed(const std::string& target)
{
    std::string text;
    if (target == locations_.manualFile.string())
        text = noPdfReaderText(locations_.manualFile);
    else if (!openedFolder_.empty() && target == openedFolder_.string())
        text = noFileManagerText(openedFolder_);
    else if (target.starts_with("mailto:"))
        text = noMailProgramText(maker_.contact, "Kestrel...");
    else
        text = noWebBrowserText(target);
    whenIdle([this, text] { host.plainBox(text); });
    showPendingNotices();
}

std::string TForm1::webPage() const
{
    return maker_.server.empty() ? locations_.webPage.string() : maker_.server + "/kestrel/kestrel.htm";
}

std::string TForm1::homePage() const
{
    return maker_.server.empty() ? locations_.webPage.string() : homePageOf(maker_.server);
}

void TForm1::G1Click()
{
    const std::string page = webPage();
    if (!host.openDocument(page))
        host.plainBox(noWebBrowserText(page));
}

void TForm1::S1Click()
{
    if (maker_.contact.empty()) {
        host.plainBox(noContactText);
        return;
    }
    const std::string subject = "Kestrel...";
    if (!host.openDocument("mailto:" + maker_.contact + "?subject=" + subject))
        host.plainBox(noMailProgramText(maker_.contact, subject));
}

} // namespace kestrel
