#include "engine/steps.h"

#include "core/numbers.h"
#include "core/platform.h"
#include "core/program_folder.h"
#include "core/report.h"
#include "core/whole_file.h"
#include "fits/writer.h"
#include "engine/targets.h"

#include <algorithm>
#include <utility>

namespace kestrel {

bool readImageHeader(Workspace& ws, const std::filesystem::path& input)
{
    if (!loadFitsHeader(ws, input))
        return false;
    ws.image.pixInsightImage = pixInsightFile(ws);
    ws.image.imageWidth = getFitsInteger(ws, "NAXIS1");
    ws.image.imageHeight = getFitsInteger(ws, "NAXIS2");
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

} // namespace

std::string widthReason(std::int32_t width)
{
    return "width " + std::to_string(width) + " is neither unbinned (4008, 4032) nor 2x2-binned (2004, 2016)";
}

BandChoice chooseBands(Workspace& ws, const PhaseFields& phases, const AmplitudeChoice& amplitude)
{
    // One image in the primary HDU, its samples its values; else the file is left alone.
    if (std::string reason = primaryImageReason(ws); !reason.empty()) {
        ws.fitsFile.close();
        return {std::nullopt, skipped(ImageOutcome::Skip::notOneImage, std::move(reason))};
    }
    if (getTypeofFile(ws) != typeFloat32) {
        ws.fitsFile.close();
        ws.host.errorBox("Kestrel only uses 32-bit floating point FITS images.");
        return {std::nullopt, skipped(ImageOutcome::Skip::notFloat, "not a 32-bit floating point image")};
    }
    if (std::string reason = scaledFloatReason(ws); !reason.empty()) {
        ws.fitsFile.close();
        return {std::nullopt, skipped(ImageOutcome::Skip::notOneImage, std::move(reason))};
    }
    const std::optional<Binning> binning = ws.image.binning();
    if (!binning) {
        ws.fitsFile.close();
        return {std::nullopt, skipped(ImageOutcome::Skip::otherWidth, widthReason(ws.image.imageWidth))};
    }
    const std::string text = binningText(*binning);
    const std::string& field = *binning == Binning::unbinned ? phases.phase1x1 : phases.phase2x2;
    const std::int32_t period = bandGeometry(*binning).period;
    if (phases.autoAllowed && trimBlanks(field) == "auto") {
        ImageRun run{*binning, period, amplitude};
        run.phaseFromFrame = true;
        run.showOwnPhase = phases.showOwn;
        return {run, {}};
    }
    const auto phase = parseInteger(field);
    if (!phase.ok()) {
        ws.fitsFile.close();
        const std::string message = text + " Phase is not an integer.";
        ws.host.errorBox(message);
        ImageOutcome out = skipped(ImageOutcome::Skip::badPhase, message, text);
        out.stopsRun = true;
        return {std::nullopt, out};
    }
    ImageRun run{*binning, phase.value != 0 ? phase.value : period, amplitude};
    run.checkPhase = phases.check;
    run.showOwnPhase = phases.showOwn;
    return {run, {}};
}

ImageOutcome correctLoadedImage(Workspace& ws, const PhaseFields& phases, const AmplitudeChoice& amplitude,
                                const std::filesystem::path& outputPath, const CommitStrategy& commit,
                                const OpenFolder* folder, std::optional<ImageRun>* chosen)
{
    const BandChoice choice = chooseBands(ws, phases, amplitude);
    if (!choice.run)
        return choice.skipped;
    if (chosen)
        *chosen = choice.run;
    // The output is opened before any work. An original that may not be replaced (write-
    // protected, another user's) fails the image with the writer's reason, and the run
    // goes on; any other failure to write there is the correction's own, as it would be
    // once the image is measured.
    std::shared_ptr<WholeFileWriter> out;
    ImageOutcome failed;
    failed.result = ImageOutcome::Result::failed;
    failed.binning = binningText(choice.run->binning);
    failed.routine = choice.run->routine();
    failed.phase = choice.run->phase;
    try {
        out = folder ? std::make_shared<WholeFileWriter>(outputPath, *folder)
                     : std::make_shared<WholeFileWriter>(outputPath);
    } catch (const OriginalKept& kept) {
        ws.fitsFile.close();
        failed.message = kept.message();
        ws.host.errorBox(failed.message);
        return failed;
    } catch (const std::exception& e) {
        ws.fitsFile.close();
        endInFailure(ws.host, failed, failureMessage(e));
        return failed;
    }
    ImageOutcome outcome = choice.run->binning == Binning::unbinned ? fixFloat32Columns(ws, *choice.run)
                                                                    : fixFloat32Columns2x2(ws, *choice.run);
    // Only a corrected image is written; any other leaves nothing behind with the writer.
    if (outcome.result != ImageOutcome::Result::corrected)
        return outcome;
    if (const auto failure = caughtFailure([&] { saveFloat32Fits(ws.image, std::move(out), commit); })) {
        endInFailure(ws.host, outcome, *failure);
        return outcome;
    }
    // A file that did not match its checksum before is corrected all the same: the user
    // is told, as the damage is not ours.
    if (!ws.image.unmatchedChecksums.empty())
        ws.host.plainBox("Warning: the file as read does not match its " + ws.image.unmatchedChecksums +
                         "; it may have been damaged before Kestrel read it. The corrected file has new checksums.");
    return outcome;
}

ProfileOutcome profileLoadedImage(Workspace& ws, const PhaseFields& phases, const AmplitudeChoice& amplitude)
{
    const BandChoice choice = chooseBands(ws, phases, amplitude);
    if (!choice.run)
        return {choice.skipped, {}};
    return profileFloat32Columns(ws, *choice.run);
}

tImageData resultsEntry(const std::string& name, const ImageOutcome& outcome)
{
    tImageData entry;
    entry.image = name;
    entry.binning = outcome.binning;
    if (outcome.temperature)
        entry.ccdTemp = *outcome.temperature;
    if (outcome.exposure)
        entry.exposure = *outcome.exposure;
    if (outcome.measured && outcome.amplitude) {
        entry.amplitude = static_cast<float>(*outcome.amplitude);
        entry.measured = true;
    }
    return entry;
}

namespace {

/// The search of a float frame whose header was just read and whose type and binning
/// were checked.
void searchFloatPhase(Workspace& ws, PhaseOutcome& out)
{
    ws.image.pixInsightImage = pixInsightFile(ws);
    if (std::string reason = scaledFloatReason(ws); !reason.empty()) {
        ws.fitsFile.close();
        out.result = PhaseOutcome::Result::notOneImage;
        out.message = std::move(reason);
        return;
    }
    const bool loaded = loadAllImageDataFloat32(ws);
    std::string reason = loaded ? missingSamplesReason(ws.image.imageWidth, ws.image.imageHeight,
                                                       ws.image.floatPixels.size())
                                : std::string("the image data could not be read");
    if (!reason.empty()) {
        out.result = PhaseOutcome::Result::loadFailed;
        out.message = std::move(reason);
        return;
    }
    const double background = getBackgroundFlux(ws, SampleType::float32);
    const BandGeometry& bands = bandGeometry(out.bands);
    out.fromFloat = true;
    const auto failure = caughtFailure([&] {
        const double upper = upperSampleBound(background);
        out.contrasts = floatPhaseContrasts(std::as_const(ws.image).floatImage(), bands, upper);
        out.search.phase = strongestPhase(out.contrasts);
        out.search.limits = {bands.lowerBound, upper};
    });
    if (failure) {
        out.contrasts.clear();
        out.result = PhaseOutcome::Result::failed;
        out.message = *failure + inFunction("findPhaseFloat32");
        ws.host.errorBox(out.message);
        return;
    }
    out.result = PhaseOutcome::Result::found;
}

} // namespace

PhaseOutcome searchLoadedPhase(Workspace& ws, bool floatFrames)
{
    PhaseOutcome out;
    ws.image.imageWidth = getFitsInteger(ws, "NAXIS1");
    ws.image.imageHeight = getFitsInteger(ws, "NAXIS2");
    // The same files are left alone as by a correction, for the same reasons.
    if (std::string reason = primaryImageReason(ws); !reason.empty()) {
        ws.fitsFile.close();
        ws.host.errorBox(reason);
        out.result = PhaseOutcome::Result::notOneImage;
        out.message = std::move(reason);
        return out;
    }
    const std::int32_t type = getTypeofFile(ws);
    if (floatFrames && type != typeUnsigned16 && type != typeFloat32) {
        ws.fitsFile.close();
        ws.host.errorBox("Kestrel finds the band phase only in 16-bit unsigned or 32-bit floating point FITS images.");
        out.result = PhaseOutcome::Result::notType;
        out.message = "neither a 16-bit unsigned nor a 32-bit floating point image";
        return out;
    }
    if (type != typeUnsigned16 && !floatFrames) {
        ws.fitsFile.close();
        ws.host.errorBox("Kestrel only uses 16-bit unsigned FITS \nimages to calculate the vertical band phase.");
        out.result = PhaseOutcome::Result::notType;
        out.message = "not a 16-bit unsigned image";
        return out;
    }
    const std::optional<Binning> binning = ws.image.binning();
    if (!binning) {
        ws.fitsFile.close();
        out.result = PhaseOutcome::Result::otherWidth;
        out.message = widthReason(ws.image.imageWidth);
        return out;
    }
    out.binning = binningText(*binning);
    out.bands = *binning;
    if (type == typeFloat32) {
        searchFloatPhase(ws, out);
        return out;
    }
    // A failed load was reported; searching the pixels read so far means nothing.
    if (!loadAllImageDataInt16(ws)) {
        out.result = PhaseOutcome::Result::loadFailed;
        out.message = "the image data could not be read";
        return out;
    }
    searchPixelsPhase(ws, out);
    return out;
}

void searchPixelsPhase(Workspace& ws, PhaseOutcome& out)
{
    const double background = getBackgroundFlux(ws, SampleType::int16);
    const auto failure =
        caughtFailure([&] { out.search = findBandPhase(ws.image.int16Image(), out.bands, background); });
    if (failure) {
        out.result = PhaseOutcome::Result::failed;
        out.message = *failure + inFunction("findPhase16");
        ws.host.errorBox(out.message);
        return;
    }
    out.result = PhaseOutcome::Result::found;
    // How far the phase stands out from the noise, from the samples the search counted.
    if (const auto failure = caughtFailure(
            [&] { out.contrasts = phaseContrasts(ws.image.int16Image(), out.bands, out.search.limits); }))
        out.contrastFailure = *failure;
}

const BandContrast* PhaseOutcome::chosen() const
{
    if (result != Result::found)
        return nullptr;
    const auto p = static_cast<std::size_t>(search.phase);
    return p < contrasts.size() ? &contrasts[p] : nullptr;
}

PhaseOutcome searchFilePhase(const std::filesystem::path& input, bool floatFrames)
{
    RecordingHost host;
    Workspace ws(host);
    PhaseOutcome out;
    const auto failure = caughtFailure([&] {
        if (loadFitsHeader(ws, input))
            out = searchLoadedPhase(ws, floatFrames);
        else {
            out.result = PhaseOutcome::Result::noHeader;
            out.message = noHeaderReason(ws.image);
        }
    });
    if (failure) {
        out = PhaseOutcome{};
        out.result = PhaseOutcome::Result::unreadable;
        out.message = *failure;
    }
    out.reports = std::move(host.reports);
    return out;
}

std::vector<PhaseOutcome> combinedPhases(const std::vector<PhaseOutcome>& found)
{
    // The binnings in the order their first frames come.
    std::vector<Binning> order;
    for (const PhaseOutcome& f : found)
        if (f.result == PhaseOutcome::Result::found && !f.contrasts.empty() &&
            std::find(order.begin(), order.end(), f.bands) == order.end())
            order.push_back(f.bands);
    std::vector<PhaseOutcome> groups;
    for (const Binning bands : order) {
        std::vector<std::vector<BandContrast>> frames;
        for (const PhaseOutcome& f : found)
            if (f.result == PhaseOutcome::Result::found && !f.contrasts.empty() && f.bands == bands)
                frames.push_back(f.contrasts);
        PhaseOutcome group;
        group.result = PhaseOutcome::Result::found;
        group.bands = bands;
        group.binning = binningText(bands);
        group.fromFloat = true;
        group.frames = frames.size();
        group.contrasts = frames.size() == 1 ? frames.front() : combinedContrasts(frames);
        group.search.phase = strongestPhase(group.contrasts);
        groups.push_back(std::move(group));
    }
    return groups;
}

void storePhase(const std::filesystem::path& settingsFile, Binning bands, std::int32_t phase)
{
    createFolderOf(settingsFile);
    writeProfileString(settingsFile, settingsSection, phaseKey(bands != Binning::unbinned), std::to_string(phase));
}

} // namespace kestrel
