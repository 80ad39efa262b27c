#include "app/batch.h"

#include "core/numbers.h"
#include "core/program_folder.h"
#include "core/report.h"
#include "core/whole_file.h"

#include <sys/stat.h>

namespace kestrel {

bool readImageHeader(Workspace& ws, const std::filesystem::path& input)
{
    if (!loadFitsHeader(ws, input))
        return false;
    ws.pixInsightImage = pixInsightFile(ws);
    ws.imageWidth = getFitsInteger(ws, "NAXIS1");
    ws.imageHeight = getFitsInteger(ws, "NAXIS2");
    return true;
}

namespace {

ImageOutcome skipped(ImageOutcome::Skip why, std::string message, std::string binning = {})
{
    ImageOutcome out;
    out.skip = why;
    out.message = std::move(message);
    out.binning = std::move(binning);
    return out;
}

std::string widthReason(std::int32_t width)
{
    return "width " + std::to_string(width) + " is neither unbinned (4008, 4032) nor 2x2-binned (2004, 2016)";
}

} // namespace

std::optional<ImageOutcome> chooseBands(Workspace& ws, const PhaseFields& phases)
{
    if (getTypeofFile(ws) != typeFloat32) {
        ws.fitsFile.close();
        ws.host.errorBox("Kestrel only uses 32-bit floating point FITS images.");
        return skipped(ImageOutcome::Skip::notFloat, "not a 32-bit floating point image");
    }
    const bool unbinned = unbinnedWidth(ws.imageWidth);
    if (!unbinned && !binnedWidth(ws.imageWidth)) {
        ws.fitsFile.close();
        return skipped(ImageOutcome::Skip::otherWidth, widthReason(ws.imageWidth));
    }
    ws.binning = unbinned ? "1x1" : "2x2";
    const auto phase = parseInteger(unbinned ? phases.phase1x1 : phases.phase2x2);
    if (!phase.ok()) {
        ws.fitsFile.close();
        const std::string message = ws.binning + " Phase is not an integer.";
        ws.host.errorBox(message);
        ImageOutcome out = skipped(ImageOutcome::Skip::badPhase, message, ws.binning);
        out.stopsRun = true;
        return out;
    }
    ws.phase = phase.value != 0 ? phase.value : bandGeometry(unbinned ? Binning::unbinned : Binning::binned2x2).period;
    return std::nullopt;
}

ImageOutcome correctLoadedImage(Workspace& ws, const PhaseFields& phases, const std::filesystem::path& outputPath,
                                const CommitStrategy& commit)
{
    if (auto skip = chooseBands(ws, phases))
        return *skip;
    // A write-protected file is never replaced: the image fails, and the run goes on.
    if (isWriteProtected(outputPath)) {
        ws.fitsFile.close();
        ImageOutcome out;
        out.result = ImageOutcome::Result::failed;
        out.binning = ws.binning;
        out.message = cannotWrite(outputPath, "the file is write-protected");
        ws.host.errorBox(out.message);
        return out;
    }
    return ws.binning == "1x1" ? fixFloat32Columns(ws, outputPath, commit)
                               : fixFloat32Columns2x2(ws, outputPath, commit);
}

ProfileOutcome profileLoadedImage(Workspace& ws, const PhaseFields& phases)
{
    if (auto skip = chooseBands(ws, phases))
        return {*skip, {}};
    return profileFloat32Columns(ws);
}

OutputPlan::OutputPlan(bool overwrite, std::filesystem::path folder)
    : overwrite_(overwrite), folder_(std::move(folder))
{
}

std::filesystem::path OutputPlan::outputFor(const std::filesystem::path& input) const
{
    return overwrite_ ? input : folder_ / input.filename();
}

std::optional<std::string> OutputPlan::claim(const std::filesystem::path& input)
{
    struct stat st {};
    if (::stat(input.c_str(), &st) == 0) {
        const auto file = std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
        const auto [at, fresh] = inputs_.emplace(file, input);
        if (!fresh)
            return "it is the same file as " + at->second.string() + ", which this run treats already";
    }
    std::error_code ec;
    const std::filesystem::path output = outputFor(input);
    std::filesystem::path resolved = std::filesystem::weakly_canonical(std::filesystem::absolute(linkTarget(output)), ec);
    if (ec)
        resolved = std::filesystem::absolute(output).lexically_normal();
    const auto [at, fresh] = outputs_.emplace(resolved.string(), input);
    if (!fresh)
        return "its corrected file " + output.string() + " is the one written from " + at->second.string() +
               " in this run";
    return std::nullopt;
}

ImageOutcome repeatedInput(const std::string& reason)
{
    return skipped(ImageOutcome::Skip::repeated, reason);
}

std::string repeatedInputMessage(const std::filesystem::path& input, const std::string& reason)
{
    return input.string() + ": " + reason + "; it is skipped.";
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
    if (outcome.temperature)
        entry.ccdTemp = *outcome.temperature;
    if (outcome.exposure)
        entry.exposure = *outcome.exposure;
    if (outcome.measured && outcome.amplitude) {
        entry.amplitude = static_cast<float>(*outcome.amplitude);
        entry.measured = true;
    }
}

PhaseOutcome searchLoadedPhase(Workspace& ws)
{
    PhaseOutcome out;
    ws.imageWidth = getFitsInteger(ws, "NAXIS1");
    ws.imageHeight = getFitsInteger(ws, "NAXIS2");
    if (getTypeofFile(ws) != typeUnsigned16) {
        ws.fitsFile.close();
        ws.host.errorBox("Kestrel only uses 16-bit unsigned FITS \nimages to calculate the vertical band phase.");
        out.result = PhaseOutcome::Result::notType;
        out.message = "not a 16-bit unsigned image";
        return out;
    }
    const bool unbinned = unbinnedWidth(ws.imageWidth);
    if (!unbinned && !binnedWidth(ws.imageWidth)) {
        ws.fitsFile.close();
        out.result = PhaseOutcome::Result::otherWidth;
        out.message = widthReason(ws.imageWidth);
        return out;
    }
    ws.binning = unbinned ? "1x1" : "2x2";
    out.binning = ws.binning;
    out.bands = unbinned ? Binning::unbinned : Binning::binned2x2;
    // A failed load was reported; searching the pixels read so far means nothing.
    if (!loadAllImageDataInt16(ws)) {
        out.result = PhaseOutcome::Result::loadFailed;
        out.message = "the image data could not be read";
        return out;
    }
    ws.backgroundFlux = getBackgroundFlux(ws, SampleType::int16);

    const auto search = searchPhase(ws, out.bands, &out.message);
    if (!search)
        return out;
    out.search = *search;
    out.result = PhaseOutcome::Result::found;
    return out;
}

std::optional<PhaseSearch> searchPhase(Workspace& ws, Binning bands, std::string* failureReport)
{
    PhaseSearch search;
    const auto failure = caughtFailure([&] {
        search.limits = phaseLimits(bands, ws.backgroundFlux);
        // The upper limit stays behind as the background, also after a failed search.
        ws.backgroundFlux = search.limits.upper;
        ws.columnMeans.assign(static_cast<std::size_t>(bandGeometry(bands).period), 0.0L);
        addPhaseScores(ws.int16Image(), bands, search.limits, ws.columnMeans);
        search.phase = bestPhase(ws.columnMeans);
        search.scores = ws.columnMeans;
    });
    ws.host.pumpMessages();
    if (!failure)
        return search;
    const std::string report = *failure + inFunction("findPhase16");
    ws.host.errorBox(report);
    if (failureReport)
        *failureReport = report;
    return std::nullopt;
}

void storePhase(const std::filesystem::path& settingsFile, Binning bands, std::int32_t phase)
{
    createFolderOf(settingsFile);
    writeProfileString(settingsFile, settingsSection, bands == Binning::unbinned ? "1x1phase" : "2x2phase",
                       std::to_string(phase));
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

void findPhase16(Workspace& ws, Binning bands, std::string& field, const std::filesystem::path& settingsFile)
{
    if (const auto search = searchPhase(ws, bands))
        offerPhase(ws.host, bands, search->phase, field, settingsFile);
}

} // namespace kestrel
