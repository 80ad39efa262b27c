#include "cli/run.h"

#include "analysis/analysis.h"
#include "app/batch.h"
#include "cli/console_host.h"
#include "core/numbers.h"

#include <utility>

namespace kestrel::cli {
namespace {

std::string trimmed(const std::string& s) { return std::string(trimBlanks(s)); }

std::string widthReason(std::int32_t width)
{
    return "skipped: width " + std::to_string(width) +
           " is neither unbinned (4008, 4032) nor 2x2-binned (2004, 2016)";
}

struct Job {
    explicit Job(const std::filesystem::path& programFolder, bool answer = false) : host(answer), ws(host, window)
    {
        ws.programFolder = programFolder;
        ws.deferCommit = [this](std::function<void()> commit) { pendingCommit = std::move(commit); };
    }
    ConsoleHost host;
    WindowModel window;
    Workspace ws;
    std::function<void()> pendingCommit;
};

// Lends the worker's pixel buffer to the file's workspace and takes it back, with the
// capacity the loader gave it, however the file ends.
class BorrowedPixels {
public:
    BorrowedPixels(Workspace& ws, WorkerMemory& memory) : ws_(ws), memory_(memory)
    {
        ws_.floatPixels.swap(memory_.floatPixels);
    }
    ~BorrowedPixels() { ws_.floatPixels.swap(memory_.floatPixels); }
    BorrowedPixels(const BorrowedPixels&) = delete;
    BorrowedPixels& operator=(const BorrowedPixels&) = delete;

private:
    Workspace& ws_;
    WorkerMemory& memory_;
};

std::string joinFields(const std::vector<std::string>& fields)
{
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i)
            line += '\t';
        line += fields[i];
    }
    return line;
}

FileResult finish(Job& job, FileResult::Status status, const std::string& outcome)
{
    FileResult out;
    out.status = status;
    const ResultsGrid& grid = job.window.grid;
    const tImageData& entry = job.ws.imageResults.at(0);
    const bool handed = status != FileResult::Status::skipped;
    const std::string background = handed ? trimmed(grid.cell(1, 1)) : "";
    const std::string exposure = handed ? trimmed(grid.cell(2, 1)) : "";
    const std::string temperature = handed ? trimmed(grid.cell(3, 1)) : "";
    const std::string amplitude = handed ? trimmed(grid.cell(4, 1)) : "";
    out.line = joinFields({entry.image, entry.binning, background, exposure, temperature, amplitude, outcome});
    out.messages = job.host.messages;
    if (handed)
        out.entry = entry;
    out.commit = std::move(job.pendingCommit);
    out.routine = entry.binning == "2x2" ? "fixFloat32Columns2x2" : "fixFloat32Columns";
    return out;
}

} // namespace

FileResult correctOne(const std::filesystem::path& input, const std::filesystem::path& outputFolder,
                      const PhaseTexts& phases, double amplitudeSetting,
                      const std::filesystem::path& programFolder, WorkerMemory& memory)
{
    Job job(programFolder);
    Workspace& ws = job.ws;
    BorrowedPixels pixels(ws, memory);
    // The workspace is set up as the window's run sets it for the first of its files.
    const std::string name = input.filename().string();
    ws.amplitudeSetting = amplitudeSetting;
    ws.imageResults.assign(1, tImageData{});
    ws.amplitudes.assign(1, 0.0);
    ws.fileCount = 1;
    ws.outputFolder = outputFolder;
    ws.outputFileName = outputFolder / input.filename();
    ws.window.grid.setRowCount(2);
    ws.window.grid.setCell(0, 1, name);
    tImageData& entry = ws.imageResults[0];
    entry.image = name;

    using Status = FileResult::Status;
    FileOutcome outcome = FileOutcome::noHeader;
    try {
        outcome = correctFile(ws, input, phases.phase1x1.value_or(""), phases.phase2x2.value_or(""), &entry.binning);
    } catch (const std::exception& e) {
        job.host.messages.push_back(failureMessage(e));
        return finish(job, Status::failed, "failed: " + failureMessage(e));
    }
    switch (outcome) {
    case FileOutcome::noHeader:
        return finish(job, Status::skipped, "skipped: no readable FITS header");
    case FileOutcome::notFloat:
        return finish(job, Status::skipped, "skipped: not a 32-bit floating point image");
    case FileOutcome::otherWidth:
        return finish(job, Status::skipped, widthReason(ws.imageWidth));
    case FileOutcome::badPhase: {
        // The window's message, then how to give the phase without a window.
        const std::string message = ws.binning + " Phase is not an integer.";
        if (!job.host.messages.empty())
            job.host.messages.back() += " Give it with --phase-" + ws.binning +
                                        " N or set it in the settings file (kestx.ini) beside the program.";
        return finish(job, Status::skipped, "skipped: " + message);
    }
    case FileOutcome::handed:
        break;
    }
    if (ws.amplitude == failedAmplitude || ws.cancelRequested) {
        const std::string reason = job.host.messages.empty() ? "image not measured" : job.host.messages.back();
        return finish(job, Status::failed, "failed: " + reason);
    }
    return finish(job, Status::corrected, "corrected");
}

FileResult findPhaseOf(const std::filesystem::path& input, bool save, const std::filesystem::path& programFolder)
{
    Job job(programFolder, save);
    Workspace& ws = job.ws;
    FileResult out;
    const std::string name = input.filename().string();
    auto fail = [&](FileResult::Status status, const std::string& reason) {
        out.status = status;
        out.line = name + "\t" + ws.binning + "\t\t" + reason;
        out.messages = job.host.messages;
        return out;
    };
    try {
        if (!loadFitsHeader(ws, input))
            return fail(FileResult::Status::skipped, "skipped: no readable FITS header");
    } catch (const std::exception& e) {
        job.host.messages.push_back(failureMessage(e));
        return fail(FileResult::Status::failed, "failed: " + failureMessage(e));
    }
    ws.imageWidth = getFitsInteger(ws, "NAXIS1");
    ws.imageHeight = getFitsInteger(ws, "NAXIS2");
    if (getTypeofFile(ws) != typeUnsigned16) {
        job.host.messages.push_back("Kestrel only uses 16-bit unsigned FITS \nimages to calculate the vertical band phase.");
        ws.fitsFile.close();
        return fail(FileResult::Status::skipped, "skipped: not a 16-bit unsigned image");
    }
    const bool unbinned = unbinnedWidth(ws.imageWidth);
    if (!unbinned && !binnedWidth(ws.imageWidth)) {
        ws.fitsFile.close();
        return fail(FileResult::Status::skipped, widthReason(ws.imageWidth));
    }
    ws.binning = unbinned ? "1x1" : "2x2";
    if (!loadAllImageDataInt16(ws))
        return fail(FileResult::Status::failed, "failed: " + job.host.messages.back());
    ws.backgroundFlux = getBackgroundFlux(ws, SampleType::int16);
    findPhase16(ws, unbinned ? Binning::unbinned : Binning::binned2x2);

    // The phase is the one the window's question shows: "The Phase = N\n...".
    const std::string prefix = "The Phase = ";
    const std::string& q = job.host.lastQuestion;
    if (q.rfind(prefix, 0) != 0) {
        const std::string reason = job.host.messages.empty() ? "no phase found" : job.host.messages.back();
        return fail(FileResult::Status::failed, "failed: " + reason);
    }
    const std::string phase = q.substr(prefix.size(), q.find('\n') - prefix.size());
    out.status = FileResult::Status::corrected;
    out.line = name + "\t" + ws.binning + "\t" + phase;
    out.messages = job.host.messages;
    return out;
}

} // namespace kestrel::cli
