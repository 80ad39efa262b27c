#include "cli/run.h"

#include "analysis/analysis.h"
#include "cli/console_host.h"
#include "core/numbers.h"
#include "correction/correction.h"

namespace kestrel::cli {
namespace {

constexpr const char* floatOnly = "Kestrel only uses 32-bit floating point FITS images.";

std::string trimmed(const std::string& s) { return std::string(trimBlanks(s)); }

struct Job {
    explicit Job(const std::filesystem::path& programFolder, bool answer = false) : host(answer), ws(host, window)
    {
        ws.programFolder = programFolder;
    }
    ConsoleHost host;
    WindowModel window;
    Workspace ws;
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

FileOutcome finish(Job& job, FileOutcome::Status status, const std::string& outcome,
                   const std::string& name)
{
    FileOutcome out;
    out.status = status;
    const ResultsGrid& grid = job.window.grid;
    const bool handed = status != FileOutcome::Status::skipped;
    const std::string background = handed ? trimmed(grid.cell(1, 1)) : "";
    const std::string exposure = handed ? trimmed(grid.cell(2, 1)) : "";
    const std::string temperature = handed ? trimmed(grid.cell(3, 1)) : "";
    const std::string amplitude = handed ? trimmed(grid.cell(4, 1)) : "";
    out.line = joinFields({name, job.ws.binning, background, exposure, temperature, amplitude, outcome});
    out.messages = job.host.messages;
    if (handed)
        out.entry = job.ws.imageResults.at(0);
    return out;
}

} // namespace

FileOutcome correctOne(const std::filesystem::path& input, const std::filesystem::path& outputFolder,
                       const PhaseTexts& phases, double amplitudeSetting,
                       const std::filesystem::path& programFolder)
{
    Job job(programFolder);
    Workspace& ws = job.ws;
    const std::string name = input.filename().string();
    ws.amplitudeSetting = amplitudeSetting;
    ws.imageResults.assign(1, tImageData{});
    ws.amplitudes.assign(1, 0.0);
    ws.fileCount = 1;
    ws.outputFolder = outputFolder;
    ws.outputFileName = outputFolder / input.filename();
    ws.window.grid.setRowCount(2);
    ws.window.grid.setCell(0, 1, name);
    ws.imageResults[0].image = name;

    using Status = FileOutcome::Status;
    try {
        if (!loadFitsHeader(ws, input))
            return finish(job, Status::skipped, "skipped: no readable FITS header", name);
    } catch (const std::exception& e) {
        job.host.messages.push_back(failureMessage(e));
        return finish(job, Status::failed, "failed: " + failureMessage(e), name);
    }
    ws.pixInsightImage = pixInsightFile(ws);
    ws.imageWidth = getFitsInteger(ws, "NAXIS1");
    ws.imageHeight = getFitsInteger(ws, "NAXIS2");
    if (getTypeofFile(ws) != typeFloat32) {
        job.host.messages.push_back(floatOnly);
        ws.fitsFile.close();
        return finish(job, Status::skipped, "skipped: not a 32-bit floating point image", name);
    }

    const bool unbinned = ws.imageWidth == 4008 || ws.imageWidth == 4032;
    const bool binned = ws.imageWidth == 2004 || ws.imageWidth == 2016;
    if (!unbinned && !binned) {
        ws.fitsFile.close();
        return finish(job, Status::skipped,
                      "skipped: width " + std::to_string(ws.imageWidth) +
                          " is neither unbinned (4008, 4032) nor 2x2-binned (2004, 2016)",
                      name);
    }
    ws.binning = unbinned ? "1x1" : "2x2";
    ws.imageResults[0].binning = ws.binning;
    const std::optional<std::string>& phaseText = unbinned ? phases.phase1x1 : phases.phase2x2;
    const auto phase = parseInteger(phaseText.value_or(""));
    ws.conversionCode = phase.status;
    if (!phaseText || !phase.ok()) {
        const std::string message = ws.binning + " Phase is not an integer.";
        job.host.messages.push_back(message + " Give it with --phase-" + ws.binning +
                                    " N or set it in the settings file (kestx.ini) beside the program.");
        ws.fitsFile.close();
        return finish(job, Status::skipped, "skipped: " + message, name);
    }
    ws.phase = phase.value != 0 ? phase.value : (unbinned ? 32 : 16);
    if (unbinned)
        fixFloat32Columns(ws, ws.outputFileName);
    else
        fixFloat32Columns2x2(ws, ws.outputFileName);

    if (ws.amplitude == failedAmplitude || ws.cancelRequested) {
        const std::string reason = job.host.messages.empty() ? "image not measured" : job.host.messages.back();
        return finish(job, Status::failed, "failed: " + reason, name);
    }
    return finish(job, Status::corrected, "corrected", name);
}

FileOutcome findPhaseOf(const std::filesystem::path& input, bool save, const std::filesystem::path& programFolder)
{
    Job job(programFolder, save);
    Workspace& ws = job.ws;
    FileOutcome out;
    const std::string name = input.filename().string();
    auto fail = [&](FileOutcome::Status status, const std::string& reason) {
        out.status = status;
        out.line = name + "\t" + ws.binning + "\t\t" + reason;
        out.messages = job.host.messages;
        return out;
    };
    try {
        if (!loadFitsHeader(ws, input))
            return fail(FileOutcome::Status::skipped, "skipped: no readable FITS header");
    } catch (const std::exception& e) {
        job.host.messages.push_back(failureMessage(e));
        return fail(FileOutcome::Status::failed, "failed: " + failureMessage(e));
    }
    ws.imageWidth = getFitsInteger(ws, "NAXIS1");
    ws.imageHeight = getFitsInteger(ws, "NAXIS2");
    if (getTypeofFile(ws) != typeUnsigned16) {
        job.host.messages.push_back("Kestrel only uses 16-bit unsigned FITS \nimages to calculate the vertical band phase.");
        ws.fitsFile.close();
        return fail(FileOutcome::Status::skipped, "skipped: not a 16-bit unsigned image");
    }
    const bool unbinned = ws.imageWidth == 4008 || ws.imageWidth == 4032;
    const bool binned = ws.imageWidth == 2004 || ws.imageWidth == 2016;
    if (!unbinned && !binned) {
        ws.fitsFile.close();
        return fail(FileOutcome::Status::skipped,
                    "skipped: width " + std::to_string(ws.imageWidth) +
                        " is neither unbinned (4008, 4032) nor 2x2-binned (2004, 2016)");
    }
    ws.binning = unbinned ? "1x1" : "2x2";
    if (!loadAllImageDataInt16(ws))
        return fail(FileOutcome::Status::failed, "failed: " + job.host.messages.back());
    ws.backgroundFlux = getBackgroundFlux(ws, SampleType::int16);
    findPhase16(ws, unbinned ? Binning::unbinned : Binning::binned2x2);

    // The phase is the one the window's question shows: "The Phase = N\n...".
    const std::string prefix = "The Phase = ";
    const std::string& q = job.host.lastQuestion;
    if (q.rfind(prefix, 0) != 0) {
        const std::string reason = job.host.messages.empty() ? "no phase found" : job.host.messages.back();
        return fail(FileOutcome::Status::failed, "failed: " + reason);
    }
    const std::string phase = q.substr(prefix.size(), q.find('\n') - prefix.size());
    out.status = FileOutcome::Status::corrected;
    out.line = name + "\t" + ws.binning + "\t" + phase;
    out.messages = job.host.messages;
    return out;
}

} // namespace kestrel::cli
