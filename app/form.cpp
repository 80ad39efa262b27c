#include "app/form.h"

#include "analysis/analysis.h"
#include "app/batch.h"
#include "core/numbers.h"
#include "settings/settings.h"

#include <cmath>

namespace kestrel {
namespace {

/// Marks the window as running for the lifetime of a run, whichever way it ends.
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

TForm1::TForm1(Host& host, Downloader& downloader, const std::filesystem::path& programFolder, std::string server)
    : ws(host, window), downloader_(downloader), server_(std::move(server))
{
    ws.programFolder = programFolder;
}

void TForm1::FormCreate()
{
    readIniFile(ws);
    ws.messageLines.clear();
    window.grid.setRow(0, {"Image", "   Bkdg", "    Exp", "  Temp", "   Amp", ""});
    try {
        getDeveloperMessage(ws, downloader_, server_);
        checkForUpdate(ws, downloader_, server_, programVersion);
        window.button6.visible = false;
    } catch (const std::exception& e) {
        ws.host.generalErrorBox(failureMessage(e));
    }
}

void TForm1::resetButtons()
{
    window.button2.visible = false;
    window.button2.caption = "Cancel";
    ws.cancelRequested = false;
    window.progressBar1.visible = false;
    ws.host.setBusyCursor(false);
    window.button1.enabled = true;
}

void TForm1::clearResultsGrid()
{
    ws.host.pumpMessages();
    window.label7.clear();
    window.label8.clear();
    ResultsGrid& grid = window.grid;
    for (int row = 1; row <= 7 && row < grid.rowCount(); ++row)
        grid.setRow(row, {" ", " ", " ", " ", " ", " "});
}

bool TForm1::prepareOutputFolder(const std::filesystem::path& firstFile)
{
    const std::filesystem::path folder = firstFile.parent_path();
    if (ws.host.confirm("Overwrite existing files?", false)) {
        ws.outputFolder = folder;
        return true;
    }
    ws.outputFolder = folder / "kestrel";
    std::error_code ec;
    if (std::filesystem::exists(ws.outputFolder, ec))
        return ws.host.confirm((ws.outputFolder / "").string() + "\nalready exists.\n\nContinue?", false);
    std::filesystem::create_directory(ws.outputFolder, ec);
    return true;
}

double TForm1::showAmplitudeStatistics(const std::vector<double>& values, int first, int last)
{
    // Only corrected images count: a file that was not handed to a correction, or
    // whose correction failed, carries the Failed marker in its slot.
    std::vector<long double> used;
    for (int i = first; i <= last; ++i) {
        const double v = values.at(static_cast<std::size_t>(i));
        if (v != failedAmplitude)
            used.push_back(v);
    }
    window.label7.clear();
    window.label8.clear();
    if (used.empty())
        return 0;
    long double sum = 0;
    for (long double v : used)
        sum += v;
    const long double n = static_cast<long double>(used.size());
    const long double mean = sum / n;
    window.label7 = formatFixedTrimmed(static_cast<double>(mean), 3, 7);
    if (used.size() < 2)
        return 0;
    long double squares = 0;
    for (long double v : used)
        squares += (v - mean) * (v - mean);
    const double s = static_cast<double>(std::sqrt(squares / (n - 1)));
    window.label8 = formatFixedTrimmed(s, 3, 7);
    return s;
}

template <class Body> void TForm1::exclusiveRun(const char* handler, Body body)
{
    if (running_)
        return;
    RunGuard guard(running_);
    try {
        // A run that ends early returns false: it has not left the idle state.
        if (body()) {
            ws.host.setBusyCursor(false);
            resetButtons();
            ws.host.pumpMessages();
        }
    } catch (const std::exception& e) {
        resetButtons();
        ws.host.errorBox(failureMessage(e) + inProcedure(handler));
    }
    // A close asked for while a box or dialog of the run was open is carried out now.
    runEnded();
}

void TForm1::Button1Click() { batchRun(std::nullopt); }

void TForm1::filesDropped(const std::vector<std::filesystem::path>& files)
{
    if (!files.empty())
        batchRun(files);
}

void TForm1::batchRun(const std::optional<std::vector<std::filesystem::path>>& chosen)
{
    exclusiveRun("Button1Click", [this, &chosen] {
        ws.amplitudeSetting = 0;
        window.button6.visible = false;
        const auto amp = parseReal(window.edit3);
        ws.conversionCode = amp.status;
        // A text that is not wholly a number (as "n/a", or "1.5 ") measures each image.
        if (amp.ok()) {
            if (!(amp.value > 0)) {
                ws.host.errorBox("Amphlitude must be greater than 0.0.");
                return false;
            }
            ws.amplitudeSetting = amp.value;
        }
        clearResultsGrid();
        ws.fileCount = 0;
        ws.cancelRequested = false;
        // A close asked for while the grid was cleared ends the run before it starts.
        std::vector<std::filesystem::path> files;
        if (!closePending_)
            files = chosen ? takeAsChosen(*chosen) : ws.host.openFiles(selectTitle, fitsFilter, true);
        if (!files.empty()) {
            if (!prepareOutputFolder(files.front()))
                return false;
            if (files.size() == 1)
                singleFileRun(files.front());
            else
                multiFileRun(files);
        }
        return true;
    });
}

void TForm1::singleFileRun(const std::filesystem::path& file)
{
    if (!readImageHeader(ws, file))
        return;
    window.grid.setRowCount(7);
    window.button1.enabled = false;
    ws.amplitudes.assign(1, 0.0);
    ws.imageResults.assign(1, tImageData{});
    ws.outputFileName = ws.outputFolder / file.filename();
    window.grid.setCell(0, 1, nameOf(file));
    ws.fileCount = 1;
    ws.host.setBusyCursor(true);
    correctLoadedImage(ws, window.edit1, window.edit2);
}

void TForm1::multiFileRun(const std::vector<std::filesystem::path>& files)
{
    const int n = static_cast<int>(files.size());
    window.button1.enabled = false;
    window.button2.visible = true;
    ws.host.pumpMessages();
    ResultsGrid& grid = window.grid;
    grid.setRowCount(n + 1);
    // Rows beyond those clearResultsGrid blanks may still hold an earlier run's values.
    for (int row = 8; row <= n; ++row)
        grid.setRow(row, {" ", " ", " ", " ", " ", " "});
    ws.host.setBusyCursor(true);
    ws.amplitudes.assign(static_cast<std::size_t>(n), 0.0);
    ws.imageResults.assign(static_cast<std::size_t>(n), tImageData{});
    window.progressBar1 = ProgressState{true, 0, n, 0};

    for (int i = 0; i < n; ++i) {
        const std::filesystem::path& file = files[static_cast<std::size_t>(i)];
        ++ws.fileCount;
        tImageData& entry = ws.imageResults.at(static_cast<std::size_t>(ws.fileCount - 1));
        ws.outputFileName = ws.outputFolder / file.filename();
        grid.setCell(0, ws.fileCount, nameOf(file));
        entry.image = nameOf(file);
        FileOutcome outcome = FileOutcome::noHeader;
        // A file without a readable header is left with its name alone in its row.
        if (readImageHeader(ws, file))
            outcome = correctLoadedImage(ws, window.edit1, window.edit2, &entry.binning);
        if (outcome == FileOutcome::badPhase) {
            resetButtons();
            return;
        }
        ws.amplitudes.at(static_cast<std::size_t>(i)) =
            outcome == FileOutcome::handed ? ws.amplitude : failedAmplitude;
        window.progressBar1.position = i + 1;
        if (ws.cancelRequested) {
            resetButtons();
            return;
        }
    }
    showAmplitudeStatistics(ws.amplitudes, 0, n - 1);
    if (ws.amplitudeSetting == 0)
        window.button6.visible = true;
}

void TForm1::Button2Click()
{
    ws.cancelRequested = true;
    window.button2.caption = "Canceling";
}

void TForm1::Button7Click()
{
    exclusiveRun("Button7Click", [this] {
        ws.cancelRequested = false;
        const auto files = ws.host.openFiles(selectTitle, fitsFilter, false);
        if (files.size() == 1) {
            ws.host.setBusyCursor(true);
            ws.host.pumpMessages();
            if (!loadFitsHeader(ws, files.front())) {
                ws.host.setBusyCursor(false);
                return false;
            }
            ws.host.setBusyCursor(true);
            window.grid.setRowCount(7);
            window.button1.enabled = false;
            // The results are cut to one entry: saving them now would lose the batch's.
            window.button6.visible = false;
            ws.imageWidth = getFitsInteger(ws, "NAXIS1");
            ws.imageHeight = getFitsInteger(ws, "NAXIS2");
            ws.imageResults.resize(1);
            ws.amplitudes.resize(1);
            if (getTypeofFile(ws) != typeUnsigned16) {
                ws.fitsFile.close();
                ws.host.errorBox("Kestrel only uses 16-bit unsigned FITS \nimages to calculate the vertical band phase.");
            } else if (unbinnedWidth(ws.imageWidth) || binnedWidth(ws.imageWidth)) {
                const bool unbinned = unbinnedWidth(ws.imageWidth);
                ws.binning = unbinned ? "1x1" : "2x2";
                // A failed load was reported; searching the pixels read so far means nothing.
                if (loadAllImageDataInt16(ws)) {
                    ws.backgroundFlux = getBackgroundFlux(ws, SampleType::int16);
                    findPhase16(ws, unbinned ? Binning::unbinned : Binning::binned2x2);
                }
                ws.host.setBusyCursor(false);
            } else {
                ws.fitsFile.close();
            }
        }
        return true;
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

void TForm1::FormClose() { updateIniFile(ws); }

void TForm1::Button6Click()
{
    try {
        appendResultsCsv(ws.programFolder / resultsFileName, ws.imageResults);
        window.button6.visible = false;
    } catch (const std::exception& e) {
        ws.host.generalErrorBox(failureMessage(e));
    }
}

void TForm1::StringGrid1DblClick()
{
    if (running_)
        return;
    SortStringGrid(ws, window.grid, window.grid.currentColumn);
}

void TForm1::Button3Click() { downloadUpdateClick(ws); }
void TForm1::Button4Click() { window.updatePanel.visible = false; }
void TForm1::Button5Click() { window.messagePanel.visible = false; }

// A missing manual goes unnoticed, as the handler reports it (or not) itself; only a
// desktop without any program for the target gets a box, so the user can open the
// file or address by hand.
void TForm1::Help2Click()
{
    try {
        const std::filesystem::path manual = ws.programFolder / "Kestrel.pdf";
        if (!ws.host.openDocument(manual.string()))
            ws.host.plainBox(noPdfReaderText(manual));
    } catch (const std::exception& e) {
        ws.host.plainBox(failureMessage(e) + inFunction("Help2Click"));
    }
}

void TForm1::G1Click()
{
    const std::string page = server_ + "/kestrel/kestrel.htm";
    if (!ws.host.openDocument(page))
        ws.host.plainBox(noWebBrowserText(page));
}

void TForm1::S1Click()
{
    const std::string subject = "Kestrel...";
    if (!ws.host.openDocument(std::string("mailto:") + contactAddress + "?subject=" + subject))
        ws.host.plainBox(noMailProgramText(contactAddress, subject));
}

} // namespace kestrel
